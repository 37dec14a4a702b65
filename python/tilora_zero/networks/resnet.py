"""The residual network (PyTorch) and its checkpoints.

Input: the module's five planes plus a constant plane of ones, so that the
zero padding of the convolutions tells the board's edge from an empty cell.
Output: 400 policy logits, with illegal cells (plane 4 = 0) pushed far down,
and four value logits in the mover's frame (value k for the seat of plane k);
their softmax is the expected payoff share of each seat.

A checkpoint is a `torch.save` dictionary of plain types and tensors:

    format        "tilora-zero-checkpoint"
    version       1
    architecture  {"blocks": int, "channels": int, "value_channels": int, "value_hidden": int,
                   "value_relu": bool, "value_counts": bool}  (a checkpoint without value_channels,
                   value_hidden and value_relu has the legacy head; without value_counts, no counts)
    state_dict    the model's parameters and buffers
    value_convention  the convention served by default (see tilora_zero.networks.base)
    metadata      free-form (generation, training steps, ...)
"""
from __future__ import annotations

import pickle
import warnings
from pathlib import Path
from typing import Any

import numpy as np
import torch
from torch import nn
from torch.nn import functional as F

from ..board import BOARD_CELLS, LEGAL_PLANE, PLANES, PLAYERS
from . import exported
from .counts import COUNT_FEATURES, seat_counts
from .base import (DEFAULT_VALUE_CONVENTION, ILLEGAL_LOGIT, LEGACY_VALUE_HEAD, VALUE_HEAD_CHANNELS,
                   VALUE_HEAD_HIDDEN, VALUE_HEAD_RELU, check_planes, check_value_convention)
from .serving_graph import ServingGraph, export_graph

CHECKPOINT_FORMAT = "tilora-zero-checkpoint"
CHECKPOINT_VERSION = 1
# torch.save writes a zip archive; every such file starts with a zip entry's signature.
_ZIP_MAGIC = b"PK\x03\x04"
POLICY_HEAD_CHANNELS = 2
VALUE_FEATURE_LAYERS = 4  # the value head's convolution, batch norm, ReLU and flattening, before its dense layers


class ResidualBlock(nn.Module):
    def __init__(self, channels: int):
        super().__init__()
        self.conv1 = nn.Conv2d(channels, channels, 3, padding=1, bias=False)
        self.bn1 = nn.BatchNorm2d(channels)
        self.conv2 = nn.Conv2d(channels, channels, 3, padding=1, bias=False)
        self.bn2 = nn.BatchNorm2d(channels)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        y = F.relu(self.bn1(self.conv1(x)))
        y = self.bn2(self.conv2(y))
        return F.relu(x + y)


