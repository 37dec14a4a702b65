"""Ray backend throughput and overheads, against the local runner on the same machine.

Three figures:

1. Self-play: the same workload (the uniform network, the same games,
   workers, games per worker and simulations per move) through the local
   runner and through the Ray backend, with the network in every worker and
   in one inference server actor. Evaluations per second (requests made by
   the searches) over the whole run, starting the worker processes or actors
   included (the local Ray instance is started before the clock runs), and
   "steady": from the first evaluation counted to the end, and their ratios
   to the local runner.
2. Per-batch overheads: an actor with several threads sends batches of packed
   positions to an actor that only echoes them and to an inference server
   actor (uniform network, no merging deadline): calls per second,
   milliseconds per call, and the CPU time per call of the sender and of the
   receiver (which, unlike the wall times, hardly depends on what else runs).
3. Bytes per position on the wire: the pickled request and reply of a batch,
   divided by its positions.

Usage: python bench/ray_bench.py [--games 8] [--workers 2] [--sims 50] [--games-per-worker 8] [--seconds 3]
"""

from __future__ import annotations

import argparse
import functools
import os
import pickle
import threading
import time

import numpy as np


class Clock:
    """Progress callback: the evaluations counted from the first one seen, to leave start-up out."""

    def __init__(self):
        self.first: tuple[float, int] | None = None

    def __call__(self, stats) -> None:
        if self.first is None and stats.evaluations > 0:
            self.first = (time.monotonic(), stats.evaluations)

    def result(self, stats, start: float) -> dict[str, float]:
        end = time.monotonic()
        first_time, first_count = self.first or (start, 0)
        return {"evaluations": stats.evaluations, "moves": stats.moves, "wall": end - start,
                "steady": (stats.evaluations - first_count) / max(end - first_time, 1e-9),
                "hit_rate": stats.hit_rate, "batches": stats.batches}


def run_local(args, settings) -> dict[str, float]:
    from tilora_zero.networks import load_network
    from tilora_zero.selfplay.local import ServingOptions, play_games

    clock, start = Clock(), time.monotonic()
    stats = play_games(functools.partial(load_network, "uniform"), range(args.games), settings, args.workers,
                       lambda record: None, clock, ServingOptions(games_per_worker=args.games_per_worker))
    return clock.result(stats, start)


def run_ray(session, args, settings, server: bool) -> dict[str, float]:
    from tilora_zero.networks import load_network
    from tilora_zero.selfplay.local import ServingOptions

    options = ServingOptions(games_per_worker=args.games_per_worker, server=server,
                             server_max_wait=args.server_max_wait)
    clock, start = Clock(), time.monotonic()
    stats = session.play_games(functools.partial(load_network, "uniform"), range(args.games), settings,
                               args.workers, lambda record: None, clock, options)
    return clock.result(stats, start)


def call_rates(seconds: float, threads_list: list[int], batches: list[int]) -> list[tuple]:
    """(target, threads, batch, calls per second, caller and target CPU milliseconds per call)
    for an echo actor and an inference server actor."""
    import ray

    from tilora_zero.networks import load_network
    from tilora_zero.selfplay.ray.actors import InferenceServer

    @ray.remote(num_cpus=0)
    class Echo:
        async def evaluate(self, packed):
            return packed

        async def counts(self):
            return 0, 0, 0, time.process_time()

    @ray.remote(num_cpus=0, max_concurrency=64)
    class Caller:
        def run(self, target, threads: int, batch: int, seconds: float) -> tuple[float, float, float]:
            packed = np.zeros((batch, 250), np.uint8)
            counts = [0] * threads
            target_cpu = ray.get(target.counts.remote())[3]
            stop = time.monotonic() + seconds

            def send(i: int) -> None:
                while time.monotonic() < stop:
                    ray.get(target.evaluate.remote(packed))
                    counts[i] += 1

            pool = [threading.Thread(target=send, args=(i,)) for i in range(threads)]
            start, cpu = time.monotonic(), time.process_time()
            for thread in pool:
                thread.start()
            for thread in pool:
                thread.join()
            wall, cpu = time.monotonic() - start, time.process_time() - cpu
            target_cpu = ray.get(target.counts.remote())[3] - target_cpu
            calls = max(1, sum(counts))
            return calls / wall, 1e3 * cpu / calls, 1e3 * target_cpu / calls

    caller = Caller.remote()
    targets = {
        "echo actor": Echo.remote(),
        "inference server": ray.remote(InferenceServer).options(num_cpus=0).remote(
            functools.partial(load_network, "uniform"), 1024, 0.0),
    }
    rows = []
    for name, target in targets.items():
        ray.get(caller.run.remote(target, 1, 1, 0.3))  # warm up
        for threads in threads_list:
            for batch in batches:
                rows.append((name, threads, batch, *ray.get(caller.run.remote(target, threads, batch, seconds))))
        ray.kill(target)
    ray.kill(caller)
    return rows


