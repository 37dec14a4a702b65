"""What a run plays: self-play games or the games of a match, each asking its networks through channels.

A run's games describe the networks they ask, their *routes*, and how to play
one game given a channel per route (:class:`Games`). Self-play
(:class:`SelfPlay`) has one network searching for every seat;
a :class:`~tilora_zero.selfplay.matches.Match` one route per distinct network among its
players. Either backend, local or Ray, plays them the same way and
checks every finished game by replaying it (:func:`build_record`).
"""

from __future__ import annotations

import time
import traceback
from collections.abc import Callable, Sequence
from dataclasses import dataclass, replace
from typing import Any, Protocol

import numpy as np

from ..data.records import GameRecord
from ..settings import SearchSettings
from .scheduling import RunError

NetworkFactory = Callable[[], Callable[[np.ndarray], tuple[np.ndarray, np.ndarray]]]

# What the modules let out of a game as it is (a Ctrl-C or an exit that arrived in a network's call): no
# failure of the game, so no GameFailed either.
INTERRUPTIONS = (KeyboardInterrupt, SystemExit, GeneratorExit)


def game_seed(seed: int, number: int) -> int:
    """The seed of game ``number`` of a run seeded with ``seed``: distinct games, unrelated draws."""
    return int(np.random.SeedSequence([seed, number]).generate_state(1, np.uint64)[0])


class GameFailed(RunError):
    """The module ended a game with an error; ``cause`` is what the game's evaluation raised, if anything."""

    def __init__(self, number: int, text: str, cause: BaseException | None):
        super().__init__(text)
        self.number = number
        self.cause = cause


def game_failed(number: int, error: BaseException, cause: BaseException | None) -> GameFailed:
    """The failure of game ``number``: the module's ``error``, and the evaluation's ``cause`` when there is one."""
    text = f"{type(error).__name__}: {error}"
    if cause is not None:
        text = f"{text}\nthe network's evaluation failed:\n{''.join(traceback.format_exception(cause, limit=-3))}"
    return GameFailed(number, text, cause)


def build_record(number: int, result: Any, metadata: dict[str, Any], wall_time: float) -> GameRecord:
    """Checks a game returned by the module by replaying it, and makes its record with ``metadata``."""
    from .._engine import Game
    from .._version import __version__

    history, _, payoff = result
    game = Game()
    for i, (player, cell) in enumerate(history):
        if game.current_player != player:
            raise RunError(f"game {number}: move {i} was made by player {player} but player "
                           f"{game.current_player} was to move")
        game.apply(cell)
    if not game.is_over:
        raise RunError(f"game {number}: the record ends before the game does")
    if [np.float32(p) for p in payoff] != [np.float32(p) for p in game.payoff()]:
        raise RunError(f"game {number}: payoff {list(payoff)} differs from the replay's {game.payoff()}")
    metadata = {
        "game": number,
        **metadata,
        "toolkit_version": __version__,
        "wall_time": round(wall_time, 3),
        "finished": round(time.time(), 3),
    }
    return GameRecord.from_result(result, game.score(), metadata)


def play_on_channel(channel: Any, number: int, settings: SearchSettings, network_name: str) -> GameRecord:
    """Plays self-play game ``number`` with ``channel`` as queue and pipe and returns its checked record.

    Raises :class:`GameFailed` when the module ends the game with an error;
    its text names the evaluation's error when that was the cause."""
    import tilora_self_play

    metadata: dict[str, Any] = {"settings": settings.as_dict(), "network": network_name}
    if settings.seed is not None:
        metadata["seed"] = game_seed(settings.seed, number)
        settings = replace(settings, seed=metadata["seed"])
    start = time.monotonic()
    try:
        result = tilora_self_play.generate_game_data(number, settings, channel, channel)
    except INTERRUPTIONS:
        raise
    except BaseException as error:
        raise game_failed(number, error, channel.error) from error
    return build_record(number, result, metadata, time.monotonic() - start)


@dataclass(frozen=True)
class Route:
    """A network that a run's games ask: a picklable factory, and the rule of the searches it serves."""

    network: NetworkFactory
    search: str


class Games(Protocol):
    """What a run plays: the networks its games ask, and how to play one game."""

    @property
    def routes(self) -> Sequence[Route]: ...

    def play(self, number: int, channel: Callable[[int], Any], names: Sequence[str]) -> GameRecord:
        """Plays game ``number``, asking network r through ``channel(r)`` (a queue-and-pipe object);
        ``names[r]`` is that network's name."""


@dataclass
class SelfPlay:
    """Self-play: one network searches for every seat, in one tree (``generate_game_data``)."""

    network: NetworkFactory
    settings: SearchSettings

    @property
    def routes(self) -> tuple[Route]:
        return (Route(self.network, self.settings.search),)

    def play(self, number: int, channel: Callable[[int], Any], names: Sequence[str]) -> GameRecord:
        return play_on_channel(channel(0), number, self.settings, names[0])