class TiloraNet(nn.Module):
    """A stem, `blocks` residual blocks of `channels`, a policy head and a value head.

    The value head reduces the tower to `value_channels` planes, then maps them to the four value
    logits through a hidden layer of `value_hidden` units (passed through a ReLU when `value_relu`),
    or directly when it is 0. With `value_counts` the first of those layers also reads the counts of
    :mod:`.counts`, computed from the planes and standardised by a batch norm without parameters."""

    def __init__(self, blocks: int = 6, channels: int = 64, value_channels: int = VALUE_HEAD_CHANNELS,
                 value_hidden: int = VALUE_HEAD_HIDDEN, value_relu: bool = VALUE_HEAD_RELU,
                 value_counts: bool = False):
        super().__init__()
        if not (isinstance(blocks, int) and blocks >= 0):
            raise ValueError(f"blocks must be a non-negative integer, got {blocks!r}")
        if not (isinstance(channels, int) and channels >= 1):
            raise ValueError(f"channels must be a positive integer, got {channels!r}")
        if not (isinstance(value_channels, int) and value_channels >= 1):
            raise ValueError(f"value_channels must be a positive integer, got {value_channels!r}")
        if not (isinstance(value_hidden, int) and value_hidden >= 0):
            raise ValueError(f"value_hidden must be a non-negative integer, got {value_hidden!r}")
        self.blocks = blocks
        self.channels = channels
        self.value_channels = value_channels
        self.value_hidden = value_hidden
        self.value_relu = bool(value_relu)
        self.value_counts = bool(value_counts)
        features = value_channels * BOARD_CELLS + (COUNT_FEATURES if self.value_counts else 0)
        if self.value_counts:
            # Standardises the counts: raw, they sit far from zero with small spreads (free cells near 4,
            # products near 16), a regression gradient steps cannot solve in a few thousand steps.
            self.counts_norm = nn.BatchNorm1d(COUNT_FEATURES, affine=False)
        if value_hidden:
            to_logits = [nn.Linear(features, value_hidden), *([nn.ReLU()] if value_relu else []),
                         nn.Linear(value_hidden, PLAYERS)]
        else:
            to_logits = [nn.Linear(features, PLAYERS)]
        self.stem = nn.Sequential(
            nn.Conv2d(PLANES + 1, channels, 3, padding=1, bias=False), nn.BatchNorm2d(channels), nn.ReLU()
        )
        self.tower = nn.Sequential(*[ResidualBlock(channels) for _ in range(blocks)])
        self.policy_head = nn.Sequential(
            nn.Conv2d(channels, POLICY_HEAD_CHANNELS, 1, bias=False),
            nn.BatchNorm2d(POLICY_HEAD_CHANNELS),
            nn.ReLU(),
            nn.Flatten(),
            nn.Linear(POLICY_HEAD_CHANNELS * BOARD_CELLS, BOARD_CELLS),
        )
        self.value_head = nn.Sequential(
            nn.Conv2d(channels, value_channels, 1, bias=False),
            nn.BatchNorm2d(value_channels),
            nn.ReLU(),
            nn.Flatten(),
            *to_logits,
        )

    @property
    def architecture(self) -> dict[str, int]:
        return {"blocks": self.blocks, "channels": self.channels, "value_channels": self.value_channels,
                "value_hidden": self.value_hidden, "value_relu": self.value_relu, "value_counts": self.value_counts}

    def forward(self, planes: torch.Tensor) -> tuple[torch.Tensor, torch.Tensor]:
        """planes float [B, 5, 20, 20] -> (policy logits [B, 400], mover-frame value logits [B, 4])."""
        ones = torch.ones_like(planes[:, :1])
        x = self.tower(self.stem(torch.cat([planes, ones], dim=1)))
        legal = planes[:, LEGAL_PLANE].reshape(-1, BOARD_CELLS)
        policy = self.policy_head(x).masked_fill(legal == 0, ILLEGAL_LOGIT)
        if not self.value_counts:
            return policy, self.value_head(x)
        features = self.value_head[:VALUE_FEATURE_LAYERS](x)
        counts = self.counts_norm(seat_counts(planes))
        return policy, self.value_head[VALUE_FEATURE_LAYERS:](torch.cat([features, counts], dim=1))


def save_checkpoint(
    path: str | Path,
    model: TiloraNet,
    metadata: dict[str, Any] | None = None,
    value_convention: str = DEFAULT_VALUE_CONVENTION,
) -> Path:
    """Writes the model with its architecture; atomic (temporary name, then rename)."""
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    state = {k: v.detach().cpu() for k, v in model.state_dict().items()}
    payload = {
        "format": CHECKPOINT_FORMAT,
        "version": CHECKPOINT_VERSION,
        "architecture": model.architecture,
        "state_dict": state,
        "value_convention": check_value_convention(value_convention),
        "metadata": dict(metadata or {}),
    }
    temporary = path.with_name(f".{path.name}.tmp")
    torch.save(payload, temporary)
    temporary.replace(path)
    return path


def read_checkpoint(path: str | Path) -> dict[str, Any]:
    """The checkpoint dictionary; FileNotFoundError / ValueError with a one-line cause otherwise."""
    path = Path(path)
    if not path.is_file():
        raise FileNotFoundError(f"network checkpoint not found: {path}")

    def refused(reason: str) -> ValueError:
        return ValueError(f"{path} is not a tilora-zero network checkpoint: {reason}")

    with path.open("rb") as file:
        head = file.read(len(_ZIP_MAGIC))
    if not head:
        raise refused("the file is empty")
    if head != _ZIP_MAGIC:
        raise refused("it was not written by torch.save")
    try:
        with warnings.catch_warnings():  # torch's own advice (load untrusted pickles) does not apply here
            warnings.simplefilter("ignore")
            payload = torch.load(path, map_location="cpu", weights_only=True)
    except pickle.UnpicklingError as error:
        raise refused("it holds pickled Python objects (a whole model?), where a checkpoint holds only "
                      "tensors and plain values") from error
    except Exception as error:
        raise refused("it is damaged or truncated, or was not written by torch.save") from error
    if not isinstance(payload, dict) or payload.get("format") != CHECKPOINT_FORMAT:
        raise refused("torch.save wrote it, but not as a checkpoint of this toolkit (no 'format' entry)")
    if payload.get("version") != CHECKPOINT_VERSION:
        raise ValueError(f"{path}: unsupported checkpoint version {payload.get('version')!r}")
    return payload


