"""Compares the served value conventions with one trained network.

    python experiments/value_convention/run.py CHECKPOINT [--games 12] [--arena-games 24] [--sims 8]

For each convention (share: p, offset: p - 0.25, centred: 4p - 1) it plays
self-play games with root noise and measures the root visit distributions
(mean entropy in nats over roots with two or more children, and the fraction
of such roots whose visits all went to one child), then plays the network
against three uniform baseline seats (no root noise), each seat searched by its
own player. Writes a JSON summary (results.json, beside this script) unless
--json says otherwise.
"""
from __future__ import annotations

import argparse
import json
from pathlib import Path

import numpy as np

from tilora_zero.learning.arena import arena_settings, play_arena
from tilora_zero.networks import VALUE_CONVENTIONS, ServedNetwork
from tilora_zero.selfplay.local import SearchSettings, play_games
from tilora_zero.selfplay.players import Player


def root_statistics(records) -> dict:
    entropies, one_hot = [], 0
    for record in records:
        for move in range(record.num_moves):
            _, shares = record.policy(move)
            if len(shares) < 2:
                continue
            shares = np.asarray(shares, dtype=np.float64)
            nonzero = shares[shares > 0]
            entropies.append(float(-(nonzero * np.log(nonzero)).sum()))
            one_hot += int(len(nonzero) == 1)
    return {"roots": len(entropies), "mean_entropy": float(np.mean(entropies)),
            "one_hot_fraction": one_hot / len(entropies)}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("checkpoint")
    parser.add_argument("--games", type=int, default=12)
    parser.add_argument("--arena-games", type=int, default=24)
    parser.add_argument("--sims", type=int, default=8)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--json", type=Path, default=Path(__file__).with_name("results.json"))
    args = parser.parse_args()
    results = {}
    for convention in VALUE_CONVENTIONS:
        records = []
        # The conventions are the classic rule's; PUCT reads shares only.
        factory = ServedNetwork(args.checkpoint, "classic", "cpu", convention).factory()
        play_games(factory, range(args.games), SearchSettings(sims_per_move=args.sims, search="classic"),
                   args.workers, records.append)
        stats = root_statistics(records)
        match = arena_settings(args.sims, search="classic")
        arena = play_arena(Player(args.checkpoint, match, value_convention=convention), Player("uniform", match),
                           args.arena_games, args.workers, "1v3")
        low, high = arena.interval
        stats.update(arena_mean=arena.mean, arena_ci95=[low, high], arena_games=arena.games)
        results[convention] = stats
        print(f"{convention:8s} roots {stats['roots']:5d}  entropy {stats['mean_entropy']:.3f} nats  "
              f"one-hot {100 * stats['one_hot_fraction']:5.1f}%  vs uniform {arena.mean:.3f} "
              f"[{low:.3f}, {high:.3f}]", flush=True)
    args.json.write_text(json.dumps({"checkpoint": args.checkpoint, "sims": args.sims, "games": args.games,
                                     "results": results}, indent=2) + "\n")


if __name__ == "__main__":
    main()
