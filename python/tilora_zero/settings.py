"""The settings of a run: how its games search, how they are served, how the network trains.

One type each, used by every command and backend that offers them; the
command line makes its options from these fields
(:mod:`tilora_zero.commands.options`). Nothing here needs torch or Ray.
"""

from __future__ import annotations

import math
from dataclasses import asdict, dataclass, replace
from typing import Any

import numpy as np

SEARCH_RULES = ("puct", "classic")
# What an edge of the search tree is: a whole placement (each way to end a turn once, the turn's cells laid
# in ascending order, no search where a turn leaves one choice) or, as the module does by default, one cell.
SEARCH_TREES = ("placements", "cells")


def upgraded_search_settings(recorded: dict[str, Any]) -> dict[str, Any]:
    """Search settings recorded by an earlier version, in today's terms: games and runs from before the
    placement tree searched over cells, and from before the Gumbel root without one."""
    return {"tree": "cells", "gumbel_actions": 0, "gumbel_scale": 1.0, **recorded}


@dataclass
class SearchSettings:
    """The settings the self-play module reads; pass an instance as its ``config``."""

    sims_per_move: int = 150  # one search; the placement tree searches about a quarter as often as the cell tree
    sample_moves: int = 30
    c_base: float = 19652.0
    c_init: float = 1.25
    dirichlet_alpha: float = 0.3
    exploration_fraction: float = 0.25
    search: str = "puct"  # the selection rule: "puct" (values as payoff shares) or "classic"
    tree: str = "placements"  # an edge of the search tree: "placements" or "cells"
    first_play_value: float | None = None  # PUCT: the Q of an unvisited child (None: the module's)
    seed: int | None = None  # a run's seed: game n's random draws are seeded by game_seed(seed, n)
    rollout_weight: float = 0.0  # w: a network's values become (1 - w) * value + w * one random playout's payoff
    # The Gumbel root: the root children it considers (0: none, the root selects by the rule), spending the
    # simulations on them by sequential halving, and recording its improved policy instead of visit shares.
    gumbel_actions: int = 0
    gumbel_scale: float = 1.0  # the scale of the values in the Gumbel root's scores

    def __post_init__(self) -> None:
        # The module reads the floats as 32-bit floats: what it refuses is judged on the narrowed values. A
        # search with no simulations has no visit shares to record, so the toolkit asks for at least one.
        for name, lowest in (("sims_per_move", 1), ("sample_moves", 0), ("gumbel_actions", 0)):
            value = getattr(self, name)
            if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or not lowest <= value < 2**32:
                raise ValueError(f"{name} must be an integer from {lowest} to 4294967295, got {value!r}")
        numbers = ("c_base", "c_init", "dirichlet_alpha", "exploration_fraction", "rollout_weight", "gumbel_scale")
        for name in numbers if self.first_play_value is None else (*numbers, "first_play_value"):
            value = getattr(self, name)
            if not isinstance(value, (int, float, np.floating)) or not math.isfinite(value):
                raise ValueError(f"{name} must be a finite number, got {value!r}")
            with np.errstate(over="ignore"):
                if not np.isfinite(np.float32(value)):
                    raise ValueError(f"{name} {value!r} is beyond the range of a 32-bit float")
        if not np.float32(self.c_base) > 0:
            raise ValueError(f"c_base must be positive as a 32-bit float, got {self.c_base!r}")
        if not np.float32(self.dirichlet_alpha) > 0:
            raise ValueError(f"dirichlet_alpha must be positive as a 32-bit float, got {self.dirichlet_alpha!r}")
        if not 0 <= self.exploration_fraction <= 1:
            raise ValueError(f"exploration_fraction must be from 0 to 1, got {self.exploration_fraction!r}")
        if not self.gumbel_scale >= 0:
            raise ValueError(f"gumbel_scale must not be negative, got {self.gumbel_scale!r}")
        if not 0 <= self.rollout_weight <= 1:
            raise ValueError(f"rollout_weight must be from 0 to 1, got {self.rollout_weight!r}")
        if self.search not in SEARCH_RULES:
            raise ValueError(f"search must be 'puct' or 'classic', got {self.search!r}")
        if self.tree not in SEARCH_TREES:
            raise ValueError(f"tree must be 'placements' or 'cells', got {self.tree!r}")
        if self.search == "puct":
            # C(N) = ln((1 + N + c_base) / c_base) + c_init grows with N, which is at least 1 wherever PUCT
            # scores children: C(1), in the module's 32-bit arithmetic, is the least it can be.
            c_base = np.float32(self.c_base)
            with np.errstate(over="ignore"):
                least = np.log((np.float32(2) + c_base) / c_base)
            if not least + np.float32(self.c_init) >= 0:
                raise ValueError(f"c_init must be at least -ln((2 + c_base) / c_base) = {-least:.6g} under the PUCT "
                                 f"rule, so that its exploration coefficient is never negative, got {self.c_init!r}")
        seed = self.seed
        if seed is not None and (isinstance(seed, bool) or not isinstance(seed, (int, np.integer))
                                 or not 0 <= seed < 2**64):
            raise ValueError(f"seed must be an integer from 0 to 2**64 - 1, got {seed!r}")

    # Read by the module: requests carry the planes as 250 packed bytes, which the
    # serving side uses as they are (no lists of floats to build and to pack again).
    packed_planes = True

    def as_dict(self) -> dict[str, Any]:
        return asdict(self)


