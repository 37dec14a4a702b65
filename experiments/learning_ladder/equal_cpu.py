"""The rollout baseline's simulations at which its games cost what the network's player's games cost.

    python experiments/learning_ladder/equal_cpu.py [--network cell_run.pt] [--games 24] [--sims 32 64 96 128]

Plays --games matches of four seats of one player through the local backend (2 workers) and prints CPU
seconds per game (this process and its workers): the network's player as the learning experiment's final
matches play it (its priors, one random playout per leaf, 32 simulations over placements), then the
rollout baseline at each of --sims. The simulations where the rollout line crosses the network's cost
are the baseline's at equal CPU (ROLLOUT_SIMS_AT_EQUAL_CPU in run.py).
"""
from __future__ import annotations

import argparse
import resource
from pathlib import Path

HERE = Path(__file__).resolve().parent


def cpu_seconds() -> float:
    own, children = resource.getrusage(resource.RUSAGE_SELF), resource.getrusage(resource.RUSAGE_CHILDREN)
    return own.ru_utime + own.ru_stime + children.ru_utime + children.ru_stime


def cost(source: str, settings, games: int) -> float:
    from tilora_zero.selfplay.local import run_games
    from tilora_zero.selfplay.matches import Match
    from tilora_zero.selfplay.players import Player

    start = cpu_seconds()
    run_games(Match([Player(source, settings)], [(0, 0, 0, 0)], 3), range(games), 2, lambda record: None)
    return (cpu_seconds() - start) / games


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--network", default=str(HERE / "cell_run.pt"))
    parser.add_argument("--games", type=int, default=24)
    parser.add_argument("--sims", type=int, nargs="+", default=[32, 64, 96, 128])
    args = parser.parse_args()
    from dataclasses import replace

    from tilora_zero.learning.arena import arena_settings

    searched = arena_settings(32, rollout_weight=1.0)
    print(f"network {Path(args.network).name}, priors + one playout per leaf, 32 sims over placements: "
          f"{cost(args.network, searched, args.games):.3f} CPU s per game", flush=True)
    for sims in args.sims:
        print(f"rollout, {sims} sims over placements: "
              f"{cost('rollout', replace(searched, sims_per_move=sims), args.games):.3f} CPU s per game", flush=True)


if __name__ == "__main__":
    main()
