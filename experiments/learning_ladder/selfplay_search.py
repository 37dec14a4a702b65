"""How strong the cell-tree run's self-play search was: its final network's priors with playout values.

    python experiments/learning_ladder/selfplay_search.py [--games 200]

Self-play in that run searched over the network's priors and valued
every leaf by one random playout (rollout_weight 1). This plays that search
with cell_run.pt (the cell-tree run's network), on one seat against three seats of each baseline at 32
simulations (seed 10,000, as the final matches), and writes
selfplay_search.json beside this script. It measures the games the network
learns from, and whether its priors help a playout search beyond the rollout
baseline's equal priors. (Today's experiment plays its matches with playout
values, so its results.json measures this directly for its own network.)
"""
from __future__ import annotations

import argparse
import json
from pathlib import Path

HERE = Path(__file__).resolve().parent


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--games", type=int, default=200, help="games of each match")
    parser.add_argument("--workers", type=int, default=2)
    args = parser.parse_args()

    from tilora_zero.learning.arena import arena_settings, play_against_baseline, result_dict
    from tilora_zero.learning.loop import LADDER
    from tilora_zero.selfplay.players import Player

    player = Player(str(HERE / "cell_run.pt"), arena_settings(32, tree="cells", rollout_weight=1.0))
    results = {}
    for baseline in LADDER:
        result = play_against_baseline(player, baseline, args.games, args.workers, seed=10_000,
                                       settings=arena_settings(32, tree="cells"))
        print(result.report(), flush=True)
        results[baseline] = {k: v for k, v in result_dict(result).items()
                             if k in ("games", "a_mean_payoff_per_seat", "ci95", "elo")}
    (HERE / "selfplay_search.json").write_text(json.dumps(results, indent=2) + "\n")


if __name__ == "__main__":
    main()
