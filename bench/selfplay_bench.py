"""Self-play throughput: the toolkit's runner against a naive baseline.

Both play the same workload (the uniform network, the same number of games,
worker processes and simulations per move) and count the evaluation requests
that the module makes per second of wall time.

The baseline is the obvious way to serve the module: a process per game (at
most ``--workers`` at a time), every raw request (the id and 5 lists of 400
floats) sent through one ``multiprocessing.Queue`` to the main process, which
calls the network once per request and answers through the game's ``Pipe``.

CPU time per evaluation is printed beside the rates: on a machine that other
jobs keep busy, wall-clock rates mostly measure the share of the cores each
layout gets from the scheduler (a process whose threads keep sleeping and
waking gets more than one that never sleeps), while CPU time per evaluation is
what the rate on dedicated cores follows.

Usage: python bench/selfplay_bench.py [--games 8] [--workers 2] [--sims 50]
"""

from __future__ import annotations

import argparse
import functools
import multiprocessing as mp
import os
import queue
import resource
import time
import types

import numpy as np


def _quiet() -> None:
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)  # the module's summary lines
    os.dup2(devnull, 2)  # and its progress bar, were stderr a terminal
    os.close(devnull)


def _baseline_game(game_id: int, settings, requests, pipe, finished) -> None:
    _quiet()
    import tilora_self_play

    # The naive way sends the module's raw requests: lists of floats, not the toolkit's packed planes.
    config = types.SimpleNamespace(**settings.as_dict())
    history, _, _ = tilora_self_play.generate_game_data(game_id, config, requests, pipe)
    finished.put((game_id, len(history)))


def run_baseline(games: int, workers: int, settings) -> dict[str, float]:
    from tilora_zero.networks import UniformNetwork

    network = UniformNetwork()
    context = mp.get_context("spawn")
    requests, finished = context.Queue(), context.Queue()
    pipes: dict[int, object] = {}
    running: dict[int, mp.Process] = {}
    next_game, done, moves, evaluations = 0, 0, 0, 0
    start = time.monotonic()
    while done < games:
        while len(running) < workers and next_game < games:
            ours, theirs = context.Pipe()
            process = context.Process(target=_baseline_game, args=(next_game, settings, requests, theirs, finished))
            process.start()
            theirs.close()
            pipes[next_game], running[next_game] = ours, process
            next_game += 1
        try:
            game_id, planes = requests.get(timeout=0.05)
        except queue.Empty:
            pass
        else:
            logits, values = network(np.array(planes, dtype=np.float32).reshape(1, 5, 20, 20))
            pipes[game_id].send((logits[0], values[0]))
            evaluations += 1
        while True:
            try:
                game_id, length = finished.get_nowait()
            except queue.Empty:
                break
            running.pop(game_id).join()
            pipes.pop(game_id).close()
            done += 1
            moves += length
    wall = time.monotonic() - start
    return {"evaluations": evaluations, "moves": moves, "wall": wall, "hit_rate": 0.0}


def run_runner(games: int, workers: int, settings, games_per_worker: int) -> dict[str, float]:
    from tilora_zero.networks import load_network
    from tilora_zero.selfplay.local import ServingOptions, play_games

    options = ServingOptions(games_per_worker=games_per_worker)
    stats = play_games(functools.partial(load_network, "uniform"), range(games), settings, workers,
                       on_record=lambda record: None, options=options)
    return {"evaluations": stats.evaluations, "moves": stats.moves, "wall": stats.wall_time,
            "hit_rate": stats.hit_rate}


def cpu_seconds() -> float:
    """CPU time of this process and of its finished children: a figure that other jobs on the machine
    disturb less than wall time."""
    own, children = resource.getrusage(resource.RUSAGE_SELF), resource.getrusage(resource.RUSAGE_CHILDREN)
    return own.ru_utime + own.ru_stime + children.ru_utime + children.ru_stime


def main() -> None:
    from tilora_zero.selfplay.local import SearchSettings

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--games", type=int, default=8)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--sims", type=int, default=50)
    parser.add_argument("--games-per-worker", type=int, default=8)
    parser.add_argument("--skip-baseline", action="store_true")
    args = parser.parse_args()
    settings = SearchSettings(sims_per_move=args.sims, search="classic")  # the uniform network serves centred values
    print(f"workload: {args.games} games, {args.workers} workers, {args.sims} simulations per move, "
          f"uniform network, {os.cpu_count()} cores")
    results = {}
    runs = [("runner", lambda: run_runner(args.games, args.workers, settings, args.games_per_worker))]
    if not args.skip_baseline:
        runs.append(("baseline", lambda: run_baseline(args.games, args.workers, settings)))
    for name, run in runs:
        cpu = cpu_seconds()
        r = run()
        r["cpu"] = cpu_seconds() - cpu
        results[name] = r
        print(f"{name:>8}: {r['evaluations'] / r['wall']:9,.0f} evaluations/s  {r['moves'] / r['wall']:7,.1f} moves/s  "
              f"{1e6 * r['cpu'] / r['evaluations']:6.1f} CPU µs/evaluation  ({r['evaluations']} evaluations, "
              f"{r['moves']} moves in {r['wall']:.1f} s; cache hit rate {100 * r['hit_rate']:.1f}%)")
    if "baseline" in results:
        runner, baseline = results["runner"], results["baseline"]
        ratio = (runner["evaluations"] / runner["wall"]) / (baseline["evaluations"] / baseline["wall"])
        cpu_ratio = (baseline["cpu"] / baseline["evaluations"]) / (runner["cpu"] / runner["evaluations"])
        print(f"   ratio: {ratio:.2f}x in evaluations per second, {cpu_ratio:.2f}x in CPU time "
              "per evaluation")


if __name__ == "__main__":
    main()
