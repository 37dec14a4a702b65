"""Cells by name, as the page writes them: the column's letter and the row's number, ``A1`` the top left
corner (cell 0) and ``T20`` the bottom right."""
from __future__ import annotations

from ..board import BOARD_SIDE

COLUMN_LETTERS = "ABCDEFGHIJKLMNOPQRST"[:BOARD_SIDE]


def cell_name(cell: int) -> str:
    row, column = divmod(cell, BOARD_SIDE)
    return f"{COLUMN_LETTERS[column]}{row + 1}"


def cells_named(cells) -> str:
    return " ".join(cell_name(cell) for cell in cells)
