"""``tilora-zero selfplay``: play games with a network and write their records."""

from __future__ import annotations

import argparse
import itertools
import os
import sys
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

from . import HelpFormatter, UsageError, non_negative_int, positive_int, require
from .options import SEARCH_OPTIONS, add_options, read_options
# Moves in a game, as measured with the uniform network (250 to 290): the progress bar's estimate of the
# work ahead until the run's own games tell.
TYPICAL_GAME_MOVES = 270


def add_parser(subparsers: argparse._SubParsersAction) -> argparse.ArgumentParser:
    parser = subparsers.add_parser(
        "selfplay", help="play self-play games and write their records",
        description="Plays self-play games until --out holds --games games (an interrupted run continues "
                    "where it stopped) and writes each finished game's record there.",
        formatter_class=HelpFormatter)
    parser.add_argument("--games", type=positive_int, required=True, default=argparse.SUPPRESS,
                        help="games the directory should hold")
    parser.add_argument("--out", type=Path, required=True, default=argparse.SUPPRESS, help="records directory")
    parser.add_argument("--workers", type=positive_int, default=os.cpu_count() or 1,
                        help="worker processes (one core each)")
    from ..settings import ServingOptions, selfplay_search

    add_options(parser.add_argument_group("search settings"), SEARCH_OPTIONS, selfplay_search())
    add_network_arguments(parser)
    serving = parser.add_argument_group("serving")
    defaults = ServingOptions()
    serving.add_argument("--games-per-worker", type=positive_int, default=defaults.games_per_worker,
                         help="games each worker runs at once")
    serving.add_argument("--max-batch", type=positive_int, default=defaults.max_batch, help="positions per batch")
    serving.add_argument("--cache-size", type=non_negative_int, default=defaults.cache_size,
                         help="evaluations cached per worker (0: no cache)")
    serving.add_argument("--serve", choices=("auto", "local", "server"), default="auto",
                         help="run the network in each worker (local) or in one inference process (server); "
                              "auto: server for a GPU device")
    parser.add_argument("--games-per-shard", type=positive_int, default=64, help="games per records file")
    parser.add_argument("--allow-mixed-settings", action="store_true",
                        help="add games to a directory that holds games played with other search settings or "
                             "another network")
    parser.add_argument("--no-progress", action="store_true", help="draw no progress bar")
    from .backend import add_backend_arguments

    add_backend_arguments(parser)
    return parser


