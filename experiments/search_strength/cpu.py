"""The cost of a player's games: four seats of the same player, one process, CPU time per game.

    python experiments/search_strength/cpu.py PLAYER [PLAYER ...] [--games 12] [--seed 1000]

PLAYER as in run.py (`rollout:puct:32`, `rollout:puct:136:tree=placements`). For
each it prints CPU seconds per game, searches per game (moves with visit
shares) and simulations per game. Comparing two designs at equal CPU per game
means choosing their simulations so that the first figure matches.
"""
from __future__ import annotations

import argparse
import time

from run import player_config
from tilora_zero._match import play_match


def cost(player: str, games: int, seed: int) -> dict:
    config = player_config(player)
    searches = moves = 0
    start = time.process_time()
    for game in range(games):
        history, policies, _ = play_match(game, [(config, None, None)] * 4, seed=seed + game)
        searches += sum(1 for entry in policies if entry)
        moves += len(history)
    cpu = time.process_time() - start
    sims = getattr(config, "sims_per_move", 0)
    return {"player": player, "cpu_per_game": cpu / games, "searches_per_game": searches / games,
            "simulations_per_game": searches * sims / games, "moves_per_game": moves / games}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("players", nargs="+")
    parser.add_argument("--games", type=int, default=12)
    parser.add_argument("--seed", type=int, default=1000)
    args = parser.parse_args()
    for player in args.players:
        row = cost(player, args.games, args.seed)
        print(f"{player}: {row['cpu_per_game']:.4f} CPU s/game, {row['searches_per_game']:.1f} searches, "
              f"{row['simulations_per_game']:.0f} simulations, {row['moves_per_game']:.1f} moves per game",
              flush=True)


if __name__ == "__main__":
    main()
