"""Running a TiloraNet with ONNX Runtime on the CPU.

On this kind of machine ONNX Runtime evaluates the small residual networks at
about 95% of the rate a large matrix product reaches on the same threads, 1.2
to 3 times eager torch (bench/inference_bench.py, docs/learning.md), with
results equal within float rounding (differences below 1e-6). TorchNetwork
uses it for CPU inference when onnxruntime and onnx are installed.
"""
from __future__ import annotations

import io
import warnings

import numpy as np

from ..board import BOARD_SIDE, PLANES


def available() -> bool:
    try:
        import onnx  # noqa: F401  (the exporter needs it)
        import onnxruntime  # noqa: F401
    except ImportError:
        return False
    return True


class OnnxRunner:
    """The model's forward pass, exported once; the session is made at the first call, with the torch
    thread count then in force (a worker limits its threads after building its network)."""

    def __init__(self, model):
        import torch

        buffer = io.BytesIO()
        example = torch.zeros(2, PLANES, BOARD_SIDE, BOARD_SIDE)
        # The exporter warns about its own future (the tracing exporter's deprecation), not about the graph.
        with torch.no_grad(), warnings.catch_warnings():
            warnings.simplefilter("ignore")
            torch.onnx.export(model, (example,), buffer, input_names=["planes"], output_names=["policy", "value"],
                              dynamic_axes={"planes": {0: "batch"}, "policy": {0: "batch"}, "value": {0: "batch"}},
                              dynamo=False)
        self._graph = buffer.getvalue()
        self._session = None

    def __call__(self, planes: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """float32 [B, 5, 20, 20] -> (policy logits [B, 400], mover-frame value logits [B, 4])."""
        if self._session is None:
            import onnxruntime
            import torch

            options = onnxruntime.SessionOptions()
            options.intra_op_num_threads = torch.get_num_threads()
            options.inter_op_num_threads = 1
            self._session = onnxruntime.InferenceSession(self._graph, options, providers=["CPUExecutionProvider"])
        policy, value = self._session.run(None, {"planes": np.ascontiguousarray(planes, dtype=np.float32)})
        return policy, value
