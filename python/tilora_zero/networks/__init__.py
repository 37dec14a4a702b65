"""Networks that answer the module's evaluation requests.

A network is any callable

    net(planes: float32[B, 5, 20, 20]) -> (logits: float32[B, 400], values: float32[B, 4])

with a `name` attribute (recorded in each game's metadata). `values[:, p]` is the
value of player p (absolute order), already in the served value convention.

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
:class:`ServedNetwork` resolves its convention, once.
"""
from __future__ import annotations

import functools
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Protocol

import numpy as np

from ..board import BOARD_CELLS, BOARD_SIDE, PLANES, PLAYERS

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


class Network(Protocol):
    name: str

    def __call__(self, planes: np.ndarray) -> tuple[np.ndarray, np.ndarray]: ...


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


@dataclass(frozen=True)
class ServedNetwork:
    """A network bound to the searches it serves: the one place its value convention is resolved.

    ``source`` is "uniform", a checkpoint path or a picklable factory (which serves what it serves);
    ``search`` the rule of the searches (``SearchSettings.search``); ``value_convention`` the classic rule's
    choice (None: the network's own). ValueError when the rule does not read that convention."""

    source: str | Callable[[], Network]
    search: str
    device: str = "cpu"
    value_convention: str | None = None
    convention: str | None = field(init=False)  # what it serves (:func:`served_convention`)

    def __post_init__(self) -> None:
        object.__setattr__(self, "convention", served_convention(self.search, self.value_convention))

    @property
    def key(self) -> tuple:
        """Equal for two bindings that one network serves."""
        return (self.source, self.device, self.convention)

    @property
    def trained_convention(self) -> str:
        """The convention to store with a checkpoint trained for these searches."""
        return self.convention or DEFAULT_VALUE_CONVENTION

    def factory(self) -> Callable[[], Network]:
        """A picklable factory of the network, built where it serves (a worker, an inference server)."""
        if callable(self.source):
            return self.source
        return functools.partial(load_network, self.source, self.device, self.convention)

    def load(self, device: str | None = None) -> Network:
        """The network, on ``device`` (default: its own); FileNotFoundError or ValueError for a bad checkpoint."""
        if callable(self.source):
            return self.source()
        return load_network(self.source, device or self.device, self.convention)


def network_name(network: Network) -> str:
    """The name the records give `network`: its `name`, or its type's for a network without one."""
    return str(getattr(network, "name", type(network).__name__))


def check_serves(network: Network, search: str) -> None:
    """ValueError when `network` serves values on another scale than searches under rule `search` read."""
    convention = getattr(network, "value_convention", None)
    if search == "puct" and convention not in (None, "share"):
        raise ValueError(f"network {network_name(network)} serves {convention!r} values but the puct search reads payoff shares "
                         "(value convention 'share')")


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


class UniformNetwork:
    """All logits 0 and every seat valued at par; needs only NumPy."""

    def __init__(self, value_convention: str = DEFAULT_VALUE_CONVENTION):
        self.value_convention = check_value_convention(value_convention)
        self.name = "uniform" if value_convention == DEFAULT_VALUE_CONVENTION else f"uniform[{value_convention}]"
        self._par = serve_values(np.full(PLAYERS, PAR_SHARE, dtype=np.float32), value_convention)

    def __call__(self, planes: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        batch = check_planes(planes).shape[0]
        logits = np.zeros((batch, BOARD_CELLS), dtype=np.float32)
        values = np.broadcast_to(self._par, (batch, PLAYERS)).copy()
        return logits, values


def load_network(source: str, device: str = "cpu", value_convention: str | None = None) -> Network:
    """"uniform", or the path of a checkpoint written by `tilora_zero.networks.resnet.save_checkpoint`.

    Raises FileNotFoundError for a missing checkpoint and ValueError for a file that is
    not one. `value_convention` overrides the one stored with the checkpoint.
    """
    if value_convention is not None:
        check_value_convention(value_convention)
    if source == "uniform":
        return UniformNetwork(value_convention or DEFAULT_VALUE_CONVENTION)
    from pathlib import Path

    path = Path(source)
    if not path.exists():
        raise FileNotFoundError(f"network checkpoint not found: {source} (give a checkpoint path or 'uniform')")
    if not path.is_file():
        raise ValueError(f"network checkpoint {source} is not a file")
    try:
        from .resnet import TorchNetwork
    except ImportError as error:  # torch missing
        raise ValueError(
            f"cannot load checkpoint {source}: it needs PyTorch, which is not installed: pip install '.[torch]'"
        ) from error
    return TorchNetwork.from_checkpoint(path, device=device, value_convention=value_convention)


__all__ = [
    "DEFAULT_VALUE_CONVENTION",
    "Network",
    "PAR_SHARE",
    "ServedNetwork",
    "UniformNetwork",
    "VALUE_CONVENTIONS",
    "check_planes",
    "check_serves",
    "load_network",
    "network_name",
    "serve_values",
    "served_convention",
]
