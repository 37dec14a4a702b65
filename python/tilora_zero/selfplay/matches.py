"""The games of a match: which player sits on which seat, and playing one game.

Every seat is searched by its own player (:func:`tilora_zero._match.play_match`):
each request of seat s's search goes to seat s's network, with seat s's
settings. Seats of players served by the same network share one route, so a
worker batches the requests of all its games per network. A seeded match
seeds game n with ``game_seed(seed, n)``: the same match plays the same games.
"""
from __future__ import annotations

import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import Any

from .._match import play_match
from ..board import PLAYERS
from ..data.records import GameRecord
from .games import INTERRUPTIONS, Route, build_record, game_failed, game_seed
from .players import Player


@dataclass
class Match:
    players: Sequence[Player]
    seatings: Sequence[Sequence[int]]  # game n seats players[seatings[n % len(seatings)][p]] on seat p
    seed: int | None = None
    _routes: list[Route] = field(init=False, repr=False)
    _player_routes: list[int | None] = field(init=False, repr=False)  # per player: its route, None for a baseline

    def __post_init__(self) -> None:
        self.players = tuple(self.players)
        self.seatings = tuple(tuple(seating) for seating in self.seatings)
        if not self.seatings:
            raise ValueError("a match needs at least one seating")
        for seating in self.seatings:
            if len(seating) != PLAYERS or not all(0 <= i < len(self.players) for i in seating):
                raise ValueError(f"a seating names a player (0 to {len(self.players) - 1}) for each of the "
                                 f"{PLAYERS} seats, got {seating}")
        keys: dict[tuple, int] = {}
        self._routes, self._player_routes = [], []
        for player in self.players:
            if player.kind != "network":
                self._player_routes.append(None)
                continue
            key = player.route_key()
            if key not in keys:
                keys[key] = len(self._routes)
                self._routes.append(Route(player.network_factory(), player.settings.search))
            self._player_routes.append(keys[key])

    @property
    def routes(self) -> list[Route]:
        return self._routes

    def seating(self, number: int) -> tuple[int, ...]:
        return self.seatings[number % len(self.seatings)]

    def play(self, number: int, channel: Callable[[int], Any], names: Sequence[str]) -> GameRecord:
        """Plays game ``number``; raises GameFailed naming the seat whose evaluation failed."""
        seating = self.seating(number)
        seats = []
        for index in seating:
            route = self._player_routes[index]
            seat_channel = None if route is None else channel(route)
            seats.append((self.players[index].seat_config(), seat_channel, seat_channel))
        seed = None if self.seed is None else game_seed(self.seed, number)
        start = time.monotonic()
        try:
            result = play_match(number, seats, seed=seed)
        except INTERRUPTIONS:
            raise
        except BaseException as error:  # the module's stop names the seat and keeps the network's error
            raise game_failed(number, error, error.__cause__) from error
        metadata = {"players": [player.describe() for player in self.players], "seats": list(seating),
                    "seed": seed}
        return build_record(number, result, metadata, time.monotonic() - start)
