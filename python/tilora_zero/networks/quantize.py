"""int8 inference on the CPU: a residual network's weights and activation ranges turned into the tables of
the toolkit's own int8 kernels (``_engine.Int8Network``, served by :mod:`.int8`).

Batch norms are folded into the convolutions before rounding. Weights are int8 with one scale an output
channel (the largest magnitude maps to 127); activations are uint8 with one scale a layer, its largest
value on calibration positions mapping to 255. The value head's dense layers stay in float. Needs torch
(the process that reads the checkpoint); the tables are NumPy arrays and plain numbers, so they travel to
the workers that serve them without it.
"""
from __future__ import annotations

import numpy as np

PRECISIONS = ("fp32", "int8")
CALIBRATION_POSITIONS = 1024
_LARGEST_ACTIVATION = 255.0
_LARGEST_WEIGHT = 127.0


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


def _folded(conv, norm) -> tuple[np.ndarray, np.ndarray]:
    """A bias-free convolution followed by an eval-mode batch norm, as one convolution with a bias."""
    factor = (norm.weight / (norm.running_var + norm.eps).sqrt()).detach().double().numpy()
    weights = conv.weight.detach().double().numpy() * factor.reshape(-1, *[1] * (conv.weight.dim() - 1))
    bias = norm.bias.detach().double().numpy() - norm.running_mean.detach().double().numpy() * factor
    return weights, bias


def _int8_weights(weights: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """int8 weights and their scale, one an output (the first axis)."""
    largest = np.abs(weights.reshape(len(weights), -1)).max(axis=1)
    scale = np.where(largest > 0, largest / _LARGEST_WEIGHT, 1.0)
    rounded = np.clip(np.round(weights / scale.reshape(-1, *[1] * (weights.ndim - 1))), -127, 127)
    return rounded.astype(np.int8), scale


def _activation_scale(largest: float) -> float:
    return float(largest / _LARGEST_ACTIVATION) if largest > 0 else 1.0


def _layer(weights: np.ndarray, bias: np.ndarray, input_scale: float) -> tuple:
    quantized, scale = _int8_weights(weights)
    return quantized, (scale * input_scale).astype(np.float32), bias.astype(np.float32)


def _largest_activations(model, planes: np.ndarray, batch: int = 256) -> dict[str, float]:
    """The largest value each activation the int8 tables store takes on `planes`."""
    import torch

    largest: dict[str, float] = {}

    def keep(name: str, tensor) -> None:
        largest[name] = max(largest.get(name, 0.0), float(tensor.max()))

    hooks = [model.stem.register_forward_hook(lambda _m, _i, out: keep("stem", out)),
             model.policy_head[2].register_forward_hook(lambda _m, _i, out: keep("policy", out))]
    for index, block in enumerate(model.tower):
        hooks.append(block.bn1.register_forward_hook(lambda _m, _i, out, i=index: keep(f"middle{i}", out.clamp(min=0))))
        hooks.append(block.register_forward_hook(lambda _m, _i, out, i=index: keep(f"block{i}", out)))
    try:
        with torch.inference_mode():
            for start in range(0, len(planes), batch):
                model(torch.from_numpy(np.ascontiguousarray(planes[start:start + batch])))
    finally:
        for hook in hooks:
            hook.remove()
    return largest


def int8_tables(model, planes: np.ndarray) -> dict:
    """The keyword arguments of ``_engine.Int8Network`` for a TiloraNet (eval mode, on the CPU), its
    activation ranges measured on ``planes``."""
    from torch import nn

    largest = _largest_activations(model, planes)
    stem_weights, stem_bias = _folded(model.stem[0], model.stem[1])
    scale = _activation_scale(largest["stem"])
    tower = [(*_layer(stem_weights, stem_bias, 1.0), scale, None)]  # the planes are 0 or 1
    for index, block in enumerate(model.tower):
        block_scale = scale
        middle = _activation_scale(largest[f"middle{index}"])
        tower.append((*_layer(*_folded(block.conv1, block.bn1), block_scale), middle, None))
        scale = _activation_scale(largest[f"block{index}"])
        tower.append((*_layer(*_folded(block.conv2, block.bn2), middle), scale, block_scale))
    policy_weights, policy_bias = _folded(model.policy_head[0], model.policy_head[1])
    value_weights, value_bias = _folded(model.value_head[0], model.value_head[1])
    heads = _layer(np.concatenate([policy_weights, value_weights]), np.concatenate([policy_bias, value_bias]), scale)
    policy_scale = _activation_scale(largest["policy"])
    dense = model.policy_head[4]
    policy = _layer(dense.weight.detach().double().numpy(), dense.bias.detach().double().numpy(), policy_scale)
    layers = list(model.value_head)
    value = [[layer.weight.detach().double().numpy().copy(), layer.bias.detach().double().numpy().copy(),
              isinstance(follows, nn.ReLU)]
             for layer, follows in zip(layers, [*layers[1:], None]) if isinstance(layer, nn.Linear)]
    if getattr(model, "value_counts", False):  # the counts' standardisation, folded into the layer reading them
        norm = model.counts_norm
        mean = norm.running_mean.detach().double().numpy()
        spread = (norm.running_var.detach().double() + norm.eps).sqrt().numpy()
        weights, bias = value[0][0], value[0][1]
        counted = weights[:, -len(mean):] / spread
        value[0][1] = bias - counted @ mean
        weights[:, -len(mean):] = counted
    value = [(w.astype(np.float32), b.astype(np.float32), relu) for w, b, relu in value]
    return {"tower": tower, "heads": heads, "policy_channels": len(policy_weights),
            "value_channels": len(value_weights), "policy_scale": policy_scale, "policy": policy, "value": value,
            "value_counts": bool(getattr(model, "value_counts", False))}