def selfplay_search(**changes: Any) -> SearchSettings:
    """The search that writes training records: over cells, whose records teach the placement search's priors
    better than its own (docs/learning.md), at 100 simulations, the CPU per game of 150 over placements; with
    a Gumbel root of 16 children, whose improved policy made the learning experiment's loop rise where visit
    shares did not."""
    return replace(SearchSettings(tree="cells", sims_per_move=100, gumbel_actions=16), **changes)


@dataclass
class ServingOptions:
    """How the games of a run are served."""

    games_per_worker: int = 8  # concurrent games per worker, greenlets on one thread
    max_batch: int = 256  # positions per batch of a worker
    cache_size: int = 32768  # evaluations kept per worker
    server: bool = False  # one central inference process instead of a network per worker
    server_max_batch: int = 1024  # positions per network call of the inference process
    server_max_wait: float = 0.002  # seconds it waits for the workers that have not sent yet

    def __post_init__(self) -> None:
        if self.games_per_worker < 1:
            raise ValueError(f"games_per_worker must be >= 1, got {self.games_per_worker}")
        if self.max_batch < 1 or self.server_max_batch < 1:
            raise ValueError("batch sizes must be >= 1")
        if self.server_max_wait < 0:
            raise ValueError(f"server_max_wait must be >= 0, got {self.server_max_wait}")
        if self.cache_size < 0:
            raise ValueError(f"cache_size must be >= 0, got {self.cache_size}")


@dataclass
class TrainSettings:
    """How a network trains on self-play positions (:func:`tilora_zero.learning.training.train`)."""

    steps: int = 1000
    batch_size: int = 128
    learning_rate: float = 1e-3
    weight_decay: float = 1e-4
    # The learning rate falls along a cosine from learning_rate to this fraction of it.
    final_lr_fraction: float = 0.1
    augment: bool = True
    # The share of each batch drawn from the positions that teach the policy, those whose target chooses
    # among two or more cells (the rest of the batch is drawn from every position): 0 draws every batch
    # uniformly.
    choice_share: float = 0.0
    log_every: int = 50
    seed: int | None = None

    def __post_init__(self) -> None:
        if self.steps < 1:
            raise ValueError(f"steps must be at least 1, got {self.steps}")
        if self.batch_size < 1:
            raise ValueError(f"batch size must be at least 1, got {self.batch_size}")
        if not self.learning_rate > 0:
            raise ValueError(f"learning rate must be positive, got {self.learning_rate}")
        if self.weight_decay < 0:
            raise ValueError(f"weight decay must not be negative, got {self.weight_decay}")
        if self.log_every < 1:
            raise ValueError(f"log interval must be at least 1, got {self.log_every}")
        if not 0 <= self.choice_share <= 1:
            raise ValueError(f"choice share must be from 0 to 1, got {self.choice_share!r}")
