"""``tilora-zero train``: train the residual network on a records directory."""

from __future__ import annotations

import argparse
from dataclasses import replace
from pathlib import Path

from ..learning.value_fit import VALUE_FITS
from ..networks import VALUE_CONVENTIONS, VALUE_HEAD_CHANNELS, VALUE_HEAD_HIDDEN
from . import HelpFormatter, UsageError, non_negative_int, positive_int, require
from .options import TRAIN_OPTIONS, add_options, read_options


def add_parser(subparsers: argparse._SubParsersAction) -> argparse.ArgumentParser:
    from ..settings import TrainSettings

    parser = subparsers.add_parser(
        "train", help="train a network on self-play records",
        description="Samples positions (with random board rotations) from the newest --window games of --data, "
                    "trains for --steps steps and writes the checkpoint, its metrics (one JSON line per logging "
                    "step) and a plot of the losses.",
        formatter_class=HelpFormatter)
    parser.add_argument("--data", type=Path, required=True, help="records directory")
    parser.add_argument("--out", type=Path, required=True, help="checkpoint to write")
    parser.add_argument("--init", type=Path, help="checkpoint to start from (its architecture is kept)")
    add_options(parser, TRAIN_OPTIONS, TrainSettings())
    parser.add_argument("--window", type=positive_int, default=1000, help="newest games sampled from")
    parser.add_argument("--blocks", type=non_negative_int, default=6, help="residual blocks of a new network")
    parser.add_argument("--channels", type=positive_int, default=64, help="channels of a new network")
    parser.add_argument("--value-channels", type=positive_int, default=VALUE_HEAD_CHANNELS,
                        help="planes of a new network's value head")
    parser.add_argument("--value-hidden", type=non_negative_int, default=VALUE_HEAD_HIDDEN,
                        help="hidden units of a new network's value head (0: none)")
    parser.add_argument("--value-counts", action="store_true",
                        help="a new network's value head also reads each seat's counts of tiles, open corners and "
                             "free cells and the mover's legal cells")
    parser.add_argument("--value-fit", choices=VALUE_FITS, default="trained",
                        help="counts: after training, replace the value head by the fit of the games' outcomes on "
                             "the counts (a network with --value-counts and --value-hidden 0 or at least 4)")
    parser.add_argument("--value-convention", choices=VALUE_CONVENTIONS, default="centred",
                        help="value convention the checkpoint serves (see docs/learning.md)")
    parser.add_argument("--no-augment", action="store_true", help="train without the board rotations")
    parser.add_argument("--log-every", type=positive_int, default=50, help="steps per metrics line")
    parser.add_argument("--metrics", type=Path, help="metrics file (default: the --out path with .metrics.jsonl)")
    parser.add_argument("--plot", type=Path, help="loss plot (default: the --out path with .losses.png)")
    parser.add_argument("--device", default="cpu", help="torch device (cpu, cuda)")
    parser.add_argument("--threads", type=positive_int, help="torch CPU threads")
    parser.add_argument("--seed", type=int, help="random seed")
    parser.add_argument("--no-progress", action="store_true", help="draw no progress bar")
    return parser


def run(args: argparse.Namespace) -> int:
    require("torch", "training")
    import torch

    from ..data.dataset import load_dataset
    from ..data.records import RecordError
    from ..learning.training import MetricsWriter, plot_losses, train
    from ..networks.resnet import TiloraNet, load_model, resolve_device, save_checkpoint
    from ..settings import TrainSettings

    settings = replace(read_options(args, TRAIN_OPTIONS, TrainSettings()), augment=not args.no_augment,
                       log_every=args.log_every, seed=args.seed)
    try:
        resolve_device(args.device)
    except ValueError as error:
        raise UsageError(f"--device: {error}") from None
    if args.init is not None:
        try:
            model, _ = load_model(args.init)
        except (FileNotFoundError, ValueError) as error:
            raise UsageError(f"--init: {error}") from None
    else:
        model = TiloraNet(args.blocks, args.channels, args.value_channels, args.value_hidden,
                          value_counts=args.value_counts)
    if args.value_fit == "counts":
        from ..learning.value_fit import unfittable

        reason = unfittable(model.architecture)
        if reason:
            raise UsageError(f"--value-fit counts: the network cannot hold the fit: {reason}")
    if args.out.exists() and args.out.is_dir():
        raise UsageError(f"--out {args.out} is a directory")
    try:
        data = load_dataset(args.data, last_games=args.window)
    except (FileNotFoundError, RecordError, ValueError) as error:
        raise UsageError(f"--data: {error}") from None
    if args.threads:
        torch.set_num_threads(args.threads)
    if args.seed is not None:
        torch.manual_seed(args.seed)
    metrics_path = args.metrics or args.out.with_suffix(".metrics.jsonl")
    metrics_path.unlink(missing_ok=True)
    games = len(set(data.games.tolist()))
    print(f"training on {len(data)} positions from {games} games")
    metrics = train(model, data, settings, args.device, on_metrics=MetricsWriter(metrics_path),
                    progress=not args.no_progress)
    fitted = None
    if args.value_fit == "counts":
        from ..learning.value_fit import fit_counts_value

        fitted = fit_counts_value(model, data.planes, data.values, seed=args.seed or 0)
    save_checkpoint(args.out, model, {"data": str(args.data), "games": games, "positions": len(data),
                                      "steps": settings.steps, "value_fit": args.value_fit}, args.value_convention)
    plot = plot_losses(metrics, args.plot or args.out.with_suffix(".losses.png"))
    last = metrics[-1]
    print(f"policy loss {last['policy_loss']:.4f}, value loss {last['value_loss']:.4f} "
          f"(constant predictor {last['constant_value_loss']:.4f})")
    if fitted is not None:
        print(f"value head replaced by the fit of the outcomes on the counts: loss {fitted.loss:.4f} (constant "
              f"predictor {fitted.constant_loss:.4f}) over {fitted.positions} positions in {fitted.iterations} "
              f"iterations")
    print(f"wrote {args.out}, {metrics_path}, {plot}")
    return 0
