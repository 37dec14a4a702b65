"""Matches between model-free players, each seat searched by its own player.

    python experiments/search_strength/run.py FOCUS OPPONENT --games 200 [--workers 2] [--seed 1]

A player is `greedy`, or `KIND:RULE:SIMS[:tree=T][:fpv=X]` with KIND `rollout`
(leaf values from one random playout) or `uniform` (every position at par),
RULE `puct` or `classic`, and T `cells` (the module's default: one search per
move) or `placements` (one search per turn with a choice). Game g seats FOCUS on seat g % 4 and OPPONENT on the
other three; every game is seeded (seed + g), so a row is reproducible. Prints
FOCUS's mean payoff per seat with its 95% interval (parity 0.25) and appends
the row to results.jsonl beside this script.
"""
from __future__ import annotations

import argparse
import json
import math
import multiprocessing as mp
import time
import types
from pathlib import Path

from tilora_zero._match import play_match

Z_95 = 1.959964


def player_config(text: str) -> types.SimpleNamespace:
    if text == "greedy":
        return types.SimpleNamespace(player="greedy")
    kind, rule, sims, *extra = text.split(":")
    config = types.SimpleNamespace(player=kind, search=rule, sims_per_move=int(sims), sample_moves=4,
                                   c_base=19652.0, c_init=1.25, dirichlet_alpha=0.3, exploration_fraction=0.0)
    for item in extra:
        name, value = item.split("=")
        if name == "tree":
            config.tree = value
        else:
            setattr(config, {"fpv": "first_play_value"}[name], float(value))
    return config


def play(job: tuple[str, str, int, int]) -> float:
    focus, opponent, game, seed = job
    seat = game % 4
    seats = [(player_config(focus if s == seat else opponent), None, None) for s in range(4)]
    _, _, payoff = play_match(game, seats, seed=seed + game)
    return payoff[seat]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("focus")
    parser.add_argument("opponent")
    parser.add_argument("--games", type=int, default=200)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    start = time.monotonic()
    with mp.get_context("spawn").Pool(args.workers) as pool:
        payoffs = pool.map(play, [(args.focus, args.opponent, g, args.seed) for g in range(args.games)], chunksize=1)
    n = len(payoffs)
    mean = sum(payoffs) / n
    sd = math.sqrt(sum((p - mean) ** 2 for p in payoffs) / (n - 1))
    half = Z_95 * sd / math.sqrt(n)
    row = {"focus": args.focus, "opponent": args.opponent, "games": n, "seed": args.seed,
           "mean_payoff_per_seat": round(mean, 4), "ci95": [round(mean - half, 4), round(mean + half, 4)],
           "minutes": round((time.monotonic() - start) / 60, 2)}
    print(f"{args.focus} vs 3 x {args.opponent}: {mean:.3f} [{mean - half:.3f}, {mean + half:.3f}] over {n} games "
          f"({row['minutes']} min)")
    with open(Path(__file__).with_name("results.jsonl"), "a") as out:
        out.write(json.dumps(row) + "\n")


if __name__ == "__main__":
    main()
