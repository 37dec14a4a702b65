"""A game in play: the person's seat, the opponent's turns, undo and a new game.

Every change goes through the engine and is refused whole (:class:`PlayError`) when the rules, the turn
order or the game's end forbid it, so a bad request changes nothing.
"""
from __future__ import annotations

import random
import threading
from typing import Any

from .._engine import Game
from ..board import BOARD_CELLS, PLAYERS
from .opponent import Opponent
from .pieces import PieceNumbers


class PlayError(ValueError):
    """A request the game refuses: its text says why, for the person."""


class PlaySession:
    """One game at a time between the person on ``seat`` (None: a random seat each game) and ``opponent``
    on the other three. Safe to call from several threads: one request at a time."""

    def __init__(self, opponent: Opponent, seat: int | None = None, seed: int | None = None):
        self.opponent = opponent
        self.fixed_seat = seat
        self.random = random.Random(seed)
        self.lock = threading.Lock()
        self.games = 0
        self._start()

    def new_game(self) -> dict[str, Any]:
        with self.lock:
            self._start()
            return self._state()

    def _start(self) -> None:
        self.seat = self.fixed_seat if self.fixed_seat is not None else self.random.randrange(PLAYERS)
        self.seed = self.random.randrange(2**31)
        self.games += 1
        self._replay([])

    def _replay(self, cells: list[int]) -> None:
        self.game, self.cells, self.pieces, self.numbers = Game(), [], [], PieceNumbers(PLAYERS)
        for cell in cells:
            self._lay(cell)

    def _lay(self, cell: int) -> None:
        self.pieces.append(self.numbers.apply(self.game, cell))
        self.cells.append(cell)

    def _check_going(self) -> None:
        if self.game.is_over:
            raise PlayError("the game is over: start a new game")

    def lay(self, cell: Any) -> dict[str, Any]:
        """The person lays ``cell``; PlayError when it is not theirs to lay."""
        with self.lock:
            self._check_going()
            if self.game.current_player != self.seat:
                raise PlayError(f"it is seat {self.game.current_player}'s turn, not yours (seat {self.seat})")
            if isinstance(cell, bool) or not isinstance(cell, int) or not 0 <= cell < BOARD_CELLS:
                raise PlayError(f"a cell is a number from 0 to {BOARD_CELLS - 1}, got {cell!r}")
            if cell not in self.game.legal_tiles():
                raise PlayError(f"cell {cell} is not legal now")
            self._lay(cell)
            return self._state()

    def opponent_turn(self) -> dict[str, Any]:
        """The opponent lays one placement for the seat to move; PlayError when that seat is the person's."""
        with self.lock:
            self._check_going()
            if self.game.current_player == self.seat:
                raise PlayError(f"it is your turn (seat {self.seat})")
            for cell in self.opponent.turn(self.cells, self.seed + len(self.cells)):
                self._lay(cell)
            return self._state()

    def undo(self) -> dict[str, Any]:
        """Back to the start of the person's turn in progress, or of their previous one when none is."""
        with self.lock:
            starts = self._turn_starts()
            if not starts:
                raise PlayError("nothing to undo: you have not played yet")
            self._replay(self.cells[:starts[-1]])
            return self._state()

    def _turn_starts(self) -> list[int]:
        """The move numbers before which the person began a turn, short of the present position."""
        game, starts = Game(), []
        for move, cell in enumerate(self.cells):
            if game.current_player == self.seat and not game.turn_started:
                starts.append(move)
            game.apply(cell)
        return starts

    def state(self) -> dict[str, Any]:
        with self.lock:
            return self._state()

    def _state(self) -> dict[str, Any]:
        game = self.game
        to_move = game.current_player
        mine = to_move == self.seat
        return {
            "mode": "play",
            "game": self.games,
            "seat": self.seat,
            "opponent": self.opponent.label,
            "moves": [[int(p), int(c)] for p, c in game.history],
            "pieces": self.pieces,
            "to_move": to_move,
            "turn_started": bool(game.turn_started) if to_move is not None else False,
            "legal": [int(c) for c in game.legal_tiles()] if mine else [],
            "remaining": [int(k) for k in game.remaining_pieces(self.seat)],
            "scores": game.score(),
            "over": bool(game.is_over),
            "payoff": game.payoff() if game.is_over else None,
            # The person's first cell began one of their turns, so there is a turn to go back to.
            "can_undo": any(player == self.seat for player, _ in game.history),
        }
