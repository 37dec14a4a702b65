"""What a run hands out and counts, whichever backend plays it: game numbers, live counts, its failure."""

from __future__ import annotations

import collections
from collections.abc import Iterable
from dataclasses import dataclass, field

from ..board import PLAYERS
from ..data.records import GameRecord


class RunError(RuntimeError):
    """A run that cannot go on: a failed game, a dead worker or server."""


@dataclass
class RunStats:
    """What a run did; live while it runs."""

    games: int = 0
    moves: int = 0
    evaluations: int = 0  # requests made by the searches
    cache_hits: int = 0  # requests answered without a network call
    batches: int = 0
    positions: int = 0  # positions evaluated by the network
    wall_time: float = 0.0
    payoff_sums: list[float] = field(default_factory=lambda: [0.0] * PLAYERS)  # wins per seat, ties shared
    wins: list[int] = field(default_factory=lambda: [0] * PLAYERS)  # games with a share of the win, per seat

    @property
    def evaluations_per_second(self) -> float:
        return self.evaluations / self.wall_time if self.wall_time > 0 else 0.0

    @property
    def moves_per_second(self) -> float:
        return self.moves / self.wall_time if self.wall_time > 0 else 0.0

    @property
    def hit_rate(self) -> float:
        return self.cache_hits / self.evaluations if self.evaluations else 0.0

    @property
    def mean_game_length(self) -> float:
        return self.moves / self.games if self.games else 0.0

    def add_game(self, record: GameRecord) -> None:
        self.games += 1
        self.moves += record.num_moves
        for seat in range(PLAYERS):
            self.payoff_sums[seat] += float(record.payoff[seat])
            self.wins[seat] += int(record.payoff[seat] > 0)


class GameScheduler:
    """Hands out game numbers; a failed game's number goes back to the front."""

    def __init__(self, numbers: Iterable[int]):
        self._queue = collections.deque(int(n) for n in numbers)
        if len(set(self._queue)) != len(self._queue):
            raise ValueError("game numbers must be unique")
        self.outstanding: set[int] = set()
        self.finished: set[int] = set()

    def next(self) -> int | None:
        """The next number to play, or None when every number is handed out."""
        if not self._queue:
            return None
        number = self._queue.popleft()
        self.outstanding.add(number)
        return number

    def finish(self, number: int) -> bool:
        """Marks a game done; False when it was not outstanding (a duplicate)."""
        if number not in self.outstanding:
            return False
        self.outstanding.remove(number)
        self.finished.add(number)
        return True

    def retry(self, number: int) -> None:
        """Puts an outstanding game back to be played again."""
        self.outstanding.discard(number)
        self._queue.appendleft(number)

    @property
    def remaining(self) -> int:
        return len(self._queue)

    @property
    def done(self) -> bool:
        return not self._queue and not self.outstanding
