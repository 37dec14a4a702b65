"""What a residual network serves, as one graph: the network and everything a reply needs after it.

The module reads log-probabilities over the legal cells and each player's value in absolute player
order. Doing that after the network (a log-softmax, a mask, a softmax, finding the mover and turning the
values round) cost a sixth of a worker's time in torch and NumPy calls on small batches; as part of the
graph it costs a few microseconds a batch. The same module serves on a GPU through torch and on the
CPU through ONNX Runtime (:func:`export_graph`, :mod:`.exported`), so both compute one thing.

Outputs, for planes float32[B, 5, 20, 20]:

    log_policy  float32[B, 400]  log-probabilities, ILLEGAL_LOGIT on the cells the mover cannot lay
    shares      float32[B, 4]    expected payoff shares in absolute player order
    movers      float32[B]       how many seats the planes name as the mover; anything but 1 is no position
"""
from __future__ import annotations

import io
import warnings

import torch
from torch import nn

from ..board import BOARD_CELLS, BOARD_SIDE, LEGAL_PLANE, OWN_PLANE, PLANES, PLAYERS, START_CORNERS
from .base import ILLEGAL_LOGIT

OUTPUTS = ("log_policy", "shares", "movers")


def _turning() -> torch.Tensor:
    """turning[c, p, k] = 1 where player p is the seat of plane k when c moves (board.frames)."""
    turning = torch.zeros(PLAYERS, PLAYERS, PLAYERS)
    for mover in range(PLAYERS):
        for player in range(PLAYERS):
            turning[mover, player, (player - mover + 1) % PLAYERS] = 1.0
    return turning


class ServingGraph(nn.Module):
    """A network (a TiloraNet, or any module with its outputs: policy logits [B, 400] and mover-frame
    value logits [B, 4]) with its reply made: see the module's docstring."""

    def __init__(self, model: nn.Module):
        super().__init__()
        self.model = model
        self.register_buffer("corners", torch.as_tensor(START_CORNERS, dtype=torch.long), persistent=False)
        self.register_buffer("turning", _turning().reshape(PLAYERS, PLAYERS * PLAYERS), persistent=False)
        # Serving only: the exporter puts a module back in the mode it found it in, and a graph left in
        # training mode would turn the network's batch norms to batch statistics.
        self.eval()

    def forward(self, planes: torch.Tensor) -> tuple[torch.Tensor, torch.Tensor, torch.Tensor]:
        policy, value = self.model(planes)
        flat = planes.reshape(-1, PLANES, BOARD_CELLS)
        legal = flat[:, LEGAL_PLANE]
        log_policy = torch.log_softmax(policy, dim=1).masked_fill(legal == 0, ILLEGAL_LOGIT)
        # The mover's start corner is covered on its own plane or, before its first piece is down, legal.
        marks = ((flat[:, OWN_PLANE].index_select(1, self.corners) != 0)
                 | (legal.index_select(1, self.corners) != 0)).float()
        turning = (marks @ self.turning).reshape(-1, PLAYERS, PLAYERS)
        shares = (turning @ torch.softmax(value, dim=1).unsqueeze(2)).squeeze(2)
        return log_policy, shares, marks.sum(dim=1)


def export_graph(model: nn.Module) -> bytes:
    """The serving graph of `model` (on the CPU, in eval mode) as an ONNX model, for any batch size."""
    graph = ServingGraph(model)
    buffer = io.BytesIO()
    example = torch.zeros(2, PLANES, BOARD_SIDE, BOARD_SIDE)
    # The exporter warns about its own future (the tracing exporter's deprecation), not about the graph.
    with torch.no_grad(), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        torch.onnx.export(graph, (example,), buffer, input_names=["planes"], output_names=list(OUTPUTS),
                          dynamic_axes={name: {0: "batch"} for name in ("planes", *OUTPUTS)}, dynamo=False)
    return buffer.getvalue()
