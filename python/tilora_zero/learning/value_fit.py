"""A value head fitted in one solve instead of trained by gradient steps.

Trained beside the policy, value heads explained at most a ninth of what random-playout means hold on
held-out positions, and a head started from the fit below lost a third of it again within 3,000 steps; the
softmax regression on the counts of :mod:`..networks.counts`, solved outright, explained a third, and the
search valuing its leaves by it alone was worth a playout at equal CPU (docs/learning.md). The fit is
convex (soft cross-entropy of a linear map of the standardised counts), so full-batch L-BFGS finds it, and
the counts do not turn with the board, so no rotation is needed.

:func:`fit_counts_value` writes that fit into a network built with ``value_counts``: the counts' standardising
statistics measured on the positions, the tower's planes weighted 0, and a hidden layer (if any) passing the
four scores through.
"""
from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from ..board import BOARD_SIDE, PLANES, PLAYERS

# Positions one fit reads at most (a random sample of the rest): the fit has 4 x 183 weights, and a
# window of self-play holds hundreds of thousands of positions (docs/learning.md: the fit's time).
FIT_POSITIONS = 65_536
MAX_ITERATIONS = 200
_CHUNK = 4096


@dataclass(frozen=True)
class ValueFit:
    """What a fit reached on the positions it read: its mean cross-entropy (without the weights' penalty), that
    of the constant prediction of the targets' mean, the positions, and L-BFGS's iterations (MAX_ITERATIONS:
    stopped before it converged)."""
    loss: float
    constant_loss: float
    positions: int
    iterations: int


# How a value head comes to be: trained with the policy by gradient steps, or then replaced by the fit.
VALUE_FITS = ("trained", "counts")


def unfittable(architecture: dict) -> str | None:
    """Why a network of ``architecture`` (TiloraNet.architecture) cannot hold the counts' fit, or None."""
    if not architecture.get("value_counts", False):
        return "its value head does not read the counts (value_counts)"
    hidden, relu = architecture.get("value_hidden", 0), architecture.get("value_relu", False)
    if 0 < hidden < PLAYERS or (hidden and relu):
        return (f"its value head needs value hidden 0 or at least {PLAYERS}, without a ReLU, not {hidden}"
                + (" with a ReLU" if hidden and relu else ""))
    return None


def fit_counts_value(model, planes: np.ndarray, targets: np.ndarray, l2: float = 1e-4,
                     max_positions: int = FIT_POSITIONS, seed: int = 0) -> ValueFit:
    """Replaces ``model``'s value head by the softmax regression of ``targets`` (mover's frame, each row a
    distribution over the four seats) on the standardised counts of ``planes`` ([N, 5, 20, 20]).

    ``l2`` weighs the squared weights (not the biases) against the mean cross-entropy. ValueError when the
    head cannot hold the fit (:func:`unfittable`) or the arrays do not pair up."""
    import torch
    from torch.nn import functional as F

    from ..networks.counts import seat_counts
    from .training import constant_value_loss

    reason = unfittable(model.architecture)
    if reason:
        raise ValueError(f"cannot fit the counts' values into this network: {reason}")
    planes, targets = np.asarray(planes), np.asarray(targets, dtype=np.float64)
    if planes.ndim < 2 or int(np.prod(planes.shape[1:])) != PLANES * BOARD_SIDE * BOARD_SIDE:
        raise ValueError(f"expected positions of {PLANES} planes of {BOARD_SIDE} x {BOARD_SIDE}, got an array "
                         f"of shape {planes.shape}")
    planes = planes.reshape(len(planes), PLANES, BOARD_SIDE, BOARD_SIDE)
    if len(planes) == 0 or len(planes) != len(targets) or targets.shape[1:] != (PLAYERS,):
        raise ValueError(f"expected as many [{PLAYERS}] value targets as positions, got {targets.shape} "
                         f"for {len(planes)} positions")
    if len(planes) > max_positions:
        index = np.sort(np.random.default_rng(seed).choice(len(planes), size=max_positions, replace=False))
        planes, targets = planes[index], targets[index]
    with torch.no_grad():
        raw = torch.cat([seat_counts(torch.from_numpy(planes[i:i + _CHUNK].astype(np.float32))).double()
                         for i in range(0, len(planes), _CHUNK)])
        mean, var = raw.mean(dim=0), raw.var(dim=0, unbiased=False)
        norm = model.counts_norm
        norm.running_mean.copy_(mean.float())
        norm.running_var.copy_(var.float())
        x = (raw - mean) / torch.sqrt(var + norm.eps)
    target = torch.from_numpy(targets)
    weight = torch.zeros(x.shape[1], PLAYERS, dtype=torch.float64, requires_grad=True)
    bias = torch.zeros(PLAYERS, dtype=torch.float64, requires_grad=True)
    optimiser = torch.optim.LBFGS([weight, bias], max_iter=MAX_ITERATIONS, line_search_fn="strong_wolfe")

    def cross_entropy() -> torch.Tensor:
        return -(target * F.log_softmax(x @ weight + bias, dim=1)).sum(dim=1).mean()

    def closure() -> torch.Tensor:
        optimiser.zero_grad()
        loss = cross_entropy() + l2 * weight.square().sum()
        loss.backward()
        return loss

    optimiser.step(closure)
    iterations = int(optimiser.state[weight].get("n_iter", 0))
    with torch.no_grad():
        loss = float(cross_entropy())
        layers = [m for m in model.value_head if isinstance(m, torch.nn.Linear)]
        first = layers[-2] if model.value_hidden else layers[-1]
        planes_in = first.in_features - x.shape[1]
        first.weight.zero_()
        first.bias.zero_()
        first.weight[:PLAYERS, planes_in:] = weight.T.float()
        first.bias[:PLAYERS] = bias.float()
        if model.value_hidden:  # the first four units pass the scores through, the others are silent
            layers[-1].weight.zero_()
            layers[-1].weight[:, :PLAYERS] = torch.eye(PLAYERS)
            layers[-1].bias.zero_()
    return ValueFit(loss, constant_value_loss(targets), len(planes), iterations)
