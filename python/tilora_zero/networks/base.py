"""What every network shares, with torch or without: the planes it reads, the value convention it serves,
the value head a new residual network gets.

The served value convention
---------------------------
The search scores a child as Q + C * prior, where an unvisited child counts
as Q = 0 and C (about 11 with the default settings) does not shrink with the
child's visits. A visited child therefore keeps every simulation for as long
as its Q is not below what the unvisited siblings' priors offer, so values
that are never negative make every root's visits one-hot. The networks learn
each seat's expected payoff share p in [0, 1]; what they serve is one of

    "centred"  4 * p - 1   0 is an average outcome, the default (see docs/learning.md)
    "offset"   p - 0.25    centred on the same par, four times smaller
    "share"    p           the raw share, kept for comparison

The module itself scores finished games with the raw payoff in [0, 1]. The
PUCT rule (`SearchSettings.search == "puct"`) reads every value on that scale,
so a network searched with it serves "share"; the conventions above are for
the classic rule. Wherever a network is bound to the searches it serves (a
player's seat, a generation of the loop, the ``selfplay`` command), a
:class:`~tilora_zero.networks.ServedNetwork` resolves its convention, once.
"""
from __future__ import annotations

import numpy as np

from ..board import BOARD_CELLS, BOARD_SIDE, PLANES, PLAYERS

# Logit given to cells the mover cannot lay; far below any legal cell's.
ILLEGAL_LOGIT = -1.0e4
VALUE_CONVENTIONS = ("centred", "offset", "share")
DEFAULT_VALUE_CONVENTION = "centred"
PAR_SHARE = 1.0 / PLAYERS
# A new network's value head: eight planes of the tower, one linear score of them, and the four logits
# from that score. The legacy head (one plane, 64 ReLU units), like any head that can fit each game's
# positions, gave values worth nothing to a search; one score generalises, and a linear unit cannot
# die in training as ReLU units did (docs/learning.md).
VALUE_HEAD_CHANNELS = 8
VALUE_HEAD_HIDDEN = 1
VALUE_HEAD_RELU = False
LEGACY_VALUE_HEAD = {"value_channels": 1, "value_hidden": 64, "value_relu": True}


def check_value_convention(convention: str) -> str:
    if convention not in VALUE_CONVENTIONS:
        raise ValueError(
            f"unknown value convention {convention!r}; expected one of {', '.join(VALUE_CONVENTIONS)}"
        )
    return convention


def served_convention(search: str, value_convention: str | None = None) -> str | None:
    """The convention a network serves to searches under rule `search`: "share" for PUCT; for the
    classic rule `value_convention` (None: the network's own). ValueError when they disagree."""
    if value_convention is not None:
        check_value_convention(value_convention)
    if search != "puct":
        return value_convention
    if value_convention not in (None, "share"):
        raise ValueError(f"the puct search reads payoff shares; value convention {value_convention!r} is for the "
                         "classic search")
    return "share"


def serve_values(shares: np.ndarray, convention: str = DEFAULT_VALUE_CONVENTION) -> np.ndarray:
    """Expected payoff shares in [0, 1] to the values served to the module."""
    shares = np.asarray(shares, dtype=np.float32)
    check_value_convention(convention)
    if convention == "centred":
        return (np.float32(PLAYERS) * shares - np.float32(1.0)).astype(np.float32)
    if convention == "offset":
        return (shares - np.float32(PAR_SHARE)).astype(np.float32)
    return shares.copy()


def check_planes(planes: np.ndarray) -> np.ndarray:
    """The planes as float32 [B, 5, 20, 20] (also accepted: [B, 5, 400]); ValueError otherwise."""
    array = np.asarray(planes, dtype=np.float32)
    if array.ndim == 3 and array.shape[1:] == (PLANES, BOARD_CELLS):
        array = array.reshape(array.shape[0], PLANES, BOARD_SIDE, BOARD_SIDE)
    if array.ndim != 4 or array.shape[1:] != (PLANES, BOARD_SIDE, BOARD_SIDE):
        raise ValueError(f"expected planes of shape [B, 5, 20, 20], got {np.shape(planes)}")
    return array
