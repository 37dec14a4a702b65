"""Which records teach: one generation of the learning experiment, from the same teacher, per candidate.

    python experiments/record_targets/run.py [--out runs/record-targets] [--games 128] [--match-games 200]

The teacher is the loop's generation zero, the rollout baseline (a search whose leaves are valued by one
random playout), playing self-play games at equal CPU per game under each tree: over cells at 32
simulations, over placements at 136 (docs/search.md measured the two at 1.200 and 1.225 CPU s a game).
A fresh 3 x 16 network (the experiment's) trains on each candidate's records with the loop's budget (600
steps of 256), and is measured as the loop's final matches measure it, over placements at 32 simulations:

* its policy alone (one simulation: the decision with the highest prior) against three greedy seats;
* its priors with one random playout per leaf against three rollout seats (at the same simulations).

Candidates: the records of the search over placements (a target at a searched turn start, each
decision's share spread over its cells) and over cells (a target at every move, conditional on the
cells laid so far), each drawn uniformly or with half of every batch from the positions whose target
chooses (``TrainSettings.choice_share``). Writes results.json beside this script.
"""
from __future__ import annotations

import argparse
import json
import time
from dataclasses import replace
from pathlib import Path

HERE = Path(__file__).resolve().parent
TEACHERS = {"placements": 136, "cells": 32}  # simulations of the teacher's search: equal CPU per game
CANDIDATES = {  # name: (teacher's tree, choice_share)
    "placements": ("placements", 0.0),
    "placements, half choices": ("placements", 0.5),
    "cells": ("cells", 0.0),
    "cells, half choices": ("cells", 0.5),
}
NETWORK = dict(blocks=3, channels=16)
TRAIN = dict(steps=600, batch_size=256, learning_rate=0.002, seed=7)
MATCH_SIMS = 32


def teacher_records(out: Path, tree: str, games: int, workers: int) -> Path:
    from tilora_zero.data.records import RecordWriter
    from tilora_zero.data.runs import games_on_disk, missing_games
    from tilora_zero.selfplay.local import run_games
    from tilora_zero.selfplay.matches import Match
    from tilora_zero.selfplay.players import Player
    from tilora_zero.settings import SearchSettings, ServingOptions

    records = out / f"teacher-{tree}"
    missing = missing_games(games_on_disk(records), range(games)) if records.exists() else list(range(games))
    if missing:
        settings = SearchSettings(sims_per_move=TEACHERS[tree], tree=tree, seed=11)
        with RecordWriter(records) as writer:
            run_games(Match([Player("rollout", settings)], [(0, 0, 0, 0)], 11), missing, workers, writer.add,
                      options=ServingOptions(games_per_worker=16))
    return records


def trained(out: Path, name: str, records: Path, choice_share: float) -> Path:
    import torch

    from tilora_zero.data.dataset import load_dataset
    from tilora_zero.learning.training import train
    from tilora_zero.networks.resnet import TiloraNet, save_checkpoint
    from tilora_zero.settings import TrainSettings

    path = out / f"{name.replace(', ', '-').replace(' ', '-')}.pt"
    if not path.exists():
        torch.set_num_threads(2)
        torch.manual_seed(TRAIN["seed"])
        model = TiloraNet(**NETWORK)
        train(model, load_dataset(records), TrainSettings(**TRAIN, choice_share=choice_share), progress=False)
        save_checkpoint(path, model, {"candidate": name}, value_convention="share")
    return path


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", type=Path, default=Path("runs/record-targets"))
    parser.add_argument("--games", type=int, default=128)
    parser.add_argument("--match-games", type=int, default=200)
    parser.add_argument("--workers", type=int, default=2)
    args = parser.parse_args()

    from tilora_zero.learning.arena import arena_settings, play_against_baseline
    from tilora_zero.selfplay.players import Player

    args.out.mkdir(parents=True, exist_ok=True)
    results_path = HERE / "results.json"
    results = json.loads(results_path.read_text()) if results_path.exists() else {}
    searched = arena_settings(MATCH_SIMS, rollout_weight=1.0)
    policy = replace(searched, rollout_weight=0.0, sims_per_move=1)
    for name, (tree, share) in CANDIDATES.items():
        began = time.process_time()
        checkpoint = trained(args.out, name, teacher_records(args.out, tree, args.games, args.workers), share)
        row = results.setdefault(name, {"teacher": f"rollout over {tree}, {TEACHERS[tree]} simulations",
                                        "choice_share": share})
        for key, search, baseline in (("policy_alone_vs_greedy", policy, "greedy"),
                                      ("priors_playouts_vs_rollout", searched, "rollout")):
            if key not in row:
                result = play_against_baseline(Player(str(checkpoint), search), baseline, args.match_games,
                                               args.workers, seed=20_000)
                print(f"{name}: {result.report()}", flush=True)
                row[key] = {"mean": round(result.mean, 4), "ci95": [round(x, 4) for x in result.interval],
                            "games": result.games}
                results_path.write_text(json.dumps(results, indent=2) + "\n")
        row.setdefault("parent_cpu_s", round(time.process_time() - began, 1))
    results_path.write_text(json.dumps(results, indent=2) + "\n")


if __name__ == "__main__":
    main()
