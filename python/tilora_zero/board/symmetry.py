"""Board symmetries used to augment training positions.

Of the eight rotations and reflections of the square, only the four rotations
are symmetries of the game. The start corners 0, 19, 399, 380 of seats 0..3
run clockwise round the board, the same way as the turn order. A rotation by a
quarter turn maps every seat's corner to a neighbouring seat's corner and
keeps that cyclic order: the rotated position is the same game with every seat
renamed p -> p - k (counter-clockwise turns), and the mover-relative planes
(plane k holds seat c + k - 1) show the previous, own, next and opposite seats
on the same planes as before. So the rotated planes, the rotated policy and
the unchanged mover-frame value describe a real position of the game, with
the same legal cells (rotated) and the same outcome.

A reflection reverses the cyclic order of the corners: after one, the seat
that moves just before the mover (plane 0) sits at the corner where the seat
that moves just after it would start. No renaming of seats fixes that while
keeping the turn order, so a reflected position belongs to the mirror-image
game, in which the turn passes the other way round. Its legal cells happen to
match, but who moves next, and hence who may block whom, does not; training on
it would teach values of a different game. The reflections are left out.
"""
from __future__ import annotations

import numpy as np

from . import BOARD_CELLS, BOARD_SIDE, PLAYERS

_LAST = BOARD_SIDE - 1


def _row_col(cells: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    return np.divmod(cells, BOARD_SIDE)


# Each transform maps (row, column) to (row', column'); rotations are counter-clockwise
# quarter turns, the same as numpy.rot90 on a [20, 20] plane.
_TRANSFORMS = {
    "identity": lambda r, c: (r, c),
    "rotate90": lambda r, c: (_LAST - c, r),
    "rotate180": lambda r, c: (_LAST - r, _LAST - c),
    "rotate270": lambda r, c: (c, _LAST - r),
    "transpose": lambda r, c: (c, r),
    "antitranspose": lambda r, c: (_LAST - c, _LAST - r),
    "flip_rows": lambda r, c: (_LAST - r, c),
    "flip_columns": lambda r, c: (r, _LAST - c),
}
ALL_TRANSFORMS = tuple(_TRANSFORMS)
# The transforms that are symmetries of the game (see the module docstring).
ROTATIONS = ("identity", "rotate90", "rotate180", "rotate270")
RULE_SYMMETRIES = ROTATIONS


def cell_map(transform: str) -> np.ndarray:
    """int64[400]: the cell that each cell goes to under `transform`."""
    if transform not in _TRANSFORMS:
        raise ValueError(f"unknown board transform {transform!r}; expected one of {', '.join(ALL_TRANSFORMS)}")
    rows, cols = _row_col(np.arange(BOARD_CELLS))
    new_rows, new_cols = _TRANSFORMS[transform](rows, cols)
    return (new_rows * BOARD_SIDE + new_cols).astype(np.int64)


_CELL_MAPS = np.stack([cell_map(name) for name in ALL_TRANSFORMS])
# gather index: new[..., k] = old[..., _SOURCES[t, k]]
_SOURCES = np.argsort(_CELL_MAPS, axis=1)


def seat_map(transform: str) -> np.ndarray | None:
    """int64[4]: the seat each seat becomes under a rotation; None for a reflection."""
    turns = {"identity": 0, "rotate90": 1, "rotate180": 2, "rotate270": 3}.get(transform)
    if turns is None:
        cell_map(transform)  # validates the name
        return None
    return (np.arange(PLAYERS) - turns) % PLAYERS


def transform_index(transform: str) -> int:
    if transform not in _TRANSFORMS:
        raise ValueError(f"unknown board transform {transform!r}; expected one of {', '.join(ALL_TRANSFORMS)}")
    return ALL_TRANSFORMS.index(transform)


def transform_cells(cells: np.ndarray, transform: str) -> np.ndarray:
    """Cell indices under `transform` (any shape)."""
    return _CELL_MAPS[transform_index(transform)][np.asarray(cells, dtype=np.int64)]


def transform_cell_arrays(arrays: np.ndarray, transforms: np.ndarray) -> np.ndarray:
    """Per-row transforms of arrays indexed by cell in their last axis.

    `arrays` [B, ..., 400], `transforms` int[B] (indices into ALL_TRANSFORMS):
    row b's value at cell k moves to cell map[k].
    """
    arrays = np.asarray(arrays)
    transforms = np.asarray(transforms, dtype=np.int64)
    sources = _SOURCES[transforms]  # [B, 400]
    shape = (arrays.shape[0],) + (1,) * (arrays.ndim - 2) + (BOARD_CELLS,)
    return np.take_along_axis(arrays, sources.reshape(shape), axis=-1)


def transform_planes(planes: np.ndarray, transform: str) -> np.ndarray:
    """Planes [..., 20, 20] (or [..., 400]) under `transform`."""
    planes = np.asarray(planes)
    flat = planes.reshape(planes.shape[:-2] + (BOARD_CELLS,)) if planes.shape[-2:] == (BOARD_SIDE, BOARD_SIDE) else planes
    moved = flat[..., _SOURCES[transform_index(transform)]]
    return moved.reshape(planes.shape)


def random_rotations(count: int, rng: np.random.Generator) -> np.ndarray:
    """Transform indices of `count` uniformly drawn rotations."""
    return rng.integers(0, len(ROTATIONS), size=count)
