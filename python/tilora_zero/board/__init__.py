"""The board: its constants, the mover's frame (:mod:`.frames`) and the rotations of the game (:mod:`.symmetry`).

The constants are the engine's (:mod:`tilora_zero._engine`), read here once:
the toolkit takes them from this module, never writes them again.
"""
from __future__ import annotations

import numpy as np

from .. import _engine

PLAYERS: int = _engine.PLAYERS
BOARD_SIDE: int = _engine.BOARD_SIDE
BOARD_CELLS: int = _engine.BOARD_CELLS
PLANES: int = _engine.PLANES  # the planes of a position: plane k (0..3) a seat's tiles, plane 4 the legal cells
PACKED_BYTES: int = _engine.PACKED_PLANE_BYTES  # a position's planes packed, one bit a cell
OWN_PLANE = 1  # the mover's own tiles
LEGAL_PLANE = PLANES - 1  # the mover's legal cells
START_CORNERS = np.array(_engine.START_CORNERS, dtype=np.int64)  # seat p's first piece covers START_CORNERS[p]

__all__ = ["BOARD_CELLS", "BOARD_SIDE", "LEGAL_PLANE", "OWN_PLANE", "PACKED_BYTES", "PLANES", "PLAYERS",
           "START_CORNERS"]
