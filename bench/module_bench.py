"""Speed of tilora_self_play.generate_game_data with a trivial responder.

Plays complete games in-process: the queue's put keeps the request, the
pipe's recv returns a prebuilt reply (a list of lists, then NumPy float32
arrays). Prints evaluations per second and microseconds per evaluation, the
whole call and the module's own share (the call minus the responder's two
method calls, timed on their own).

    python bench/module_bench.py [--games N] [--sims 64 400] [--search classic puct]

Each search rule plays its games against the same replies, so the
rules' rates in one run compare directly.

With --profile, one more run is sampled with Linux perf and the time is
printed by layer (rules engine, search, Python bridge, CPython, C library)
with the top functions.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from collections import defaultdict
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
    search: str = "classic"


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
    values = [0.2, 0.3, 0.1, 0.4]  # payoff shares: the scale of both rules' finished games
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


MODULE_LAYERS = [
    ("module: rules engine", ("tilora::game::", "tilora::board::", "tilora::pieces::")),
    ("module: Python bridge", ("tilora::self_play::py::",)),
    ("module: search", ("tilora::self_play::", "std::")),
]
REPORT_LINE = re.compile(r"^\s*([\d.]+)%\s+(\S+)\s+\[.\]\s+(.*?)(?:\s+-\s+-)?\s*$")


def layer_of(dso: str, symbol: str) -> str:
    if dso.startswith("tilora_self_play"):
        for name, prefixes in MODULE_LAYERS:
            if symbol.startswith(prefixes):
                return name
        return "module: other" if not symbol.startswith("0x") else "module (symbols stripped)"
    if dso.startswith("libpython") or dso == "python3":
        return "CPython"
    if dso.startswith(("libc.", "libm.", "libstdc++")):
        return "C and C++ libraries"
    if dso.startswith("[kernel"):
        return "kernel"
    return "other"


def profile(sims: int, games: int) -> None:
    """Samples one run with perf and prints self time by layer and function."""
    if shutil.which("perf") is None:
        print("perf is not installed: no profile")
        return
    with tempfile.TemporaryDirectory() as tmp:
        data = os.path.join(tmp, "perf.data")
        run = [sys.executable, __file__, "--games", str(games), "--sims", str(sims)]
        recorded = subprocess.run(["perf", "record", "-F", "999", "-o", data, "--", *run],
                                  capture_output=True, text=True)
        if recorded.returncode != 0:
            print("perf record failed:", recorded.stderr.strip().splitlines()[-1:])
            return
        report = subprocess.run(
            ["perf", "report", "-i", data, "--no-children", "--sort", "dso,symbol", "--stdio", "-q"],
            capture_output=True, text=True, check=True,
        ).stdout
    shares = []
    for line in report.splitlines():
        match = REPORT_LINE.match(line)
        if match:
            shares.append((float(match.group(1)), match.group(2), match.group(3)))
    by_layer = defaultdict(float)
    for share, dso, symbol in shares:
        by_layer[layer_of(dso, symbol)] += share
    print(f"\nprofile at sims_per_move {sims}, both reply kinds (self time of the whole process):")
    for name, share in sorted(by_layer.items(), key=lambda item: -item[1]):
        print(f"  {share:6.2f}%  {name}")
    print("top functions:")
    for share, dso, symbol in shares[:15]:
        print(f"  {share:6.2f}%  {symbol[:90]}  [{layer_of(dso, symbol)}]")
    if by_layer.get("module (symbols stripped)"):
        print("(the installed module is stripped: build one with symbols, e.g. cmake -S . -B build/prof "
              "-DCMAKE_BUILD_TYPE=RelWithDebInfo, and put build/prof/self_play first on PYTHONPATH)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--games", type=int, default=2, help="games per setting (default 2)")
    parser.add_argument("--sims", type=int, nargs="+", default=[64, 400])
    parser.add_argument("--search", nargs="+", default=["classic", "puct"], choices=("classic", "puct"))
    parser.add_argument("--profile", action="store_true", help="also sample a run at the last --sims with perf")
    args = parser.parse_args()

    print("CPU time of this process (one core); wall time in brackets")
    print(f"{'reply':<14} {'rule':<8} {'sims':>5} {'games':>5} {'moves':>6} {'evals':>8} {'cpu s':>7} {'(wall s)':>9} "
          f"{'evals/s':>9} {'us/eval':>8} {'module us/eval':>15}")
    for name, reply in replies():
        for sims, rule in ((sims, rule) for sims in args.sims for rule in args.search):
            queue, pipe = Queue(), Pipe(reply)
            moves = 0
            start, cpu_start = time.perf_counter(), time.process_time()
            with quiet_stdout():
                for game in range(args.games):
                    history, _, _ = tilora_self_play.generate_game_data(game, Config(sims, search=rule), queue, pipe)
                    moves += len(history)
            elapsed = time.perf_counter() - start
            cpu = time.process_time() - cpu_start
            evals = queue.count
            responder = responder_seconds(Queue(), pipe, min(evals, 200_000)) * evals / min(evals, 200_000)
            print(f"{name:<14} {rule:<8} {sims:>5} {args.games:>5} {moves:>6} {evals:>8} {cpu:>7.2f} ({elapsed:>7.2f}) "
                  f"{evals / cpu:>9.0f} {cpu / evals * 1e6:>8.2f} "
                  f"{(cpu - responder) / evals * 1e6:>15.2f}")
    if args.profile:
        profile(args.sims[-1], args.games)


if __name__ == "__main__":
    main()
