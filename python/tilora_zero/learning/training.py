"""Training the residual network on self-play positions.

Losses, per position:
    policy  cross-entropy of the visit shares against the policy (legal cells only)
    value   soft-target cross-entropy of the payoff (mover's frame, already a
            distribution over the four seats) against the softmax of the value logits
plus weight decay (AdamW). Beside the value loss the metrics carry the value
loss of a constant predictor, the mean payoff per seat of the training data:
a network that does not beat it has learnt nothing about positions.
"""
from __future__ import annotations

import json
import time
from pathlib import Path
from typing import Callable

import numpy as np
import torch
from torch.nn import functional as F

from ..board import BOARD_CELLS, BOARD_SIDE, PLANES
from ..board.symmetry import random_rotations, transform_cell_arrays
from ..data.dataset import Dataset
from ..networks.resnet import TiloraNet
from ..settings import TrainSettings

# Keeps log(mean share) finite for a seat that never scored in the data.
_MIN_SHARE = 1e-6


def policy_value_losses(
    model: TiloraNet, planes: torch.Tensor, policies: torch.Tensor, values: torch.Tensor
) -> tuple[torch.Tensor, torch.Tensor]:
    """Mean policy and value cross-entropies of a batch (planes float, targets float).

    The policy's mean is over the positions a search chose the move in: a move that was not searched
    (an all-zero policy row) has no policy target."""
    policy_logits, value_logits = model(planes)
    per_position = -(policies * F.log_softmax(policy_logits, dim=1)).sum(dim=1)
    searched = (policies.sum(dim=1) > 0).sum().clamp(min=1)
    policy_loss = per_position.sum() / searched
    value_loss = -(values * F.log_softmax(value_logits, dim=1)).sum(dim=1).mean()
    return policy_loss, value_loss


def constant_value_loss(values: np.ndarray) -> float:
    """The value loss of always predicting the data's mean payoff per seat (mover's frame)."""
    values = np.asarray(values, dtype=np.float64)
    if len(values) == 0:
        return float("nan")
    mean = np.maximum(values.mean(axis=0), _MIN_SHARE)
    return float(-(values * np.log(mean)).sum(axis=1).mean())


def choice_positions(data: Dataset) -> np.ndarray:
    """The positions whose policy target chooses: two or more cells with a share."""
    return np.flatnonzero(np.count_nonzero(data.policies, axis=1) >= 2)


