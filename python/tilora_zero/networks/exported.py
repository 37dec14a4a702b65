"""A network served from its exported graph by ONNX Runtime: NumPy and onnxruntime, no torch.

On this kind of machine ONNX Runtime evaluates the small residual networks at about 95% of the rate a
large matrix product reaches on the same threads, 1.2 to 3 times eager torch (bench/inference_bench.py),
with results equal to torch's within float rounding. A worker process that serves a checkpoint's network
this way never imports torch, which saved each worker about 2.5 CPU seconds of start-up
(docs/toolkit.md, Speed).

An :class:`ExportedNetwork` pickles as its graph's bytes, so that a run builds the graph once, in the
process that reads the checkpoint, and each worker makes its own session from the bytes
(:meth:`ExportedNetwork.factory`).
"""
from __future__ import annotations

import functools
from collections.abc import Callable

import numpy as np

from ..board.frames import check_one_mover
from .base import check_planes, check_value_convention, serve_values


def available() -> bool:
    """Whether graphs can be exported (onnx) and served (onnxruntime) here."""
    try:
        import onnx  # noqa: F401  (torch's exporter needs it)
        import onnxruntime  # noqa: F401
    except ImportError:
        return False
    return True


def cpu_threads() -> int:
    """The threads a session gets: torch's count where torch is loaded (a worker limits it after
    building its network), else one."""
    import sys

    torch = sys.modules.get("torch")
    return torch.get_num_threads() if torch is not None else 1


class ExportedNetwork:
    """Serves a serving graph (:mod:`.serving_graph`): ``net(planes) -> (logits, values)``.

    ``graph`` is the ONNX model's bytes; the session is made at the first call, with
    :func:`cpu_threads` threads."""

    def __init__(self, graph: bytes, name: str, value_convention: str):
        self.graph = graph
        self.name = name
        self.value_convention = check_value_convention(value_convention)
        self._session = None

    def factory(self) -> Callable[[], ExportedNetwork]:
        """A picklable factory of this network, for the processes that serve it."""
        return functools.partial(ExportedNetwork, self.graph, self.name, self.value_convention)

    def __getstate__(self) -> dict:
        return {**self.__dict__, "_session": None}

    def reply(self, planes: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """The graph's outputs for float32 planes [B, 5, 20, 20]: log_policy, shares, movers."""
        if self._session is None:
            import onnxruntime

            options = onnxruntime.SessionOptions()
            options.intra_op_num_threads = cpu_threads()
            options.inter_op_num_threads = 1
            self._session = onnxruntime.InferenceSession(self.graph, options, providers=["CPUExecutionProvider"])
        return tuple(self._session.run(None, {"planes": np.ascontiguousarray(planes, dtype=np.float32)}))

    def __call__(self, planes: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        log_policy, shares, movers = self.reply(check_planes(planes))
        return served(log_policy, shares, movers, self.value_convention)


def served(log_policy: np.ndarray, shares: np.ndarray, movers: np.ndarray,
           value_convention: str) -> tuple[np.ndarray, np.ndarray]:
    """The reply to the module from a serving graph's outputs; ValueError for planes naming no single mover."""
    check_one_mover(movers)
    return np.asarray(log_policy, dtype=np.float32), serve_values(shares, value_convention)
