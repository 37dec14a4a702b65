"""The least-squares counts model of experiments/playout_fit, served as a network.

It predicts the mover-frame 16-playout mean from each seat's tiles, open corners and free cells, the
mover's legal cells and their pairwise products (playout_fit's counts_design), clipped to [0, 1]
(least squares can leave the interval, a payoff share cannot), and serves it in absolute player order
on the payoff-share scale the PUCT search reads, with equal logits: a seat plays it with equal priors.
"""
from __future__ import annotations

import functools
import importlib.util
from pathlib import Path

import numpy as np

from tilora_zero.frames import BOARD_CELLS, mover_to_absolute, movers_from_planes
from tilora_zero.networks import check_planes

FIT_SCRIPT = Path(__file__).resolve().parent.parent / "playout_fit" / "run.py"


@functools.cache
def playout_fit():
    """experiments/playout_fit/run.py as a module (its counts and fitting code)."""
    spec = importlib.util.spec_from_file_location("playout_fit_run", FIT_SCRIPT)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


class CountsNetwork:
    """net(planes float32[B, 5, 20, 20]) -> (equal logits [B, 400], payoff shares [B, 4], absolute order)."""

    name = "counts-least-squares"
    value_convention = "share"

    def __init__(self, weights: np.ndarray):
        self.weights = np.asarray(weights, dtype=np.float64)  # [183, 4], columns in the mover's frame

    @classmethod
    def load(cls, path: str | Path) -> "CountsNetwork":
        """The network of weights saved by np.save (a picklable factory: functools.partial(load, path))."""
        return cls(np.load(path))

    def __call__(self, planes: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        batch = check_planes(planes)
        shares = np.clip(playout_fit().counts_design(batch) @ self.weights, 0.0, 1.0)
        values = mover_to_absolute(shares, movers_from_planes(batch)).astype(np.float32)
        return np.zeros((len(batch), BOARD_CELLS), dtype=np.float32), values
