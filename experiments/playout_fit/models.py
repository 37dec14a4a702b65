"""Study-only value networks: TiloraNet's tower and one-score head, with three options.

- `pooled`: the head also sees the tower's mean and maximum over the board, channel by channel, so a
  count (tiles laid, corners left) reaches the score without passing through 400 position weights;
- `dilated`: the second convolution of block b is dilated 2^b (1, 2, 4 for three blocks), so three
  blocks see the whole board where plain ones see 15 x 15;
- `features`: eight more input planes computed from the five: each seat's open corners (empty cells
  diagonal to its tiles and beside none of them: where its next piece may start) and each seat's
  free cells (empty and beside none of its tiles: the room it may still fill). The mover's legal plane
  gives only the mover's view; the other seats' room decides the playout's outcome as much;
- `scores`: the head's linear scores before the four logits (1, today's head, ties the four values to
  one number; 4 lets each seat's share move on its own);
- `counts`: the scores also see what the least-squares yardstick of run.py fits, computed inside the
  network from the planes: each seat's tiles, open corners and free cells and the mover's legal cells
  (in hundreds), and their pairwise products, so that the head holds that fit as a part of itself.

Only the value head exists (the study trains no policy); `forward` returns (None, value logits) like
TiloraNet's (policy, value).
"""
from __future__ import annotations

import torch
from torch import nn
from torch.nn import functional as F

from tilora_zero.networks.counts import COUNT_FEATURES, corner_and_free_planes, seat_counts

SEATS = 4
FEATURE_PLANES = 2 * SEATS


class Block(nn.Module):
    def __init__(self, channels: int, dilation: int):
        super().__init__()
        self.conv1 = nn.Conv2d(channels, channels, 3, padding=1, bias=False)
        self.bn1 = nn.BatchNorm2d(channels)
        self.conv2 = nn.Conv2d(channels, channels, 3, padding=dilation, dilation=dilation, bias=False)
        self.bn2 = nn.BatchNorm2d(channels)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        y = F.relu(self.bn1(self.conv1(x)))
        return F.relu(x + self.bn2(self.conv2(y)))


class StudyNet(nn.Module):
    def __init__(self, blocks: int = 3, channels: int = 16, value_channels: int = 8, pooled: bool = False,
                 dilated: bool = False, features: bool = False, scores: int = 1, counts: bool = False):
        super().__init__()
        self.features = features
        self.counts = counts
        self.pooled = pooled
        inputs = 5 + 1 + (FEATURE_PLANES if features else 0)
        self.stem = nn.Sequential(nn.Conv2d(inputs, channels, 3, padding=1, bias=False), nn.BatchNorm2d(channels),
                                  nn.ReLU())
        self.tower = nn.Sequential(*[Block(channels, 2 ** b if dilated else 1) for b in range(blocks)])
        self.reduce = nn.Sequential(nn.Conv2d(channels, value_channels, 1, bias=False),
                                    nn.BatchNorm2d(value_channels), nn.ReLU(), nn.Flatten())
        width = value_channels * 400 + (2 * channels if pooled else 0) + (COUNT_FEATURES if counts else 0)
        self.score = nn.Linear(width, scores)
        self.to_logits = nn.Linear(scores, SEATS)

    def forward(self, planes: torch.Tensor) -> tuple[None, torch.Tensor]:
        parts = [planes, torch.ones_like(planes[:, :1])]
        if self.features:
            parts.append(corner_and_free_planes(planes))
        x = self.tower(self.stem(torch.cat(parts, dim=1)))
        head = [self.reduce(x)]
        if self.pooled:
            head += [x.mean(dim=(2, 3)), x.amax(dim=(2, 3))]
        if self.counts:
            head.append(seat_counts(planes))
        return None, self.to_logits(self.score(torch.cat(head, dim=1)))