def sample_batch(
    data: Dataset, size: int, rng: np.random.Generator, augment: bool,
    choices: np.ndarray | None = None, choice_share: float = 0.0,
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """A batch of ``size`` positions, ``choice_share`` of it drawn from ``choices`` (choice_positions)."""
    drawn = round(size * choice_share) if choices is not None and len(choices) else 0
    index = np.concatenate([choices[rng.integers(0, len(choices), size=drawn)] if drawn else
                            np.empty(0, dtype=np.int64), rng.integers(0, len(data), size=size - drawn)])
    planes = data.planes[index].reshape(size, PLANES, BOARD_CELLS)
    policies = data.policies[index]
    if augment:
        turns = random_rotations(size, rng)
        planes = transform_cell_arrays(planes, turns)
        policies = transform_cell_arrays(policies, turns)
    return planes.reshape(size, PLANES, BOARD_SIDE, BOARD_SIDE), policies, data.values[index]


def learning_rate_at(step: int, settings: TrainSettings) -> float:
    progress = step / max(1, settings.steps - 1)
    floor = settings.final_lr_fraction
    return settings.learning_rate * (floor + (1 - floor) * 0.5 * (1 + np.cos(np.pi * progress)))


def train(
    model: TiloraNet,
    data: Dataset,
    settings: TrainSettings,
    device: str = "cpu",
    on_metrics: Callable[[dict], None] | None = None,
    progress: bool = True,
) -> list[dict]:
    """Trains `model` in place for `settings.steps` steps; returns the logged metrics."""
    if len(data) == 0:
        raise ValueError("no training positions")
    rng = np.random.default_rng(settings.seed)
    if settings.seed is not None:
        torch.manual_seed(settings.seed)
    model.to(device).train()
    optimiser = torch.optim.AdamW(
        model.parameters(), lr=settings.learning_rate, weight_decay=settings.weight_decay
    )
    baseline = constant_value_loss(data.values)
    choices = choice_positions(data) if settings.choice_share > 0 else None
    metrics: list[dict] = []
    sums = np.zeros(2)
    count = 0
    start = time.monotonic()
    bar = None
    if progress:
        from tqdm import tqdm

        bar = tqdm(total=settings.steps, desc="train", unit="step", dynamic_ncols=True)
    try:
        for step in range(settings.steps):
            rate = learning_rate_at(step, settings)
            for group in optimiser.param_groups:
                group["lr"] = rate
            planes, policies, values = sample_batch(data, settings.batch_size, rng, settings.augment, choices,
                                                    settings.choice_share)
            policy_loss, value_loss = policy_value_losses(
                model,
                torch.from_numpy(planes.astype(np.float32)).to(device),
                torch.from_numpy(policies).to(device),
                torch.from_numpy(values).to(device),
            )
            loss = policy_loss + value_loss
            optimiser.zero_grad(set_to_none=True)
            loss.backward()
            optimiser.step()
            sums += (policy_loss.item(), value_loss.item())
            count += 1
            if bar is not None:
                bar.update(1)
            if count == settings.log_every or step == settings.steps - 1:
                entry = {
                    "step": step + 1,
                    "policy_loss": sums[0] / count,
                    "value_loss": sums[1] / count,
                    "constant_value_loss": baseline,
                    "loss": (sums[0] + sums[1]) / count,
                    "learning_rate": rate,
                    "positions_seen": (step + 1) * settings.batch_size,
                    "wall_time": time.monotonic() - start,
                }
                metrics.append(entry)
                if on_metrics is not None:
                    on_metrics(entry)
                if bar is not None:
                    bar.set_postfix(policy=f"{entry['policy_loss']:.3f}", value=f"{entry['value_loss']:.3f}")
                sums[:] = 0
                count = 0
    finally:
        if bar is not None:
            bar.close()
        model.eval()
    return metrics


class MetricsWriter:
    """Appends one JSON object per line to a file, flushing each line."""

    def __init__(self, path: str | Path, extra: dict | None = None):
        self.path = Path(path)
        self.path.parent.mkdir(parents=True, exist_ok=True)
        self.extra = dict(extra or {})

    def __call__(self, entry: dict) -> None:
        with self.path.open("a") as handle:
            handle.write(json.dumps({**self.extra, **entry}) + "\n")


def read_metrics(path: str | Path) -> list[dict]:
    path = Path(path)
    if not path.exists():
        return []
    return [json.loads(line) for line in path.read_text().splitlines() if line.strip()]


def loss_figure(metrics: list[dict], title: str = "training losses"):
    """The policy and value losses (and the constant predictor's) per step, as a matplotlib figure. Each
    logged point is marked, so a short run's few points show too."""
    from matplotlib.figure import Figure

    fig = Figure(figsize=(10, 4))
    left, right = fig.subplots(1, 2)
    x = [m.get("positions_seen", m["step"]) for m in metrics]
    left.plot(x, [m["policy_loss"] for m in metrics], marker="o", markersize=3, label="policy")
    left.set_xlabel("positions seen")
    left.set_ylabel("cross-entropy")
    left.set_title("policy loss")
    right.plot(x, [m["value_loss"] for m in metrics], marker="o", markersize=3, label="network")
    right.plot(x, [m["constant_value_loss"] for m in metrics], "--", marker="o", markersize=3,
               label="constant (mean payoff)")
    right.set_xlabel("positions seen")
    right.set_title("value loss")
    right.legend()
    fig.suptitle(title)
    fig.tight_layout()
    return fig


def plot_losses(metrics: list[dict], path: str | Path, title: str = "training losses") -> Path:
    """A PNG of :func:`loss_figure`."""
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    loss_figure(metrics, title).savefig(path, dpi=100)
    return path

