"""What travels between the games and a network: packed positions out, ``(logits, values)`` back.

The module hands over a position's planes packed, 5 x 400 zeros and ones in
250 bytes (:func:`pack_planes`, the engine's); the network gets them unpacked
(:func:`unpack_planes`) and its answer is checked and made into contiguous
float32 arrays (:func:`call_network`), which the module reads directly.
"""

from __future__ import annotations

from typing import Callable

import numpy as np

from .. import _engine
from ..board import BOARD_CELLS, BOARD_SIDE, PACKED_BYTES, PLANES, PLAYERS

pack_planes = _engine.pack_planes

Reply = tuple[np.ndarray, np.ndarray]


def unpack_planes(packed: np.ndarray) -> np.ndarray:
    """Packed planes ``uint8[B, 250]`` to the network's ``float32[B, 5, 20, 20]``."""
    packed = np.asarray(packed, dtype=np.uint8).reshape(-1, PACKED_BYTES)
    bits = np.unpackbits(packed, axis=1)
    return bits.reshape(-1, PLANES, BOARD_SIDE, BOARD_SIDE).astype(np.float32)


def pack_batch(planes: np.ndarray) -> np.ndarray:
    """The inverse of :func:`unpack_planes`: ``[B, 5, 20, 20]`` (0/1) to ``uint8[B, 250]``."""
    planes = np.asarray(planes)
    return np.packbits(planes.reshape(planes.shape[0], -1) != 0, axis=1)


def call_network(network: Callable[[np.ndarray], Reply], packed: np.ndarray) -> Reply:
    """Runs ``network`` on packed planes and checks the shapes of its answer."""
    batch = packed.shape[0]
    logits, values = network(unpack_planes(packed))
    logits = np.ascontiguousarray(logits, dtype=np.float32)
    values = np.ascontiguousarray(values, dtype=np.float32)
    if logits.shape != (batch, BOARD_CELLS) or values.shape != (batch, PLAYERS):
        raise ValueError(
            f"network returned logits {logits.shape} and values {values.shape} for a batch of "
            f"{batch}; expected ({batch}, {BOARD_CELLS}) and ({batch}, {PLAYERS})"
        )
    return logits, values
