"""Speed of tilora_self_play.generate_game_data with a trivial responder.

Plays complete games in-process: the queue's put keeps the request, the
pipe's recv returns a prebuilt reply (a list of lists, then NumPy float32
arrays). Prints evaluations per second and microseconds per evaluation, the
whole call and the module's own share (the call minus the responder's two
method calls, timed on their own).

    python bench/module_bench.py [--games N] [--sims 64 400]

Run under a profiler for where the time goes, for example
    perf record -g python bench/module_bench.py --sims 400 --games 1
"""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
import time
from dataclasses import dataclass

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # no idle BLAS threads competing for the core

import numpy as np  # noqa: E402

import tilora_self_play  # noqa: E402


@dataclass
class Config:
    sims_per_move: int
    sample_moves: int = 30
    c_base: float = 19652.0
    c_init: float = 1.25
    dirichlet_alpha: float = 0.3
    exploration_fraction: float = 0.25


class Queue:
    def __init__(self) -> None:
        self.request = None
        self.count = 0

    def put(self, request) -> None:
        self.request = request
        self.count += 1


class Pipe:
    def __init__(self, reply) -> None:
        self.reply = reply

    def recv(self):
        return self.reply


def replies():
    # Distinct logits so that priors differ; values in player order.
    logits = [((k * 37) % 101) / 100.0 - 0.5 for k in range(400)]
    values = [0.1, -0.2, 0.3, -0.1]
    yield "list", [logits, values]
    yield "numpy-float32", [np.asarray(logits, np.float32), np.asarray(values, np.float32)]


@contextlib.contextmanager
def quiet_stdout():
    """Silences the module's summary lines (C stdio on file descriptor 1)."""
    sys.stdout.flush()
    saved = os.dup(1)
    with open(os.devnull, "w") as devnull:
        os.dup2(devnull.fileno(), 1)
        try:
            yield
        finally:
            os.dup2(saved, 1)
            os.close(saved)


def responder_seconds(queue: Queue, pipe: Pipe, calls: int) -> float:
    """Time of `calls` put + recv pairs on their own, via the same C calls."""
    request = (0, [[0.0] * 400 for _ in range(5)])
    put, recv = queue.put, pipe.recv
    start = time.process_time()
    for _ in range(calls):
        put(request)
        recv()
    return time.process_time() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--games", type=int, default=2, help="games per setting (default 2)")
    parser.add_argument("--sims", type=int, nargs="+", default=[64, 400])
    args = parser.parse_args()

    print("CPU time of this process (one core); wall time in brackets")
    print(f"{'reply':<14} {'sims':>5} {'games':>5} {'moves':>6} {'evals':>8} {'cpu s':>7} {'(wall s)':>9} "
          f"{'evals/s':>9} {'us/eval':>8} {'module us/eval':>15}")
    for name, reply in replies():
        for sims in args.sims:
            queue, pipe = Queue(), Pipe(reply)
            moves = 0
            start, cpu_start = time.perf_counter(), time.process_time()
            with quiet_stdout():
                for game in range(args.games):
                    history, _, _ = tilora_self_play.generate_game_data(game, Config(sims), queue, pipe)
                    moves += len(history)
            elapsed = time.perf_counter() - start
            cpu = time.process_time() - cpu_start
            evals = queue.count
            responder = responder_seconds(Queue(), pipe, min(evals, 200_000)) * evals / min(evals, 200_000)
            print(f"{name:<14} {sims:>5} {args.games:>5} {moves:>6} {evals:>8} {cpu:>7.2f} ({elapsed:>7.2f}) "
                  f"{evals / cpu:>9.0f} {cpu / evals * 1e6:>8.2f} "
                  f"{(cpu - responder) / evals * 1e6:>15.2f}")


if __name__ == "__main__":
    main()
