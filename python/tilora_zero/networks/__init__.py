"""Networks that answer the module's evaluation requests.

A network is any callable

    net(planes: float32[B, 5, 20, 20]) -> (logits: float32[B, 400], values: float32[B, 4])

with a `name` attribute (recorded in each game's metadata). `values[:, p]` is the
value of player p (absolute order), already in the served value convention.

The value convention a network serves follows the rule of the searches it
serves (:mod:`.base`); wherever a network is bound to its searches (a
player's seat, a generation of the loop, the ``selfplay`` command), a
:class:`ServedNetwork` resolves it, once.
"""
from __future__ import annotations

import functools
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from typing import Protocol

import numpy as np

from ..board import BOARD_CELLS, PLAYERS
from .base import (DEFAULT_VALUE_CONVENTION, LEGACY_VALUE_HEAD, PAR_SHARE, VALUE_CONVENTIONS, VALUE_HEAD_CHANNELS,
                   VALUE_HEAD_HIDDEN, VALUE_HEAD_RELU, check_planes, check_value_convention, serve_values,
                   served_convention)


class Network(Protocol):
    name: str

    def __call__(self, planes: np.ndarray) -> tuple[np.ndarray, np.ndarray]: ...


@dataclass(frozen=True)
class ServedNetwork:
    """A network bound to the searches it serves: the one place its value convention is resolved.

    ``source`` is "uniform", a checkpoint path or a picklable factory (which serves what it serves);
    ``search`` the rule of the searches (``SearchSettings.search``); ``value_convention`` the classic rule's
    choice (None: the network's own). ValueError when the rule does not read that convention.
    ``precision`` "int8" serves a checkpoint on the CPU in 8 bits (:mod:`.int8`), "fp32" in float32; None
    (the default) is :func:`default_precision`."""

    source: str | Callable[[], Network]
    search: str
    device: str = "cpu"
    value_convention: str | None = None
    precision: str | None = None
    convention: str | None = field(init=False)  # what it serves (:func:`served_convention`)

    def __post_init__(self) -> None:
        object.__setattr__(self, "convention", served_convention(self.search, self.value_convention))
        from .quantize import check_precision

        if self.precision is None:
            object.__setattr__(self, "precision", default_precision(self.source, self.device))
        if check_precision(self.precision) != "fp32" and (callable(self.source) or self.source == "uniform"
                                                          or self.device != "cpu"):
            raise ValueError(f"precision {self.precision} is for a checkpoint served on the CPU")

    @property
    def key(self) -> tuple:
        """Equal for two bindings that one network serves."""
        return (self.source, self.device, self.convention, self.precision)

    @property
    def trained_convention(self) -> str:
        """The convention to store with a checkpoint trained for these searches."""
        return self.convention or DEFAULT_VALUE_CONVENTION

    def factory(self) -> Callable[[], Network]:
        """A picklable factory of the network, built where it serves (a worker, an inference server).

        A checkpoint served on the CPU is read here once and travels as its exported graph, so that the
        processes serving it need neither torch nor the checkpoint (:mod:`.exported`)."""
        if callable(self.source):
            return self.source
        if self.source != "uniform" and self.device == "cpu":
            exported = self._exported()
            if exported is not None:
                return exported.factory()
        return functools.partial(load_network, self.source, self.device, self.convention)

    def load(self, device: str | None = None) -> Network:
        """The network, on ``device`` (default: its own); FileNotFoundError or ValueError for a bad checkpoint."""
        if callable(self.source):
            return self.source()
        if self.precision != "fp32":
            return self._exported()
        return load_network(self.source, device or self.device, self.convention)

    def _exported(self):
        """The checkpoint's network as the processes serving it on the CPU get it, at this precision; None
        where graphs cannot be exported (float32 without onnx)."""
        if self.precision == "fp32":
            return getattr(load_network(self.source, "cpu", self.convention), "exported", None)
        from .int8 import Int8Network

        if not Path(self.source).is_file():
            load_network(self.source)  # the error a missing or unreadable checkpoint gets
        stat = Path(self.source).stat()
        name, convention, tables = _int8_tables(self.source, stat.st_mtime_ns, stat.st_size)
        return Int8Network(tables, f"{name} {self.precision}", self.convention or convention)


def default_precision(source: str | Callable[[], Network], device: str = "cpu") -> str:
    """int8 for a checkpoint served on a CPU that runs the int8 kernels' vector code, else fp32.

    Measured (docs/toolkit.md, Speed): self-play at half the CPU per game, and in a 400-game duel against
    the float32 network at the same simulations the int8 network scored 0.285 [0.243, 0.327] per seat."""
    if callable(source) or source == "uniform" or device != "cpu":
        return "fp32"
    from .int8 import fast_here

    return "int8" if fast_here() else "fp32"


@functools.lru_cache(maxsize=4)
def _int8_tables(source: str, mtime_ns: int, size: int) -> tuple[str, str, dict]:
    """A checkpoint's name, stored value convention and int8 tables, calibrated on the positions of random
    games; made once however often its binding is loaded (the name, then the workers' factory) while the
    file stays as it is."""
    try:
        from .resnet import load_model, model_name
    except ImportError:
        load_network(source)  # torch missing: its error
        raise
    from .quantize import calibration_planes, int8_tables

    model, payload = load_model(source)
    name = f"{model_name(model)}:{Path(source).name}"
    return name, payload.get("value_convention", DEFAULT_VALUE_CONVENTION), int8_tables(model, calibration_planes())


def network_name(network: Network) -> str:
    """The name the records give `network`: its `name`, or its type's for a network without one."""
    return str(getattr(network, "name", type(network).__name__))


def check_serves(network: Network, search: str) -> None:
    """ValueError when `network` serves values on another scale than searches under rule `search` read."""
    convention = getattr(network, "value_convention", None)
    if search == "puct" and convention not in (None, "share"):
        raise ValueError(f"network {network_name(network)} serves {convention!r} values but the puct search reads payoff shares "
                         "(value convention 'share')")


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
    "default_precision",
    "load_network",
    "network_name",
    "serve_values",
    "served_convention",
]
