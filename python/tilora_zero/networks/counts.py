"""Counts a value head may read beside the tower, computed from the input planes inside the network.

A least-squares fit of random-playout means on a few counts read off the planes (each seat's tiles, open
corners and free cells, the mover's legal cells, and their pairwise products) explained three times as
much of them as the value heads trained on the same positions (docs/learning.md, playout fit). A network
built with ``value_counts`` gives its value layers those same columns, so that the fit is a part of it and
the tower only has to add what the counts miss. The int8 kernels compute the same numbers in C++.

Seat order is the tile planes' (the mover's frame, :mod:`tilora_zero.board`).
"""
from __future__ import annotations

import torch
from torch.nn import functional as F

from ..board import LEGAL_PLANE, PLAYERS

COUNTS = 3 * PLAYERS + 1
COUNT_FEATURES = COUNTS + COUNTS * COUNTS
# The four cells beside a cell, and the four diagonal to it.
_BESIDE = torch.tensor([[0, 1, 0], [1, 0, 1], [0, 1, 0]], dtype=torch.float32).reshape(1, 1, 3, 3)
_DIAGONAL = torch.tensor([[1, 0, 1], [0, 0, 0], [1, 0, 1]], dtype=torch.float32).reshape(1, 1, 3, 3)


def corner_and_free_planes(planes: torch.Tensor) -> torch.Tensor:
    """[B, 8, 20, 20]: each seat's open corners (empty cells diagonal to its tiles and beside none of them:
    where its next piece may start), then its free cells (empty and beside none of its tiles: the room it
    may still fill), in the tile planes' seat order."""
    tiles = planes[:, :PLAYERS]
    empty = 1.0 - tiles.sum(dim=1, keepdim=True)
    flat = tiles.reshape(-1, 1, *tiles.shape[2:])
    beside = (F.conv2d(flat, _BESIDE.to(planes), padding=1) > 0).reshape_as(tiles)
    diagonal = (F.conv2d(flat, _DIAGONAL.to(planes), padding=1) > 0).reshape_as(tiles)
    free = empty * (~beside)
    return torch.cat([free * diagonal, free], dim=1)


def seat_counts(planes: torch.Tensor) -> torch.Tensor:
    """[B, COUNT_FEATURES]: each seat's tiles, open corners and free cells and the mover's legal cells, in
    hundreds, then their pairwise products (count i times count j at COUNTS + i * COUNTS + j)."""
    features = corner_and_free_planes(planes)
    counts = torch.cat([planes[:, :PLAYERS].sum(dim=(2, 3)), features.sum(dim=(2, 3)),
                        planes[:, LEGAL_PLANE].sum(dim=(1, 2)).unsqueeze(1)], dim=1) / 100.0
    return torch.cat([counts, (counts.unsqueeze(2) * counts.unsqueeze(1)).flatten(1)], dim=1)
