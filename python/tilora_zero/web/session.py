"""A game in play: the person's seat, the opponent's turns, undo and a new game.

Every change goes through the engine and is refused whole (:class:`PlayError`) when the rules, the turn
order or the game's end forbid it, so a bad request changes nothing. The session is the one game every tab
of the page draws: each change raises its ``version``, and a tab that asks for the opponent's turn names the
version it saw, so two tabs asking at once play one turn, not two.
"""
from __future__ import annotations

import random
import threading
from typing import Any

from .._engine import Game
from ..board import BOARD_CELLS, PLAYERS
from .coordinates import cell_name, cells_named
from .hint import network_hint
from .opponent import Opponent
from .pieces import PieceNumbers
from .placements import Placement, turn_placements
from .standing import places, seats_out


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
        self.version = 0
        self._placements: tuple[int, list[Placement]] = (-1, [])  # the version they belong to
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
        self.version += 1
        for cell in cells:
            self._lay(cell)

    def _lay(self, cell: int) -> None:
        self.pieces.append(self.numbers.apply(self.game, cell))
        self.cells.append(cell)
        self.version += 1

    def _laid(self) -> list[int]:
        """The cells the player to move has laid of the piece in progress."""
        player = self.game.current_player
        number = self.numbers.laying[player] if player is not None else None
        return [cell for cell, piece in zip(self.cells, self.pieces) if number is not None and piece == number]

    def _turn_placements(self) -> list[Placement]:
        if self._placements[0] != self.version:
            self._placements = (self.version, turn_placements(self.game, self._laid()))
        return self._placements[1]

    def _check_going(self) -> None:
        if self.game.is_over:
            raise PlayError("the game is over: start a new game")

    def _check_yours(self) -> None:
        self._check_going()
        if self.game.current_player != self.seat:
            raise PlayError(f"it is seat {self.game.current_player}'s turn, not yours (seat {self.seat})")

    def lay(self, cell: Any) -> dict[str, Any]:
        """The person lays ``cell``; PlayError when it is not theirs to lay."""
        with self.lock:
            self._check_yours()
            self._check_cell(cell)
            if cell not in self.game.legal_tiles():
                raise PlayError(f"cell {cell_name(cell)} is not legal now")
            self._lay(cell)
            return self._state()

    def place(self, cells: Any) -> dict[str, Any]:
        """The person lays the whole placement covering ``cells`` (any order, the cells laid this turn
        included), its cells in ascending order as the engine lays a decision; PlayError when it is not one
        of the placements that can end their turn."""
        with self.lock:
            self._check_yours()
            if not isinstance(cells, list) or not cells:
                raise PlayError(f"a placement is a list of cells, got {cells!r}")
            for cell in cells:
                self._check_cell(cell)
            wanted = tuple(sorted(set(cells)))
            if not any(placement.cells == wanted for placement in self._turn_placements()):
                raise PlayError(f"{cells_named(wanted)} is not a placement you can lay now")
            for cell in sorted(set(wanted).difference(self._laid())):
                self._lay(cell)
            return self._state()

    @staticmethod
    def _check_cell(cell: Any) -> None:
        if isinstance(cell, bool) or not isinstance(cell, int) or not 0 <= cell < BOARD_CELLS:
            raise PlayError(f"a cell is a number from 0 to {BOARD_CELLS - 1}, got {cell!r}")

    def opponent_turn(self, version: Any = None) -> dict[str, Any]:
        """The opponent lays one placement for the seat to move; PlayError when that seat is the person's.
        With the ``version`` a tab last drew, a game that has moved on since is only drawn afresh."""
        with self.lock:
            if version is not None and version != self.version:
                return self._state()
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

    @property
    def can_hint(self) -> bool:
        return self.opponent.network is not None

    def hint(self) -> dict[str, Any]:
        """The opponent's network on the position: each seat's value and the favoured placements of the seat
        to move; PlayError when the opponent has no network or the game is over."""
        with self.lock:
            if not self.can_hint:
                raise PlayError(f"the opponent {self.opponent.label} has no network to ask")
            self._check_going()
            return {"version": self.version, "to_move": self.game.current_player,
                    **network_hint(self.opponent.network, self.game, self._turn_placements(), self._laid())}

    def _state(self) -> dict[str, Any]:
        game = self.game
        to_move = game.current_player
        mine = to_move == self.seat
        started = bool(game.turn_started) if to_move is not None else False
        scores = game.score()
        return {
            "mode": "play",
            "version": self.version,
            "game": self.games,
            "seat": self.seat,
            "opponent": self.opponent.label,
            "hint": self.can_hint,
            "moves": [[int(p), int(c)] for p, c in game.history],
            "pieces": self.pieces,
            "placed": [[seat, kind] for seat, kind in zip(self.numbers.seats, self.numbers.kinds)],
            "to_move": to_move,
            "turn_started": started,
            "laid": self._laid(),
            "legal": [int(c) for c in game.legal_tiles()] if mine else [],
            "placements": [[p.kind, list(p.cells)] for p in self._turn_placements()] if mine else [],
            "remaining": [int(k) for k in game.remaining_pieces(self.seat)],
            "pieces_left": [len(game.remaining_pieces(player)) for player in range(PLAYERS)],
            "covered": [sum(player == p for p, _ in game.history) for player in range(PLAYERS)],
            "scores": scores,
            "out": seats_out(self.numbers.seats, to_move, started),
            "over": bool(game.is_over),
            "payoff": game.payoff() if game.is_over else None,
            "places": places(scores) if game.is_over else None,
            # The person's first cell began one of their turns, so there is a turn to go back to.
            "can_undo": any(player == self.seat for player, _ in game.history),
        }
