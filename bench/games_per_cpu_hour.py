"""Games per CPU-hour of self-play with a real network at the toolkit's defaults, beside the module's and
the network's own rates, so that a change to any part is judged by what a learning run buys with it.

    python bench/games_per_cpu_hour.py [--network CHECKPOINT] [--games 16] [--workers 2] [--sims 150]
                                       [--games-per-worker N] [--tree placements] [--precision int8]

Prints four rows, each measured on this machine in this run:

* self-play: the ``selfplay`` command's backend at the given settings; CPU seconds per game (this process
  and its worker processes, start-up included) and games per CPU-hour;
* the module and runner alone: the same games with the ``uniform`` network (no inference), CPU µs per
  request;
* the network alone: CPU µs per position at the mean batch size the self-play row sent;
* the preparation: what the parent spends reading the checkpoint and making what the workers serve;

and what the last three rows add up to beside the first.

CPU time, not wall time: on a machine that other jobs keep busy, wall time measures the share of the
cores each run got. Run it on a quiet machine, and compare two versions of the code in one session.
"""
from __future__ import annotations

import argparse
import os
import resource
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
DEFAULT_NETWORK = ROOT / "experiments" / "learning_ladder" / "placement_run.pt"


def cpu_seconds() -> float:
    """CPU time of this process and of its finished children."""
    own, children = resource.getrusage(resource.RUSAGE_SELF), resource.getrusage(resource.RUSAGE_CHILDREN)
    return own.ru_utime + own.ru_stime + children.ru_utime + children.ru_stime


def self_play(source: str, games: int, workers: int, settings, options, **binding) -> dict[str, float]:
    from tilora_zero.networks import ServedNetwork
    from tilora_zero.selfplay.local import play_games

    cpu = cpu_seconds()
    network = ServedNetwork(source, settings.search, **binding).factory()
    prepare = cpu_seconds() - cpu
    moves = 0

    def count(record) -> None:
        nonlocal moves
        moves += len(record.cells)

    stats = play_games(network, range(games), settings, workers, on_record=count, options=options)
    cpu = cpu_seconds() - cpu
    return {"cpu": cpu, "prepare": prepare, "wall": stats.wall_time, "games": games, "moves": moves,
            "requests": stats.evaluations, "positions": stats.positions, "batches": stats.batches}


def network_alone(source: str, search: str, batch: int, binding: dict, seconds: float = 3.0) -> float:
    """CPU µs per position of the served network (one thread, as a worker runs it) on real positions."""
    from tilora_zero.networks import ServedNetwork
    from tilora_zero.networks.quantize import calibration_planes
    from tilora_zero.selfplay.processes import limit_torch_threads

    network = ServedNetwork(source, search, **binding).load()
    limit_torch_threads(1)
    planes = calibration_planes(batch)  # positions of random games
    network(planes)
    calls, start = 0, time.process_time()
    while time.process_time() - start < seconds:
        network(planes)
        calls += 1
    return 1e6 * (time.process_time() - start) / (calls * batch)


def main() -> None:
    from tilora_zero.settings import SearchSettings, ServingOptions

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--network", default=str(DEFAULT_NETWORK))
    parser.add_argument("--games", type=int, default=16)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--sims", type=int, default=None, help="default: the toolkit's")
    parser.add_argument("--tree", default=None, help="default: the toolkit's")
    parser.add_argument("--games-per-worker", type=int, default=None, help="default: the toolkit's")
    parser.add_argument("--precision", default="auto", help="fp32, int8 or auto (the toolkit's default)")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--skip-parts", action="store_true", help="only the self-play row")
    args = parser.parse_args()

    overrides = {k: v for k, v in {"sims_per_move": args.sims, "tree": args.tree}.items() if v is not None}
    settings = SearchSettings(seed=args.seed, **overrides)
    options = ServingOptions(**({"games_per_worker": args.games_per_worker} if args.games_per_worker else {}))
    print(f"{args.games} games, {args.workers} workers x {options.games_per_worker} games, "
          f"{settings.tree}, {settings.sims_per_move} simulations, network {Path(args.network).name} "
          f"{args.precision}, "
          f"{os.cpu_count()} cores")
    binding = {} if args.precision == "auto" else {"precision": args.precision}
    run = self_play(args.network, args.games, args.workers, settings, options, **binding)
    per_game = run["cpu"] / run["games"]
    print(f"self-play        {per_game:6.3f} CPU s per game  {3600 / per_game:7,.0f} games per CPU-hour  "
          f"({run['requests'] / run['games']:,.0f} requests and {run['positions'] / run['games']:,.0f} network "
          f"positions per game, mean batch {run['positions'] / max(run['batches'], 1):.1f}, wall {run['wall']:.1f} s)")
    if args.skip_parts:
        return
    alone = self_play("uniform", args.games, args.workers, settings, options)
    print(f"module + runner  {1e6 * alone['cpu'] / alone['requests']:6.1f} CPU µs per request (uniform network, "
          f"{alone['cpu'] / alone['games']:.3f} CPU s per game)")
    batch = max(1, round(run["positions"] / max(run["batches"], 1)))
    micro = network_alone(args.network, settings.search, batch, binding)
    network_part = micro * run["positions"] / run["games"] / 1e6
    print(f"network alone    {micro:6.1f} CPU µs per position at batch {batch} ({network_part:.3f} CPU s per game)")
    prepare = run["prepare"] / run["games"]
    print(f"preparation      {run['prepare']:6.2f} CPU s in the parent, reading and exporting or quantising the "
          f"network ({prepare:.3f} CPU s per game)")
    parts = alone["cpu"] / alone["games"] + network_part + prepare
    print(f"the parts sum to {parts:.3f} CPU s per game, {100 * parts / per_game:.0f}% of the measured self-play")


if __name__ == "__main__":
    main()
