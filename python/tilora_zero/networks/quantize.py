"""int8 inference on the CPU: a serving graph quantised by ONNX Runtime, calibrated on real positions.

Static quantisation in the QDQ format: weights int8 per output channel, activations uint8 with ranges
measured on real positions (min-max). On this machine (AVX-512 VNNI) the 3 x 16 network ran about
1.2 times as fast as in float32, with its outputs moved a little (docs/toolkit.md, Speed); so int8 is an
option (``ServedNetwork(precision="int8")``, ``--precision int8``), not the default.
"""
from __future__ import annotations

import tempfile
from pathlib import Path

import numpy as np

PRECISIONS = ("fp32", "int8")
CALIBRATION_POSITIONS = 1024


def check_precision(precision: str) -> str:
    if precision not in PRECISIONS:
        raise ValueError(f"unknown precision {precision!r}; expected one of {', '.join(PRECISIONS)}")
    return precision


def calibration_planes(count: int = CALIBRATION_POSITIONS, seed: int = 0) -> np.ndarray:
    """float32 planes [count, 5, 20, 20] to calibrate on: positions of games played by uniformly random
    moves. Calibrated on them or on a network's own self-play positions, the 3 x 16 network's int8 outputs
    moved alike on held-out self-play positions (docs/toolkit.md, Speed)."""
    from .. import _engine

    rng = np.random.default_rng(seed)
    taken: list[np.ndarray] = []
    while len(taken) < count:
        game = _engine.Game()
        while not game.is_over:
            taken.append(np.asarray(game.planes(), dtype=np.float32))
            game.apply(int(rng.choice(game.legal_tiles())))
    chosen = rng.choice(len(taken), size=count, replace=False)
    return np.stack([taken[i] for i in np.sort(chosen)])


def quantize_graph(graph: bytes, planes: np.ndarray, batch: int = 64) -> bytes:
    """The int8 graph of a float32 serving graph, its activation ranges measured on ``planes``."""
    from onnxruntime.quantization import (CalibrationDataReader, CalibrationMethod, QuantFormat, QuantType,
                                          quantize_static)
    from onnxruntime.quantization.shape_inference import quant_pre_process

    class Positions(CalibrationDataReader):
        def __init__(self) -> None:
            self._batches = iter(range(0, len(planes), batch))

        def get_next(self) -> dict | None:
            start = next(self._batches, None)
            return None if start is None else {"planes": np.ascontiguousarray(planes[start:start + batch])}

    with tempfile.TemporaryDirectory(prefix="tilora-int8-") as folder:
        plain, prepared, quantized = (Path(folder) / name for name in ("plain.onnx", "prepared.onnx", "int8.onnx"))
        plain.write_bytes(graph)
        quant_pre_process(str(plain), str(prepared))
        quantize_static(str(prepared), str(quantized), Positions(), quant_format=QuantFormat.QDQ, per_channel=True,
                        activation_type=QuantType.QUInt8, weight_type=QuantType.QInt8,
                        op_types_to_quantize=["Conv", "MatMul", "Gemm"], calibrate_method=CalibrationMethod.MinMax)
        return quantized.read_bytes()
