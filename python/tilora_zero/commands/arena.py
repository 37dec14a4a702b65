"""``tilora-zero arena``: play network A against network B over every seating."""

from __future__ import annotations

import argparse
import json
import sys
from pathlib import Path

from ..networks import VALUE_CONVENTIONS
from . import HelpFormatter, UsageError, non_negative_int, positive_int, require


def add_parser(subparsers: argparse._SubParsersAction) -> argparse.ArgumentParser:
    parser = subparsers.add_parser(
        "arena", help="measure network A against network B",
        description="Plays --games games with every seat served by A or B (2v2: the six ways to seat two A's "
                    "and two B's; 1v3: one A against three B's, on each seat), with no root noise and a few "
                    "sampled opening moves, and prints A's mean payoff per seat with a 95% confidence "
                    "interval (parity is 0.25) and the corresponding Elo difference.",
        formatter_class=HelpFormatter)
    parser.add_argument("--a", required=True, help="checkpoint of network A (or 'uniform')")
    parser.add_argument("--b", required=True, help="checkpoint of network B, or 'uniform'")
    parser.add_argument("--games", type=positive_int, required=True, help="games to play")
    parser.add_argument("--layout", choices=("2v2", "1v3"), default="2v2", help="seats per network")
    parser.add_argument("--sims", type=positive_int, default=32, help="simulations per move")
    parser.add_argument("--sample-moves", type=non_negative_int, default=4,
                        help="moves below this count are sampled from the visits, later ones greedy")
    parser.add_argument("--workers", type=positive_int, default=2, help="worker processes")
    parser.add_argument("--games-per-worker", type=positive_int, default=8, help="concurrent games per worker")
    parser.add_argument("--value-convention", choices=VALUE_CONVENTIONS,
                        help="served value convention for both networks (default: each checkpoint's own)")
    parser.add_argument("--device", default="cpu", help="torch device")
    parser.add_argument("--out", type=Path, help="records directory for the games played")
    parser.add_argument("--json", type=Path, help="write the result as JSON here")
    parser.add_argument("--no-progress", action="store_true", help="draw no progress bar")
    return parser


def run(args: argparse.Namespace) -> int:
    from ..arena import arena_settings, play_arena, result_dict
    from ..networks import load_network
    from ..records import RecordError, RecordWriter
    from ..runner import RunError, ServingOptions

    for flag, source in (("--a", args.a), ("--b", args.b)):
        if source != "uniform":
            require("torch", f"{flag} {source}")
        try:
            load_network(source, "cpu", args.value_convention)
        except (FileNotFoundError, ValueError) as error:
            raise UsageError(f"{flag}: {error}") from None
    if args.device != "cpu":
        from ..networks.resnet import resolve_device

        try:
            resolve_device(args.device)
        except ValueError as error:
            raise UsageError(f"--device: {error}") from None
    writer = None
    if args.out is not None:
        try:
            writer = RecordWriter(args.out)
        except (RecordError, OSError) as error:
            raise UsageError(f"--out: {error}") from None

    from tqdm import tqdm

    bar = tqdm(total=args.games, unit="game", dynamic_ncols=True, disable=True if args.no_progress else None,
               file=sys.stderr)

    def on_progress(done, result) -> None:
        bar.n = done
        bar.set_postfix_str(f"A per seat {result.mean:.3f}", refresh=False)
        bar.refresh()

    try:
        result = play_arena(args.a, args.b, args.games, arena_settings(args.sims, args.sample_moves),
                            args.workers, args.layout, args.device, args.value_convention,
                            on_record=writer.add if writer else None, progress=on_progress,
                            options=ServingOptions(games_per_worker=args.games_per_worker))
    except RunError as error:
        bar.close()
        print(f"tilora-zero arena: error: {error}", file=sys.stderr)
        return 1
    finally:
        bar.close()
        if writer is not None:
            writer.flush()
    print(result.report())
    if args.json is not None:
        args.json.write_text(json.dumps(result_dict(result), indent=2) + "\n")
    return 0