def add_network_arguments(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("network")
    group.add_argument("--network", default="uniform", help="'uniform' or a checkpoint path")
    group.add_argument("--device", default="cpu", help="torch device of a checkpoint's network (cpu, cuda, cuda:1)")
    group.add_argument("--precision", choices=("fp32", "int8", "auto"), default="auto",
                       help="a checkpoint served in float32 or in 8 bits (int8: self-play at about half the CPU, "
                            "equal strength; docs/toolkit.md); auto: int8 on the CPU where it has AVX-512 VNNI, "
                            "else float32")


def network_factory(args: argparse.Namespace, search: str) -> tuple[Callable[[], Any], str]:
    """Checks --network/--device; returns a picklable factory of the network that searches under rule
    ``search`` read, and its name."""
    from ..networks import ServedNetwork

    if args.network != "uniform":
        require("torch", "a checkpoint's network")
    try:
        precision = None if args.precision == "auto" else args.precision
        network = ServedNetwork(args.network, search, args.device, precision=precision)
        name = network.load("cpu").name  # a readable checkpoint, or "uniform"
    except FileNotFoundError as error:
        raise UsageError(str(error)) from None
    except ValueError as error:
        raise UsageError(f"--network: {error}") from None
    if args.device != "cpu" and args.network != "uniform":
        try:
            import torch

            torch.empty(0, device=args.device)
        except (RuntimeError, AssertionError, ValueError) as error:
            raise UsageError(f"--device {args.device}: {error}") from None
    return network.factory(), name


def run(args: argparse.Namespace) -> int:
    from ..data.records import RecordError, RecordWriter
    from ..data.runs import MixedSettingsError, check_same_settings, games_on_disk, missing_games
    from ..selfplay.local import play_games
    from ..selfplay.scheduling import RunError, RunStats
    from ..settings import ServingOptions, selfplay_search

    if args.out.exists() and not args.out.is_dir():
        raise UsageError(f"--out {args.out} exists and is not a directory")
    try:
        settings = read_options(args, SEARCH_OPTIONS, selfplay_search())
    except ValueError as error:
        raise UsageError(str(error)) from None
    factory, network_name = network_factory(args, settings.search)
    server = args.serve == "server" or (args.serve == "auto" and args.device != "cpu" and args.network != "uniform")
    options = ServingOptions(games_per_worker=args.games_per_worker, max_batch=args.max_batch,
                             cache_size=args.cache_size, server=server)
    try:
        games = games_on_disk(args.out)
    except OSError as error:
        raise UsageError(f"--out {args.out}: {error.strerror or error}") from None
    present = set(games)
    missing = args.games - len(present)
    if missing <= 0:
        print(f"{args.out} already holds {len(present)} games; nothing to play")
        return 0
    if not args.allow_mixed_settings:
        try:
            check_same_settings(args.out, games, {**settings.as_dict(), "network": network_name})
        except MixedSettingsError as error:
            raise UsageError(f"{error}; play with those settings, or add --allow-mixed-settings") from None
    try:
        writer = RecordWriter(args.out, games_per_shard=args.games_per_shard)
    except RecordError as error:
        raise UsageError(str(error)) from None
    except OSError as error:
        raise UsageError(f"--out {args.out}: {error.strerror or error}") from None
    todo = missing_games(present, itertools.count(), missing)
    if present:
        print(f"{args.out} holds {len(present)} games; playing {missing} more", file=sys.stderr)

    from .backend import backend_play

    play, close_backend = backend_play(args, server, args.device, play_games)

    from tqdm import tqdm

    last = RunStats()
    bar = tqdm(total=progress_figures(last, missing, settings)[1], unit="move", dynamic_ncols=True,
               disable=True if args.no_progress else None, file=sys.stderr)

    def on_progress(stats: RunStats) -> None:
        nonlocal last
        last = stats
        writer.tick()
        done, bar.total = progress_figures(stats, missing, settings)
        bar.set_postfix_str(f"games {len(present) + stats.games}/{args.games}, "
                            f"{stats.evaluations_per_second:,.0f} evals/s, cache {100 * stats.hit_rate:.1f}%",
                            refresh=False)
        bar.update(done - bar.n)

    status = 0
    write_error: OSError | None = None
    start = time.monotonic()
    try:
        last = play(factory, todo, settings, args.workers, writer.add, on_progress, options)
    except KeyboardInterrupt:
        status = 130
    except RunError as error:
        bar.clear()
        print(f"tilora-zero selfplay: error: {error}", file=sys.stderr)
        status = 1
    except OSError as error:
        write_error = error
    finally:
        if write_error is None:
            try:
                writer.flush()
            except OSError as error:
                write_error = error
        bar.close()
        close_backend()
    last.wall_time = time.monotonic() - start
    total = len(present) + writer.written_games
    if write_error is not None:
        print(f"tilora-zero selfplay: error: cannot write the records to {args.out}: "
              f"{write_error.strerror or write_error}; the {total} games written before are safe on disk there",
              file=sys.stderr)
        status = status or 1
    if status == 130:
        print(f"Interrupted: {args.out} holds {total} of {args.games} games; run the same command again to "
              "continue.", file=sys.stderr)
    print_summary(last, total, args.out)
    return status


# Searches per move of the placement tree: one per turn with a choice, about 66 in games of about 285
# moves (experiments/search_strength/cpu.py).
PLACEMENT_SEARCHES_PER_MOVE = 0.23


def progress_figures(stats, games: int, settings) -> tuple[int, int]:
    """(moves made, moves expected) in a run of ``games`` games so far. A game's moves are counted when it
    ends, so the moves of the games in progress are estimated from the evaluations: one per simulation and
    one for the root of each search, a search per move over cells and about one per four moves over
    placements."""
    expected = round(games * (stats.moves / stats.games if stats.games else TYPICAL_GAME_MOVES))
    per_move = settings.sims_per_move + 1
    if settings.tree == "placements":
        per_move *= PLACEMENT_SEARCHES_PER_MOVE
    made = max(stats.moves, int(stats.evaluations / per_move))
    return min(made, expected), expected


def print_summary(stats, total: int, out: Path) -> None:
    wins = ", ".join(f"{w:g}" for w in stats.payoff_sums)
    print(f"games: {stats.games} played, {total} in {out}")
    print(f"moves: {stats.moves} (mean game length {stats.mean_game_length:.1f}), "
          f"{stats.moves_per_second:,.1f} moves/s")
    print(f"evaluations: {stats.evaluations} in {stats.wall_time:.1f} s, {stats.evaluations_per_second:,.0f} per "
          f"second, cache hit rate {100 * stats.hit_rate:.1f}%")
    print(f"wins per seat: {wins} (a shared win counts its share)")
