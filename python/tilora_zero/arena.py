"""Matches between two networks: which seats each plays, routing, and the statistics.

Every seat of a game is served by network A or B; a request is answered by the
network of the seat to move in its position (read from the planes), also inside
the search of another seat's move. A match plays its games over every way to
seat the networks (the six ways to place two A's and two B's, or the four ways
to place one A among three B's), with no root noise and only a few sampled
opening moves, and reports A's mean payoff per seat (parity 0.25) with a 95%
confidence interval and the Elo difference that corresponds to it.
"""
from __future__ import annotations

import functools
import itertools
import math
from dataclasses import dataclass, field
from typing import Callable, Sequence

import numpy as np

from .frames import PLAYERS, movers_from_planes
from .networks import PAR_SHARE, check_planes, load_network

LAYOUTS = {
    "2v2": tuple(itertools.combinations(range(PLAYERS), 2)),
    "1v3": tuple((seat,) for seat in range(PLAYERS)),
}
Z_95 = 1.959964


class SeatRouter:
    """A network that answers each position with the network of the seat to move."""

    def __init__(self, seat_networks: Sequence[Callable]):
        if len(seat_networks) != PLAYERS:
            raise ValueError(f"need one network per seat (4), got {len(seat_networks)}")
        self.seat_networks = list(seat_networks)
        self.name = "arena[" + ",".join(getattr(n, "name", type(n).__name__) for n in seat_networks) + "]"

    def __call__(self, planes: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        batch = check_planes(planes)
        movers = movers_from_planes(batch)
        logits = np.empty((len(batch), 400), dtype=np.float32)
        values = np.empty((len(batch), PLAYERS), dtype=np.float32)
        done: set[int] = set()
        for network in self.seat_networks:
            if id(network) in done:
                continue
            done.add(id(network))
            seats = [s for s, n in enumerate(self.seat_networks) if n is network]
            rows = np.flatnonzero(np.isin(movers, seats))
            if len(rows):
                logits[rows], values[rows] = network(batch[rows])
        return logits, values


# A network is named by "uniform", a checkpoint path, or a picklable callable that builds it.
NetworkSource = str | Callable[[], Callable]


def build_network(source: NetworkSource, device: str = "cpu", value_convention: str | None = None):
    return source() if callable(source) else load_network(source, device, value_convention)


def source_name(source: NetworkSource) -> str:
    return source if isinstance(source, str) else getattr(source, "name", None) or repr(source)


def build_router(
    a_source: NetworkSource, b_source: NetworkSource, a_seats: Sequence[int], device: str = "cpu",
    value_convention: str | None = None,
) -> SeatRouter:
    a = build_network(a_source, device, value_convention)
    b = a if b_source == a_source else build_network(b_source, device, value_convention)
    return SeatRouter([a if seat in a_seats else b for seat in range(PLAYERS)])


def seatings(layout: str) -> tuple[tuple[int, ...], ...]:
    if layout not in LAYOUTS:
        raise ValueError(f"unknown arena layout {layout!r}; expected one of {', '.join(LAYOUTS)}")
    return LAYOUTS[layout]


def games_per_seating(games: int, layout: str) -> list[int]:
    """Games spread as evenly as possible over the seatings, the first ones taking the remainder."""
    count = len(seatings(layout))
    return [games // count + (1 if i < games % count else 0) for i in range(count)]


def elo_difference(a_share: float, a_seats: int) -> float:
    """Elo difference that makes A's mean payoff per seat `a_share`, against B's per seat."""
    b_share = (1.0 - a_seats * a_share) / (PLAYERS - a_seats)
    if a_share <= 0:
        return -math.inf
    if b_share <= 0:
        return math.inf
    return 400.0 * math.log10(a_share / b_share)


@dataclass
class ArenaResult:
    a: str
    b: str
    layout: str
    a_seat_payoffs: list[float] = field(default_factory=list)  # per game: A's mean payoff per seat
    seatings: list[list[int]] = field(default_factory=list)  # per game: A's seats

    @property
    def games(self) -> int:
        return len(self.a_seat_payoffs)

    @property
    def a_seats(self) -> int:
        return len(seatings(self.layout)[0])

    @property
    def mean(self) -> float:
        return float(np.mean(self.a_seat_payoffs)) if self.games else math.nan

    @property
    def half_width(self) -> float:
        if self.games < 2:
            return math.inf
        return Z_95 * float(np.std(self.a_seat_payoffs, ddof=1)) / math.sqrt(self.games)

    @property
    def interval(self) -> tuple[float, float]:
        """The normal-approximation 95% interval of the mean, clipped to the possible payoffs."""
        top = 1.0 / self.a_seats
        return max(self.mean - self.half_width, 0.0), min(self.mean + self.half_width, top)

    def elo(self) -> tuple[float, float, float]:
        """(Elo, low, high): the Elo differences at the mean and at the ends of the interval."""
        low, high = self.interval
        return (elo_difference(self.mean, self.a_seats), elo_difference(low, self.a_seats),
                elo_difference(high, self.a_seats))

    def summary(self) -> dict:
        low, high = self.interval
        elo, elo_low, elo_high = self.elo()
        return {
            "a": self.a,
            "b": self.b,
            "layout": self.layout,
            "games": self.games,
            "a_mean_payoff_per_seat": self.mean,
            "ci95": [low, high],
            "elo": elo,
            "elo_ci95": [elo_low, elo_high],
        }

    def report(self) -> str:
        low, high = self.interval
        elo, elo_low, elo_high = self.elo()
        return (
            f"A = {self.a}\nB = {self.b}\n"
            f"{self.games} games ({self.layout}, every seating); parity is {PAR_SHARE:.2f}\n"
            f"A's mean payoff per seat: {self.mean:.4f}  95% CI [{low:.4f}, {high:.4f}]\n"
            f"Elo difference A - B: {elo:+.0f}  95% CI [{elo_low:+.0f}, {elo_high:+.0f}]"
        )


def a_seat_payoff(payoff: Sequence[float], a_seats: Sequence[int]) -> float:
    return float(sum(payoff[s] for s in a_seats)) / len(a_seats)


def play_arena(
    a_source: NetworkSource,
    b_source: NetworkSource,
    games: int,
    settings,
    workers: int = 2,
    layout: str = "2v2",
    device: str = "cpu",
    value_convention: str | None = None,
    on_record: Callable | None = None,
    progress: Callable | None = None,
    options=None,
) -> ArenaResult:
    """Plays `games` games of A against B over every seating and returns the result.

    `settings` is the runner's SearchSettings (see `arena_settings`); `on_record`
    receives every finished game's record, `progress(games_done, result)` follows along.
    """
    from .runner import play_games

    if games < 1:
        raise ValueError(f"an arena needs at least 1 game, got {games}")
    for source in (a_source, b_source):  # fail before any process starts
        if not callable(source):
            load_network(source, "cpu", value_convention)
    result = ArenaResult(a=source_name(a_source), b=source_name(b_source), layout=layout)
    first = 0
    for seats, count in zip(seatings(layout), games_per_seating(games, layout)):
        if count == 0:
            continue

        def collect(record, seats=seats) -> None:
            result.a_seat_payoffs.append(a_seat_payoff(record.payoff, seats))
            result.seatings.append(list(seats))
            record.metadata["arena"] = {"a": result.a, "b": result.b, "a_seats": list(seats)}
            if on_record is not None:
                on_record(record)
            if progress is not None:
                progress(result.games, result)

        factory = functools.partial(build_router, a_source, b_source, tuple(seats), device, value_convention)
        play_games(factory, range(first, first + count), settings, workers, collect, options=options)
        first += count
    return result


def arena_settings(sims_per_move: int, sample_moves: int = 4, **overrides):
    """Search settings for matches: no root noise, a few sampled opening moves."""
    from .runner import SearchSettings

    values = dict(sims_per_move=sims_per_move, sample_moves=sample_moves, exploration_fraction=0.0)
    values.update(overrides)
    return SearchSettings(**values)


def result_dict(result: ArenaResult) -> dict:
    return {**result.summary(), "a_seat_payoffs": result.a_seat_payoffs, "seatings": result.seatings}
