"""The mover's frame and the absolute player order.

The module sends a position as five planes seen from the player to move c:
plane k (k = 0..3) holds the tiles of seat (c + k - 1) mod 4, so plane 1 is
the mover's own, plane 0 the seat that moved just before. The network learns
its four values in that frame (value k for the seat of plane k), while the
module reads values[p] as the value for player p. The request does not carry
c, so it is read back from the planes: corners are only ever covered by their
own seat (a first piece cannot reach another corner), so c is the seat whose
start corner is covered on plane 1 or, while c has laid no tile or is still
laying its first piece, is one of its legal cells on plane 4.
"""
from __future__ import annotations

import numpy as np

from . import BOARD_CELLS, LEGAL_PLANE, OWN_PLANE, PLANES, PLAYERS, START_CORNERS


def plane_seats(mover: int) -> np.ndarray:
    """The seat whose tiles lie on each of the planes 0..3 when `mover` moves."""
    return (mover + np.arange(PLAYERS) - 1) % PLAYERS


def movers_from_planes(planes: np.ndarray) -> np.ndarray:
    """The player to move of each position of a batch [B, 5, 20, 20] (or [B, 5, 400]).

    Raises ValueError when a position's planes do not name exactly one mover.
    """
    batch = np.asarray(planes)
    if batch.ndim < 2 or batch.shape[1] != PLANES or batch[0].size != PLANES * BOARD_CELLS:
        raise ValueError(f"expected planes of shape [B, 5, 20, 20], got {batch.shape}")
    flat = batch.reshape(batch.shape[0], PLANES, BOARD_CELLS)
    marks = (flat[:, OWN_PLANE, START_CORNERS] != 0) | (flat[:, LEGAL_PLANE, START_CORNERS] != 0)
    check_one_mover(marks.sum(axis=1))
    return np.argmax(marks, axis=1)


def check_one_mover(counts: np.ndarray) -> None:
    """ValueError unless each position of a batch names exactly one mover (`counts`: seats it names)."""
    counts = np.asarray(counts)
    if not np.all(counts == 1):
        bad = int(np.flatnonzero(counts != 1)[0])
        raise ValueError(
            f"position {bad} of the batch does not show whose turn it is: the mover's start corner "
            "must be covered on plane 1 or legal on plane 4, and no other start corner may be"
        )


def mover_to_absolute(values: np.ndarray, movers: np.ndarray) -> np.ndarray:
    """Values [B, 4] in the mover's frame to absolute player order (entry p for player p)."""
    values = np.asarray(values)
    movers = np.asarray(movers, dtype=np.int64)
    # Player p is seat p of plane (p - c + 1) mod 4.
    index = (np.arange(PLAYERS)[None, :] - movers[:, None] + 1) % PLAYERS
    return np.take_along_axis(values, index, axis=1)


def absolute_to_mover(values: np.ndarray, movers: np.ndarray) -> np.ndarray:
    """Values [B, 4] in absolute player order to the mover's frame (entry k for plane k's seat)."""
    values = np.asarray(values)
    movers = np.asarray(movers, dtype=np.int64)
    index = (movers[:, None] + np.arange(PLAYERS)[None, :] - 1) % PLAYERS
    return np.take_along_axis(values, index, axis=1)
