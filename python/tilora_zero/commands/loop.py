"""``tilora-zero loop``: self-play, train and measure, generation after generation."""

from __future__ import annotations

import argparse
import sys
from dataclasses import fields
from pathlib import Path

from ..networks import VALUE_CONVENTIONS
from . import (HelpFormatter, UsageError, finite_float, fraction, non_negative_int, positive_float, positive_int,
               require)

# LoopSettings field -> (option name, type, help), for the options given as --name.
_OPTIONS = {
    "generations": ("generations", positive_int, "generations to reach"),
    "games_per_generation": ("games-per-generation", positive_int, "self-play games per generation"),
    "train_steps": ("train-steps", positive_int, "training steps per generation"),
    "sims_per_move": ("sims", positive_int, "self-play simulations per move"),
    "sample_moves": ("sample-moves", non_negative_int, "self-play moves sampled from the visits"),
    "c_base": ("c-base", positive_float, "base of the exploration coefficient"),
    "c_init": ("c-init", finite_float, "additive constant of the exploration coefficient"),
    "dirichlet_alpha": ("dirichlet-alpha", positive_float, "root noise concentration"),
    "exploration_fraction": ("exploration-fraction", fraction, "root noise weight"),
    "search": ("search", str, "selection rule of self-play and the ladder"),
    "workers": ("workers", positive_int, "worker processes"),
    "games_per_worker": ("games-per-worker", positive_int, "concurrent games per worker"),
    "blocks": ("blocks", non_negative_int, "residual blocks of the network"),
    "channels": ("channels", positive_int, "channels of the network"),
    "batch_size": ("batch-size", positive_int, "positions per training step"),
    "learning_rate": ("lr", positive_float, "peak learning rate"),
    "weight_decay": ("weight-decay", float, "AdamW weight decay"),
    "window": ("window", positive_int, "newest games trained on"),
    "ladder_games": ("ladder-games", positive_int, "games against each baseline of the ladder"),
    "generation_zero": ("generation-zero", str, "who plays the first generation's games"),
    "device": ("device", str, "torch device"),
    "threads": ("threads", positive_int, "torch CPU threads for training"),
    "value_convention": ("value-convention", str, "classic search only: served value convention (default centred)"),
    "seed": ("seed", int, "random seed of the training"),
}
_CHOICES = {"search": ("puct", "classic"), "generation_zero": ("uniform", "rollout"),
            "value_convention": VALUE_CONVENTIONS}


def add_parser(subparsers: argparse._SubParsersAction) -> argparse.ArgumentParser:
    from ..loop import LoopSettings

    defaults = LoopSettings()
    parser = subparsers.add_parser(
        "loop", help="self-play, train and measure, generation after generation",
        description="Runs the whole cycle in a run directory: self-play with the newest network, training, "
                    "and the ladder (the new network on one seat against three seats of each fixed baseline: "
                    "uniform, greedy, rollout); resumes where it stopped when run again with the same --out.",
        formatter_class=HelpFormatter)
    parser.add_argument("--out", type=Path, required=True, help="run directory")
    for name, (flag, kind, text) in _OPTIONS.items():
        parser.add_argument(f"--{flag}", dest=name, type=kind, default=getattr(defaults, name),
                            choices=_CHOICES.get(name), help=text)
    parser.add_argument("--no-progress", action="store_true", help="draw no progress bars")
    parser.add_argument("--allow-mixed-settings", action="store_true",
                        help="resume a run started with other settings (existing checkpoints keep their architecture)")
    from ..ray_backend.command import add_backend_arguments

    add_backend_arguments(parser)
    return parser


def run(args: argparse.Namespace) -> int:
    from ..loop import LoopSettings, open_run, run_loop
    from ..records import MixedSettingsError
    from ..runner import RunError

    require("torch", "the loop")
    settings = LoopSettings(**{f.name: getattr(args, f.name) for f in fields(LoopSettings)})
    if args.out.exists() and not args.out.is_dir():
        raise UsageError(f"--out {args.out} exists and is not a directory")
    try:
        open_run(args.out, settings, args.allow_mixed_settings)
    except MixedSettingsError as error:
        raise UsageError(f"{error}; run it with those settings, or add --allow-mixed-settings") from None
    except ValueError as error:
        raise UsageError(str(error)) from None
    from ..ray_backend.command import backend_play

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
