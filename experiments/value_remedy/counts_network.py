"""The least-squares counts model of experiments/playout_fit, served as a network.

It predicts the mover-frame 16-playout mean from each seat's tiles, open corners and free cells, the
mover's legal cells and their pairwise products (playout_fit's counts_design), clipped to [0, 1]
(least squares can leave the interval, a payoff share cannot), and serves it in absolute player order
on the payoff-share scale the PUCT search reads, with equal logits: a seat plays it with equal priors.
"""
from __future__ import annotations

import functools
import runpy
import types
from pathlib import Path

import numpy as np

from tilora_zero.board import BOARD_CELLS
from tilora_zero.board.frames import mover_to_absolute, movers_from_planes
from tilora_zero.networks import check_planes

EXPERIMENTS = Path(__file__).resolve().parent.parent


@functools.cache
def load_script(folder: str) -> types.SimpleNamespace:
    """experiments/FOLDER/run.py's definitions (the scripts share a file name, so none can be imported
    by it); its main() is not run."""
    return types.SimpleNamespace(**runpy.run_path(str(EXPERIMENTS / folder / "run.py"), run_name=f"{folder}_run"))


def playout_fit() -> types.SimpleNamespace:
    """experiments/playout_fit/run.py: its counts and fitting code."""
    return load_script("playout_fit")


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
