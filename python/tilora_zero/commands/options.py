"""Command-line options made from the settings types: each setting declared once, for every command.

``add_options`` adds the options of some fields of a settings type, their
defaults taken from an instance; ``read_options`` makes the instance back from
the parsed arguments. A command offers the fields that mean something to it
(a match searches without root noise) and its own defaults (the loop's fewer
simulations), under the same names and checks everywhere.
"""

from __future__ import annotations

import argparse
from collections.abc import Sequence
from dataclasses import replace
from typing import Any, NamedTuple, TypeVar

from ..settings import SEARCH_RULES, SEARCH_TREES
from . import finite_float, fraction, non_negative_float, non_negative_int, positive_float, positive_int


class Option(NamedTuple):
    flag: str
    type: Any
    help: str
    choices: Sequence[str] | None = None


SEARCH_OPTIONS = {  # SearchSettings field -> its option
    "search": Option("search", str, "selection rule (a network serves payoff shares to puct, its own convention "
                                    "to classic)", SEARCH_RULES),
    "tree": Option("tree", str, "an edge of the search tree: a whole placement (one search per turn with a "
                                "choice) or one cell (one search per move)", SEARCH_TREES),
    "sims_per_move": Option("sims", positive_int, "simulations per search"),
    "sample_moves": Option("sample-moves", non_negative_int,
                           "moves (cells) below this count are sampled from the visits, later ones greedy; over "
                           "placements a decision is sampled when its turn's first cell is"),
    "c_base": Option("c-base", positive_float, "base of the exploration coefficient of the selection score"),
    "c_init": Option("c-init", finite_float, "additive constant of the exploration coefficient"),
    "dirichlet_alpha": Option("dirichlet-alpha", positive_float, "concentration of the root noise"),
    "exploration_fraction": Option("exploration-fraction", fraction, "weight of the root noise in the root priors"),
    "rollout_weight": Option("rollout-weight", fraction,
                             "weight of one random playout's payoff in every value of a network (0: its own alone)"),
    "gumbel_actions": Option("gumbel-actions", non_negative_int,
                             "root children a Gumbel root considers, spending the simulations on them by sequential "
                             "halving and recording its improved policy (0: the root selects by the rule)"),
    "gumbel_scale": Option("gumbel-scale", non_negative_float, "scale of the values in the Gumbel root's scores"),
}

TRAIN_OPTIONS = {  # TrainSettings field -> its option
    "steps": Option("steps", positive_int, "training steps"),
    "batch_size": Option("batch-size", positive_int, "positions per step"),
    "learning_rate": Option("lr", positive_float, "peak learning rate (cosine decay)"),
    "weight_decay": Option("weight-decay", non_negative_float, "AdamW weight decay"),
    "choice_share": Option("choice-share", fraction, "share of each batch drawn from the positions whose policy "
                                                     "target chooses among two or more cells (0: uniform)"),
}

Settings = TypeVar("Settings")


def add_options(group: argparse._ActionsContainer, table: dict[str, Option], defaults: Any,
                names: Sequence[str] | None = None, flags: dict[str, str] | None = None) -> None:
    """Adds the options of ``names`` (default: all of ``table``), stored under the field's name, with the
    defaults of ``defaults``; ``flags`` renames an option where a command needs another name."""
    for name in names or table:
        option = table[name]
        flag = (flags or {}).get(name, option.flag)
        metavar = None if option.choices else flag.upper().replace("-", "_")
        group.add_argument(f"--{flag}", dest=name, type=option.type, default=getattr(defaults, name),
                           choices=option.choices, metavar=metavar, help=option.help)


def read_options(args: argparse.Namespace, table: dict[str, Option], defaults: Settings,
                 names: Sequence[str] | None = None) -> Settings:
    """``defaults`` with the values given for the options that :func:`add_options` added; ValueError for
    a combination the settings type refuses."""
    return replace(defaults, **{name: getattr(args, name) for name in names or table})
