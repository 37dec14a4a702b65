"""Training arrays from a directory of game records.

Each game is replayed through the rules engine, and every move becomes one
training position:

    planes    uint8   [N, 5, 20, 20]  the module's planes before the move (0/1)
    policies  float32 [N, 400]        the search's visit shares at that move
    values    float32 [N, 4]          the game's payoff in the MOVER's frame:
                                      entry k is the payoff of the seat whose
                                      tiles lie on plane k, seat (c + k - 1) mod 4
    movers    int8    [N]             c, the player to move
    games     int64   [N]             the game number of the position
    searched  bool    [N]             whether a search chose the move; a move that
                                      was not searched (a forced one, or a later
                                      cell of a placement the search chose) has an
                                      all-zero policy row and no policy target

`absolute_values()` gives the payoff back in absolute player order.
A move without finite visit shares (the module's result of a search with no
simulations: 0/0) has no policy target; such a record is refused.
"""
from __future__ import annotations

import collections
from dataclasses import dataclass
from pathlib import Path
from typing import Iterable

import numpy as np

from ..board import BOARD_CELLS, BOARD_SIDE, PLANES, PLAYERS
from ..board.frames import absolute_to_mover, mover_to_absolute


@dataclass
class Dataset:
    planes: np.ndarray
    policies: np.ndarray
    values: np.ndarray
    movers: np.ndarray
    games: np.ndarray
    searched: np.ndarray

    def __len__(self) -> int:
        return int(self.planes.shape[0])

    def absolute_values(self) -> np.ndarray:
        return mover_to_absolute(self.values, self.movers).astype(np.float32)

    def turn_starts(self) -> np.ndarray:
        """bool [N]: the positions before a turn's first cell, where the placement tree asks for values: a
        game's first, and each where the mover changes (a seat's turns in a row, once the others are out of
        moves, count as one)."""
        starts = np.ones(len(self), dtype=bool)
        starts[1:] = (self.movers[1:] != self.movers[:-1]) | (self.games[1:] != self.games[:-1])
        return starts


def _replay_planes(cells: np.ndarray) -> np.ndarray:
    """uint8 [M, 5, 20, 20]: the planes before each of the moves `cells`."""
    try:
        from .._engine import replay_planes
    except ImportError:
        replay_planes = None
    if replay_planes is not None:
        return np.asarray(replay_planes(np.asarray(cells, dtype=np.int64)), dtype=np.uint8)
    from .._engine import Game

    game = Game()
    out = np.empty((len(cells), PLANES, BOARD_SIDE, BOARD_SIDE), dtype=np.uint8)
    for i, cell in enumerate(cells):
        out[i] = np.asarray(game.planes(), dtype=np.uint8).reshape(PLANES, BOARD_SIDE, BOARD_SIDE)
        game.apply(int(cell))
    return out


def game_number(record, default: int) -> int:
    number = getattr(record, "game_number", -1)
    return default if number is None or number < 0 else int(number)


def record_arrays(record, number: int = 0) -> Dataset:
    """The training positions of one game record."""
    players = np.asarray(record.players, dtype=np.int64)
    cells = np.asarray(record.cells, dtype=np.int64)
    moves = len(cells)
    offsets = np.asarray(record.policy_offsets, dtype=np.int64)
    policy_cells = np.asarray(record.policy_cells, dtype=np.int64)
    shares = np.asarray(record.policy_shares, dtype=np.float32)
    where = f"{record.source}: " if getattr(record, "source", None) else ""
    if len(players) != moves or len(offsets) != moves + 1 or offsets[-1] != len(policy_cells):
        raise ValueError(f"{where}game {number}: record arrays disagree in length (moves {moves}, "
                         f"offsets {len(offsets)})")
    if len(policy_cells) and (policy_cells.min() < 0 or policy_cells.max() >= BOARD_CELLS):
        raise ValueError(f"{where}game {number}: a policy cell lies off the board")
    if not np.isfinite(shares).all():
        move = int(np.searchsorted(offsets, np.flatnonzero(~np.isfinite(shares))[0], side="right")) - 1
        raise ValueError(f"{where}game {number}: the visit shares of move {move} are not finite (a search "
                         "without simulations?)")
    planes = _replay_planes(cells)
    policies = np.zeros((moves, BOARD_CELLS), dtype=np.float32)
    rows = np.repeat(np.arange(moves), np.diff(offsets))
    policies[rows, policy_cells] = shares
    payoff = np.asarray(record.payoff, dtype=np.float32).reshape(1, PLAYERS)
    values = absolute_to_mover(np.repeat(payoff, moves, axis=0), players).astype(np.float32)
    return Dataset(
        planes=planes,
        policies=policies,
        values=values,
        movers=players.astype(np.int8),
        games=np.full(moves, number, dtype=np.int64),
        searched=np.diff(offsets) > 0,
    )


def concatenate(parts: Iterable[Dataset]) -> Dataset:
    parts = list(parts)
    if not parts:
        return Dataset(
            planes=np.zeros((0, PLANES, BOARD_SIDE, BOARD_SIDE), dtype=np.uint8),
            policies=np.zeros((0, BOARD_CELLS), dtype=np.float32),
            values=np.zeros((0, PLAYERS), dtype=np.float32),
            movers=np.zeros(0, dtype=np.int8),
            games=np.zeros(0, dtype=np.int64),
            searched=np.zeros(0, dtype=bool),
        )
    return Dataset(*(np.concatenate([getattr(p, f) for p in parts]) for f in Dataset.__dataclass_fields__))


def from_records(records: Iterable) -> Dataset:
    return concatenate(record_arrays(r, game_number(r, i)) for i, r in enumerate(records))


def load_dataset(directory: str | Path, last_games: int | None = None) -> Dataset:
    """The positions of the records in `directory`; with `last_games`, of the newest that many games."""
    from .records import iter_records

    directory = Path(directory)
    if not directory.is_dir():
        raise FileNotFoundError(f"records directory not found: {directory}")
    if last_games is not None and last_games < 1:
        raise ValueError(f"last_games must be at least 1, got {last_games}")
    records = collections.deque(iter_records(directory), maxlen=last_games)
    if not records:
        raise ValueError(f"no game records in {directory}")
    return from_records(records)
