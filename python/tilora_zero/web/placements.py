"""The placements a player can end the turn with, found by laying cells in a copy of the game.

The engine ends a turn when no open placement has a cell left to lay, so a placement inside a larger open
one can never end it: the placements a person may choose are the largest ones (a single cell where a
longer piece would grow from it is no choice). Laying a placement's cells in ascending order ends the turn
with its last cell, whatever the placement, so walking the legal cells in ascending order, each a step
above the last, meets each placement exactly once.
"""
from __future__ import annotations

from typing import NamedTuple

from .._engine import Game


class Placement(NamedTuple):
    kind: int  # the piece, by its catalogue number
    cells: tuple[int, ...]  # every cell it covers, ascending (those laid earlier this turn included)


def turn_placements(game: Game, laid: list[int]) -> list[Placement]:
    """The placements with which the player to move can end the turn, ``laid`` the cells they laid this turn
    so far; none when the game is over."""
    player = game.current_player
    if player is None:
        return []
    left = set(game.remaining_pieces(player))
    found: list[Placement] = []

    def walk(position: Game, cells: list[int]) -> None:
        above = cells[-1] if cells else -1
        for cell in position.legal_tiles().tolist():
            if cell <= above:
                continue
            after = position.copy()
            after.apply(cell)
            gone = left.difference(after.remaining_pieces(player))
            if gone:
                found.append(Placement(gone.pop(), tuple(sorted(laid + cells + [cell]))))
            else:
                walk(after, cells + [cell])

    walk(game, [])
    return found

