"""Does a generation rise? One more generation of the learning experiment per self-play search.

    python experiments/improved_targets/run.py [--base runs/learning-ladder-int8] [--out runs/improved-targets]
                                               [--policy-games 400] [--search-games 200]

Every candidate starts where the learning experiment's loop stood after its first generation: the rollout
teacher's 128 games (generation 1's records) and the network trained on them (gen-001.pt of --base). It
plays generation 2's 128 self-play games with that network under its own search, trains generation 2 from
generation 1's weights on the window (the teacher's games and its own) with the loop's budget, and is
measured as the loop's final matches measure it, over placements at 32 simulations, seed 20,000:

* its policy alone (one simulation: the decision with the highest prior) against three greedy seats;
* its priors with one random playout per leaf against three rollout seats (the same simulations);

beside generation 1 in the same matches, so that each candidate's rise has an interval. The loop's
generation 1 rises no further over its next twenty generations (docs/learning.md): its search's visit
shares stay close to the priors that made them. The candidates: that search (PUCT over cells, 32
simulations, priors and one playout per leaf, visit shares as the target), and a Gumbel root over the
same tree (sequential halving over the considered children, the improved policy from completed values as
the target) at two value scales. Writes results.json beside this script.
"""
from __future__ import annotations

import argparse
import json
import math
import shutil
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))
from sibling import experiment  # noqa: E402  (experiments/sibling.py)

MATCH_SIMS = 32
CANDIDATES = {  # name: changes to the learning experiment's self-play search
    "visit shares (PUCT)": {},
    "Gumbel root, 16 children, scale 1": {"gumbel_actions": 16, "gumbel_scale": 1.0},
    "Gumbel root, 16 children, scale 0.1": {"gumbel_actions": 16, "gumbel_scale": 0.1},
}


def experiment_settings() -> dict:
    """The learning experiment's loop settings, read from its script."""
    return dict(experiment("learning_ladder").SETTINGS)


def start_from_generation_one(base: Path, run: Path, games: int) -> None:
    """``run`` holds ``base``'s first generation: its games and its network."""
    from tilora_zero.data.records import iter_records, write_records
    from tilora_zero.learning.loop import checkpoint_path, records_path

    if checkpoint_path(run, 1).exists():
        return
    write_records(records_path(run), (r for r in iter_records(records_path(base)) if r.game_number < games))
    checkpoint_path(run, 1).parent.mkdir(parents=True, exist_ok=True)
    shutil.copy(checkpoint_path(base, 1), checkpoint_path(run, 1))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--base", type=Path, default=Path("runs/learning-ladder-int8"))
    parser.add_argument("--out", type=Path, default=Path("runs/improved-targets"))
    parser.add_argument("--policy-games", type=int, default=400)
    parser.add_argument("--search-games", type=int, default=200)
    args = parser.parse_args()
    if not (args.base / "checkpoints" / "gen-001.pt").exists():
        parser.error(f"{args.base} holds no first generation: run experiments/learning_ladder/run.py "
                     f"--out {args.base} --max-generations 1 first")

    import torch

    from tilora_zero.learning.arena import arena_settings, play_against_baseline
    from tilora_zero.learning.loop import LoopSettings, checkpoint_path, play_generation, train_generation
    from tilora_zero.selfplay.players import Player

    torch.set_num_threads(2)
    base_settings = experiment_settings()
    results_path = HERE / "results.json"
    results = json.loads(results_path.read_text()) if results_path.exists() else {}
    searched = arena_settings(MATCH_SIMS, rollout_weight=1.0)
    policy = arena_settings(1)
    matches = (("policy_alone_vs_greedy", policy, "greedy", args.policy_games),
               ("priors_playouts_vs_rollout", searched, "rollout", args.search_games))

    def measure(row: dict, checkpoint: Path) -> None:
        for key, search, baseline, games in matches:
            if key not in row:
                result = play_against_baseline(Player(str(checkpoint), search), baseline, games, 2, seed=20_000)
                print(f"  {key}: {result.report()}", flush=True)
                row[key] = {"mean": round(result.mean, 4), "ci95": [round(x, 4) for x in result.interval],
                            "half_width": round(result.half_width, 4), "games": result.games}
                results_path.write_text(json.dumps(results, indent=2) + "\n")

    first = results.setdefault("generation 1", {})
    print("generation 1", flush=True)
    measure(first, checkpoint_path(args.base, 1))
    for name, changes in CANDIDATES.items():
        run = args.out / name.replace(", ", "-").replace(" ", "-").replace("(", "").replace(")", "")
        start_from_generation_one(args.base, run, base_settings["games_per_generation"])
        settings = LoopSettings.from_dict({**base_settings, **changes, "generations": 2})
        row = results.setdefault(name, {"search": settings.search.as_dict()})
        began = time.monotonic()
        play_generation(run, settings, 2, log=lambda line: print(line, flush=True))
        row.setdefault("selfplay_wall_s", round(time.monotonic() - began, 1))
        train_generation(run, settings, 2, log=lambda line: print(line, flush=True), progress=False)
        print(name, flush=True)
        measure(row, checkpoint_path(run, 2))
        for key, _, _, _ in matches:
            rise = row[key]["mean"] - first[key]["mean"]
            half = math.hypot(row[key]["half_width"], first[key]["half_width"])
            row[f"{key}_rise"] = {"mean": round(rise, 4), "ci95": [round(rise - half, 4), round(rise + half, 4)]}
        results_path.write_text(json.dumps(results, indent=2) + "\n")


if __name__ == "__main__":
    main()