def value_head(architecture: dict[str, Any]) -> dict[str, Any]:
    """The value head's settings in an architecture record: the legacy head's where it has none."""
    return {name: type(legacy)(architecture.get(name, legacy)) for name, legacy in LEGACY_VALUE_HEAD.items()}


def load_model(path: str | Path) -> tuple[TiloraNet, dict[str, Any]]:
    """The model (CPU, eval mode) built from the checkpoint's own architecture, and the checkpoint."""
    payload = read_checkpoint(path)
    architecture = payload.get("architecture") or {}
    try:
        model = TiloraNet(int(architecture["blocks"]), int(architecture["channels"]), **value_head(architecture),
                          value_counts=bool(architecture.get("value_counts", False)))
        model.load_state_dict(payload["state_dict"])
    except (KeyError, TypeError, RuntimeError) as error:
        cause = " ".join(str(error).split())  # load_state_dict lists the keys over several lines
        raise ValueError(f"{path}: checkpoint does not match its recorded architecture: {cause}") from error
    model.eval()
    return model, payload


def model_name(model: TiloraNet) -> str:
    """resnet-BxC, then the value head unless it is the legacy head: its planes, its hidden units
    if any, r if they pass a ReLU (resnet-3x16v8h1: eight planes, one linear score), c if it reads the
    counts."""
    arch = model.architecture
    head = value_head(arch)
    name = f"resnet-{arch['blocks']}x{arch['channels']}"
    if head != LEGACY_VALUE_HEAD:
        name += f"v{head['value_channels']}" + (f"h{head['value_hidden']}" if head["value_hidden"] else "")
        name += "r" if head["value_hidden"] and head["value_relu"] else ""
    return name + ("c" if arch.get("value_counts") else "")


def resolve_device(device: str) -> torch.device:
    try:
        resolved = torch.device(device)
    except RuntimeError as error:
        raise ValueError(f"unknown device {device!r}: {error}") from error
    if resolved.type == "cuda" and not torch.cuda.is_available():
        raise ValueError(f"device {device!r} requested but CUDA is not available")
    return resolved


class TorchNetwork:
    """Serves a TiloraNet to the module: legal-cell log-probabilities and absolute-order values.

    It serves the model's serving graph (:mod:`.serving_graph`): on the CPU through ONNX Runtime when
    onnx and onnxruntime are installed (:attr:`exported`, an :class:`~.exported.ExportedNetwork`),
    else through torch."""

    def __init__(
        self,
        model: nn.Module,
        device: str = "cpu",
        value_convention: str = DEFAULT_VALUE_CONVENTION,
        name: str | None = None,
    ):
        self.device = resolve_device(device)
        self.model = model.to(self.device).eval()
        self.value_convention = check_value_convention(value_convention)
        self.name = name or model_name(model)
        self.graph = ServingGraph(self.model).to(self.device)  # its own tables too
        self.exported: exported.ExportedNetwork | None = None
        if self.device.type == "cpu" and exported.available():
            self.exported = exported.ExportedNetwork(export_graph(self.model), self.name, self.value_convention)

    @classmethod
    def from_checkpoint(
        cls, path: str | Path, device: str = "cpu", value_convention: str | None = None
    ) -> "TorchNetwork":
        model, payload = load_model(path)
        convention = value_convention or payload.get("value_convention", DEFAULT_VALUE_CONVENTION)
        return cls(model, device, convention, name=f"{model_name(model)}:{Path(path).name}")

    def reply(self, planes: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """The serving graph's outputs (log_policy, absolute shares, movers) for a batch of planes."""
        batch = check_planes(planes)
        if self.exported is not None:
            return self.exported.reply(batch)
        with torch.inference_mode():
            outputs = self.graph(torch.from_numpy(np.ascontiguousarray(batch)).to(self.device))
        return tuple(out.float().cpu().numpy() for out in outputs)

    def __call__(self, planes: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        return exported.served(*self.reply(planes), self.value_convention)