def wire_bytes(batch: int) -> tuple[float, float]:
    """Pickled bytes per position of a request and of its reply."""
    packed = np.zeros((batch, 250), np.uint8)
    reply = (np.zeros((batch, 400), np.float32), np.zeros((batch, 4), np.float32))
    return len(pickle.dumps(packed, protocol=5)) / batch, len(pickle.dumps(reply, protocol=5)) / batch


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--games", type=int, default=8)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--sims", type=int, default=50)
    parser.add_argument("--games-per-worker", type=int, default=8)
    parser.add_argument("--server-max-wait", type=float, default=0.002,
                        help="the inference server's merging deadline, seconds")
    parser.add_argument("--seconds", type=float, default=3.0, help="length of each call-rate measurement")
    args = parser.parse_args()

    from tilora_zero.selfplay.local import SearchSettings
    from tilora_zero.selfplay.ray import RayOptions, RaySelfPlay

    settings = SearchSettings(sims_per_move=args.sims, search="classic")  # the uniform network serves centred values
    print(f"workload: {args.games} games, {args.workers} workers x {args.games_per_worker} games, "
          f"{args.sims} simulations per move, uniform network; {os.cpu_count()} cores, "
          f"load average {os.getloadavg()[0]:.1f} at the start")
    results = {"local runner": run_local(args, settings)}
    started = time.monotonic()
    # The server shares the workers' cores: it needs none of its own for the uniform network.
    with RaySelfPlay(RayOptions(num_cpus=args.workers, server_cpus=0)) as session:
        session.connect()
        print(f"local Ray instance started in {time.monotonic() - started:.1f} s (not counted)")
        results["ray, network in workers"] = run_ray(session, args, settings, server=False)
        results["ray, inference server"] = run_ray(session, args, settings, server=True)

        print("\n1. self-play")
        base = results["local runner"]["evaluations"] / results["local runner"]["wall"]
        steady_base = results["local runner"]["steady"]
        print(f"{'':26s} {'evals/s':>9s} {'vs local':>8s} {'steady':>9s} {'vs local':>8s} {'moves/s':>8s} "
              f"{'wall s':>7s} {'cache':>6s} {'pos/batch':>9s}")
        for name, r in results.items():
            rate = r["evaluations"] / r["wall"]
            per_batch = (r["evaluations"] * (1 - r["hit_rate"]) / r["batches"]) if r["batches"] else 0.0
            print(f"{name:26s} {rate:9,.0f} {rate / base:8.2f} {r['steady']:9,.0f} {r['steady'] / steady_base:8.2f} "
                  f"{r['moves'] / r['wall']:8,.1f} {r['wall']:7.1f} {100 * r['hit_rate']:5.1f}% {per_batch:9.1f}")

        print("\n2. per-batch overheads (one caller actor, several threads, batches of packed positions)")
        print(f"{'target':18s} {'threads':>7s} {'batch':>5s} {'calls/s':>8s} {'ms/call':>8s} {'positions/s':>11s} "
              f"{'CPU ms/call: caller':>19s} {'target':>6s}")
        for name, threads, batch, rate, caller_cpu, target_cpu in call_rates(args.seconds, [1, 8], [1, 8, 60]):
            print(f"{name:18s} {threads:7d} {batch:5d} {rate:8,.0f} {1e3 * threads / rate:8.2f} "
                  f"{rate * batch:11,.0f} {caller_cpu:19.3f} {target_cpu:6.3f}")

    print("\n3. bytes per position on the wire (pickled)")
    for batch in (1, 8, 60):
        request, reply = wire_bytes(batch)
        print(f"batch {batch:3d}: request {request:7.1f} B, reply {reply:7.1f} B per position")


if __name__ == "__main__":
    main()
