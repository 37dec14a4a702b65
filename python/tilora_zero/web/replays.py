"""Recorded games for the viewer: a list of them, and one game's moves with each move's visit shares."""
from __future__ import annotations

import os
from typing import Any

from .._engine import Game, RuleError
from ..board import PLAYERS
from ..data.records import GameRecord, RecordError, iter_records, read_shard
from .coordinates import cell_name
from .pieces import PieceNumbers


class RecordedGames:
    """The games of a records directory or shard, read once; RecordError when it holds none."""

    def __init__(self, path: str | os.PathLike):
        path = os.fspath(path)
        if not os.path.exists(path):
            raise RecordError(f"{path}: no such file or directory")
        records = iter_records(path) if os.path.isdir(path) else read_shard(path)
        self.records: dict[int, GameRecord] = {record.game_number: record for record in records}
        if not self.records:
            raise RecordError(f"{path}: holds no games")

    def listing(self) -> dict[str, Any]:
        return {"mode": "view", "games": [{"number": number, "moves": record.num_moves,
                                           "scores": record.scores.tolist()}
                                          for number, record in sorted(self.records.items())]}

    def game(self, number: int) -> dict[str, Any]:
        """Game ``number`` replayed through the engine; KeyError for a game not held, RecordError for one
        the rules refuse."""
        record = self.records[number]
        game, numbers, pieces = Game(), PieceNumbers(PLAYERS), []
        scores = [game.score()]  # after each move
        for move, cell in enumerate(record.cells.tolist()):
            try:
                pieces.append(numbers.apply(game, cell))
            except RuleError as error:
                raise RecordError(f"game {number}: move {move} (cell {cell_name(cell)}): {error}") from None
            scores.append(game.score())
        policies = [[cells.tolist(), [round(float(s), 4) for s in shares]]
                    for cells, shares in map(record.policy, range(record.num_moves))]
        return {"number": number, "moves": [[int(p), int(c)] for p, c in zip(record.players, record.cells)],
                "pieces": pieces, "policies": policies, "scores": scores,
                "payoff": [float(p) for p in record.payoff], "metadata": record.metadata}
