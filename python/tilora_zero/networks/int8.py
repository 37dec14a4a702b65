"""A network served in 8 bits by the toolkit's own kernels: NumPy and the native module, no torch.

The tables come from :func:`.quantize.int8_tables` in the process that reads the checkpoint; an
:class:`Int8Network` pickles as those tables, and each process that serves it builds the native network
at its first call. On a CPU with AVX-512 VNNI it evaluates the 3 x 16 network 2.6 times as fast as
ONNX Runtime in float32 (docs/toolkit.md, Speed); elsewhere portable code gives the same numbers, slowly.
"""
from __future__ import annotations

import functools
from collections.abc import Callable

import numpy as np

from .base import check_planes, check_value_convention
from .exported import served


def fast_here() -> bool:
    """Whether this CPU runs the int8 kernels' vector code (AVX-512 VNNI)."""
    from .. import _engine

    return bool(_engine.Int8Network.vnni_available())


class Int8Network:
    """Serves ``net(planes) -> (logits, values)`` like an exported graph; ``reply`` gives the graph's
    outputs (log_policy, shares, movers)."""

    def __init__(self, tables: dict, name: str, value_convention: str):
        self.tables = tables
        self.name = name
        self.value_convention = check_value_convention(value_convention)
        self._native = None

    def factory(self) -> Callable[[], Int8Network]:
        """A picklable factory of this network, for the processes that serve it."""
        return functools.partial(Int8Network, self.tables, self.name, self.value_convention)

    def __getstate__(self) -> dict:
        return {**self.__dict__, "_native": None}

    def reply(self, planes: np.ndarray, portable: bool = False) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        if self._native is None:
            from .. import _engine

            self._native = _engine.Int8Network(**self.tables)
        return self._native.evaluate(np.ascontiguousarray(planes, dtype=np.float32), portable)

    def __call__(self, planes: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        return served(*self.reply(check_planes(planes)), self.value_convention)
