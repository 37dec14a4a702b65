"""A network's search over placements against the same network's search over cells, at equal CPU per game.

    python experiments/search_strength/network_trees.py [--network experiments/learning_ladder/cell_run.pt]
        [--placements-sims 150] [--cells-sims 100] [--games 200] [--seed 9000]

One seat searches over placements, three over cells (the four seatings in turn),
no root noise, four sampled opening moves; 150 simulations over placements cost
a network's self-play what 100 over cells did (docs/search.md). Prints the
arena's summary as JSON: the placement player's payoff per seat with its 95%
interval (parity 0.25).
"""
from __future__ import annotations

import argparse
import json

from tilora_zero.learning.arena import arena_settings, play_arena
from tilora_zero.selfplay.players import Player


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--network", default="experiments/learning_ladder/cell_run.pt")
    parser.add_argument("--placements-sims", type=int, default=150)
    parser.add_argument("--cells-sims", type=int, default=100)
    parser.add_argument("--games", type=int, default=200)
    parser.add_argument("--seed", type=int, default=9000)
    args = parser.parse_args()
    placements = Player(args.network, arena_settings(args.placements_sims, tree="placements"))
    cells = Player(args.network, arena_settings(args.cells_sims, tree="cells"))
    print(json.dumps(play_arena(placements, cells, args.games, 2, "1v3", seed=args.seed).summary()))


if __name__ == "__main__":
    main()
