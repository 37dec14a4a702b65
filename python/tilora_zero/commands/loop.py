"""``tilora-zero loop``: self-play, train and measure, generation after generation."""

from __future__ import annotations

import argparse
import sys
from dataclasses import replace
from pathlib import Path

from ..learning.value_fit import VALUE_FITS
from ..networks import VALUE_CONVENTIONS
from ..settings import SEARCH_TREES
from . import HelpFormatter, UsageError, fraction, non_negative_int, positive_int, require, yes_no
from .options import SEARCH_OPTIONS, TRAIN_OPTIONS, Option, add_options, read_options


def baseline_list(text: str) -> list[str]:
    """A comma-separated list of the ladder's baselines."""
    from ..learning.loop import LADDER

    names = [name.strip() for name in text.split(",")]
    unknown = [name for name in names if name not in LADDER]
    if unknown or len(set(names)) != len(names):
        raise argparse.ArgumentTypeError(f"expected distinct names among {', '.join(LADDER)}, got {text!r}")
    return names


LOOP_OPTIONS = {  # LoopSettings field -> its option
    "generations": Option("generations", positive_int, "generations to reach"),
    "games_per_generation": Option("games-per-generation", positive_int, "self-play games per generation"),
    "workers": Option("workers", positive_int, "worker processes"),
    "games_per_worker": Option("games-per-worker", positive_int, "concurrent games per worker"),
    "blocks": Option("blocks", non_negative_int, "residual blocks of the network"),
    "channels": Option("channels", positive_int, "channels of the network"),
    "value_channels": Option("value-channels", positive_int, "planes of the network's value head"),
    "value_hidden": Option("value-hidden", non_negative_int, "hidden units of the value head (0: none)"),
    "value_counts": Option("value-counts", yes_no, "whether the value head also reads each seat's counts of tiles, "
                                                   "open corners and free cells and the mover's legal cells"),
    "value_fit": Option("value-fit", str, "how the value head comes to be: trained with the policy, or then replaced "
                                          "by the fit of the window's outcomes on the counts (needs --value-counts yes "
                                          "and --value-hidden 0 or at least 4)", VALUE_FITS),
    "window": Option("window", positive_int, "newest games trained on"),
    "ladder": Option("ladder", baseline_list, "the baselines each generation plays, comma-separated"),
    "ladder_games": Option("ladder-games", positive_int, "games against each baseline of the ladder"),
    "ladder_rollout_weight": Option("ladder-rollout-weight", fraction,
                                    "weight of one random playout's payoff in the ladder's values (0: the network's "
                                    "own alone, 1: its priors and playout values, as self-play with --rollout-weight 1)"),
    "ladder_tree": Option("ladder-tree", str, "the ladder's search tree (self-play's is --tree)", SEARCH_TREES),
    "generation_zero": Option("generation-zero", str, "who plays the first generation's games",
                              ("uniform", "rollout")),
    "device": Option("device", str, "torch device"),
    "threads": Option("threads", positive_int, "torch CPU threads for training"),
    "value_convention": Option("value-convention", str,
                               "classic search only: served value convention (default centred)", VALUE_CONVENTIONS),
    "seed": Option("seed", int, "random seed of the training"),
}


# The loop's training options, named as the loop has always named them.
LOOP_TRAIN_FLAGS = {"steps": "train-steps"}


def add_parser(subparsers: argparse._SubParsersAction) -> argparse.ArgumentParser:
    from ..learning.loop import LoopSettings

    defaults = LoopSettings()
    parser = subparsers.add_parser(
        "loop", help="self-play, train and measure, generation after generation",
        description="Runs the whole cycle in a run directory: self-play with the newest network, training, "
                    "and the ladder (the new network on one seat against three seats of each fixed baseline of "
                    "--ladder: uniform, greedy, rollout by default); resumes where it stopped when run again with the same --out.",
        formatter_class=HelpFormatter)
    parser.add_argument("--out", type=Path, required=True, help="run directory")
    add_options(parser, LOOP_OPTIONS, defaults)
    add_options(parser.add_argument_group("search settings of self-play and the ladder"), SEARCH_OPTIONS,
                defaults.search)
    add_options(parser.add_argument_group("training settings of each generation"), TRAIN_OPTIONS, defaults.train,
                flags=LOOP_TRAIN_FLAGS)
    parser.add_argument("--no-progress", action="store_true", help="draw no progress bars")
    parser.add_argument("--allow-mixed-settings", action="store_true",
                        help="resume a run started with other settings (existing checkpoints keep their architecture)")
    from .backend import add_backend_arguments

    add_backend_arguments(parser)
    return parser


def run(args: argparse.Namespace) -> int:
    from ..data.runs import MixedSettingsError
    from ..learning.loop import LoopSettings, open_run, run_loop
    from ..selfplay.scheduling import RunError

    require("torch", "the loop")
    defaults = LoopSettings()
    try:
        settings = replace(read_options(args, LOOP_OPTIONS, defaults),
                           search=read_options(args, SEARCH_OPTIONS, defaults.search),
                           train=read_options(args, TRAIN_OPTIONS, defaults.train))
    except ValueError as error:
        raise UsageError(str(error)) from None
    if args.out.exists() and not args.out.is_dir():
        raise UsageError(f"--out {args.out} exists and is not a directory")
    try:
        open_run(args.out, settings, args.allow_mixed_settings)
    except MixedSettingsError as error:
        raise UsageError(f"{error}; run it with those settings, or add --allow-mixed-settings") from None
    except ValueError as error:
        raise UsageError(str(error)) from None
    from .backend import backend_play

    selfplay, close_backend = backend_play(args, False, args.device, None)
    try:
        run_loop(args.out, settings, progress=not args.no_progress, selfplay=selfplay,
                 allow_mixed=args.allow_mixed_settings)
    except RunError as error:
        print(f"tilora-zero loop: error: {error}", file=sys.stderr)
        return 1
    finally:
        close_backend()
    return 0
