"""``tilora-zero arena``: play player A against player B over every seating."""

from __future__ import annotations

import argparse
import json
import sys
from dataclasses import replace
from pathlib import Path

from ..networks import VALUE_CONVENTIONS
from ..networks.quantize import PRECISIONS
from . import HelpFormatter, UsageError, non_negative_int, positive_int, require
from .options import SEARCH_OPTIONS, add_options, read_options

# The search settings a match offers: matches search without root noise.
MATCH_OPTIONS = ("search", "tree", "sims_per_move", "sample_moves", "c_base", "c_init")


def add_parser(subparsers: argparse._SubParsersAction) -> argparse.ArgumentParser:
    from ..learning.arena import arena_settings

    parser = subparsers.add_parser(
        "arena", help="measure player A against player B",
        description="Plays --games games with every seat played by A or B, each seat searched by its own player "
                    "(2v2: the six ways to seat two A's and two B's; 1v3: one A against three B's, on each "
                    "seat), with no root noise and a few sampled opening moves, every game seeded from --seed, "
                    "and prints A's mean payoff per seat with a 95% confidence interval (parity is 0.25) and "
                    "the corresponding Elo difference. A player is a checkpoint or a baseline: uniform (equal "
                    "priors, every position at par), rollout (leaves valued by a random playout) or greedy "
                    "(a largest placement each turn, no search).",
        formatter_class=HelpFormatter)
    parser.add_argument("--a", required=True, help="player A: a checkpoint, uniform, rollout or greedy")
    parser.add_argument("--b", required=True, help="player B: a checkpoint, uniform, rollout or greedy")
    parser.add_argument("--games", type=positive_int, required=True, help="games to play")
    parser.add_argument("--layout", choices=("2v2", "1v3"), default="2v2", help="seats per player")
    search = parser.add_argument_group("search settings of both players")
    add_options(search, SEARCH_OPTIONS, arena_settings(48), MATCH_OPTIONS)
    search.add_argument("--a-sims", type=positive_int, help="simulations per search of A (default: --sims)")
    search.add_argument("--b-sims", type=positive_int, help="simulations per search of B (default: --sims)")
    parser.add_argument("--seed", type=non_negative_int, default=0, help="seed of the games")
    parser.add_argument("--workers", type=positive_int, default=2, help="worker processes")
    parser.add_argument("--games-per-worker", type=positive_int, default=8, help="concurrent games per worker")
    parser.add_argument("--value-convention", choices=VALUE_CONVENTIONS,
                        help="classic search only: served value convention of both networks (default: each "
                             "checkpoint's own)")
    parser.add_argument("--device", default="cpu", help="torch device")
    for flag in ("a", "b"):
        parser.add_argument(f"--{flag}-precision", choices=(*PRECISIONS, "auto"), default="auto",
                            help=f"{flag.upper()}'s checkpoint served in float32 or int8; auto: int8 on a CPU with "
                                 "AVX-512 VNNI, else float32")
    parser.add_argument("--out", type=Path, help="records directory for the games played")
    parser.add_argument("--json", type=Path, help="write the result as JSON here")
    parser.add_argument("--no-progress", action="store_true", help="draw no progress bar")
    return parser


def run(args: argparse.Namespace) -> int:
    from ..data.records import RecordError, RecordWriter
    from ..learning.arena import arena_settings, play_arena, result_dict
    from ..selfplay.players import BASELINES, Player
    from ..selfplay.scheduling import RunError
    from ..settings import ServingOptions

    try:
        search = read_options(args, SEARCH_OPTIONS, arena_settings(args.sims_per_move), MATCH_OPTIONS)
    except ValueError as error:
        raise UsageError(str(error)) from None
    players = []
    for flag, source, sims, precision in (("--a", args.a, args.a_sims, args.a_precision),
                                          ("--b", args.b, args.b_sims, args.b_precision)):
        settings = replace(search, sims_per_move=search.sims_per_move if sims is None else sims)
        if source not in BASELINES:
            require("torch", f"{flag} {source}")
        elif precision not in ("fp32", "auto"):
            raise UsageError(f"{flag}-precision {precision}: {source} is a baseline, not a checkpoint")
        try:
            player = Player(source, settings, args.device, args.value_convention,
                            precision=None if precision == "auto" else precision)
            player.check()
        except (FileNotFoundError, ValueError) as error:
            raise UsageError(f"{flag}: {error}") from None
        players.append(player)
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
        result = play_arena(*players, args.games, args.workers, args.layout, args.seed,
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
