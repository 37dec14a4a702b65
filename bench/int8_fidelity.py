"""How far the int8 network's replies lie from the float32 network's, on the positions of its own games.

    python bench/int8_fidelity.py [--network CHECKPOINT] [--games 24] [--sims 150] [--tree placements]

Plays seeded self-play games with the float32 network, replays every position, and prints for the int8
network against the float32 one: the mean and largest change of the legal cells' log-probabilities, how
often the most likely cell agrees, the mean and largest change of the values, the share of the float32
values' variance the int8 values explain, and each precision's R² against the games' outcomes (the mover's
payoff), with a 95% bootstrap interval over games for the difference. The calibration positions come from
random games, never from these.
"""
from __future__ import annotations

import argparse
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
DEFAULT_NETWORK = ROOT / "experiments" / "learning_ladder" / "placement_run.pt"


def r_squared(predicted: np.ndarray, actual: np.ndarray) -> float:
    return float(1.0 - ((actual - predicted) ** 2).sum() / ((actual - actual.mean()) ** 2).sum())


def main() -> None:
    from tilora_zero import _engine
    from tilora_zero.networks import ServedNetwork
    from tilora_zero.selfplay.local import play_games
    from tilora_zero.settings import SearchSettings

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--network", default=str(DEFAULT_NETWORK))
    parser.add_argument("--games", type=int, default=24)
    parser.add_argument("--sims", type=int, default=150)
    parser.add_argument("--tree", default="placements")
    parser.add_argument("--seed", type=int, default=3)
    args = parser.parse_args()

    settings = SearchSettings(seed=args.seed, sims_per_move=args.sims, tree=args.tree)
    records = []
    play_games(ServedNetwork(args.network, settings.search).factory(), range(args.games), settings, 2,
               on_record=records.append)
    fp32 = ServedNetwork(args.network, settings.search).load()
    int8 = ServedNetwork(args.network, settings.search, precision="int8").load()
    rows = []
    for game, record in enumerate(records):
        planes = np.asarray(_engine.replay_planes(record.cells.astype(np.int64)), dtype=np.float32)
        (fp_logits, fp_values), (q_logits, q_values) = fp32(planes), int8(planes)
        movers = record.players.astype(np.int64)
        at = np.arange(len(movers))
        rows.append((game, planes[:, 4].reshape(-1, 400) != 0, fp_logits, q_logits, fp_values[at, movers],
                     q_values[at, movers], record.payoff[movers]))
    legal = np.concatenate([r[1] for r in rows])
    fp_logits, q_logits = np.concatenate([r[2] for r in rows]), np.concatenate([r[3] for r in rows])
    fp_values, q_values, outcome = (np.concatenate([r[i] for r in rows]) for i in (4, 5, 6))
    games = np.concatenate([np.full(len(r[4]), r[0]) for r in rows])
    moved = np.abs(q_logits - fp_logits)[legal]
    agree = np.mean([np.argmax(np.where(m, a, -np.inf)) == np.argmax(np.where(m, b, -np.inf))
                     for m, a, b in zip(legal, q_logits, fp_logits)])
    print(f"{len(outcome):,} positions of {args.games} games ({args.tree}, {args.sims} simulations), "
          f"network {Path(args.network).name}")
    print(f"log-probabilities of the legal cells moved {moved.mean():.3f} on average, at most {moved.max():.2f}; "
          f"the most likely cell agreed in {100 * agree:.1f}% of positions")
    value_moved = np.abs(q_values - fp_values)
    print(f"values moved {value_moved.mean():.4f} on average, at most {value_moved.max():.3f}; the int8 values "
          f"explain {100 * r_squared(q_values, fp_values):.1f}% of the float32 values' variance")
    rng = np.random.default_rng(0)
    differences = []
    for _ in range(1000):
        chosen = np.isin(games, rng.integers(0, args.games, args.games))
        differences.append(r_squared(q_values[chosen], outcome[chosen]) - r_squared(fp_values[chosen], outcome[chosen]))
    low, high = np.percentile(differences, [2.5, 97.5])
    print(f"R² against the outcome: float32 {r_squared(fp_values, outcome):.4f}, int8 {r_squared(q_values, outcome):.4f} "
          f"(int8 - float32: {r_squared(q_values, outcome) - r_squared(fp_values, outcome):+.4f}, "
          f"95% interval [{low:+.4f}, {high:+.4f}])")


if __name__ == "__main__":
    main()
