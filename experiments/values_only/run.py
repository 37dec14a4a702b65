"""The learning experiment without playouts: the loop for at most an hour with the network's own values in
every search, then the final matches.

    python experiments/values_only/run.py [--out runs/values-only] [--minutes 60] [--max-generations N]
                                          [--games 400] [--tree cells|placements] [--no-stretch] [--r2-only]

The settings are the learning experiment's (experiments/learning_ladder/run.py: generation zero the rollout
baseline, a 3 x 16 network served in int8, 32 simulations, self-play over cells with a Gumbel root, the
ladder over placements against rollout), except for the values: no search, in self-play or on the ladder,
plays out a leaf (rollout weight 0), and each generation's value head is the softmax regression of the
window's outcomes on the counts (four linear scores reading each seat's tiles, open corners and free cells
and the mover's legal cells, fitted after training: loop --value-fit counts). Fitted to the outcomes of the
learning experiment's self-play, that head explained 0.32 [0.25, 0.39] of held-out 16-playout means and
its search scored 0.33 [0.27, 0.40] against three rollout seats at about their CPU
(experiments/value_counts), where every trained value head stayed below 0.25.

The final matches, each spread over the four seats, seeded 10,000: the final network's search (its priors
and values, 32 simulations over placements) on one seat against three rollout seats given the simulations
at which their games cost what its games cost (measured here, 48 games each), and the first generation in
the same match, so that the rise has an interval; its policy alone against three greedy seats; and, the
stretch, against three seats of the learning experiment's network (its priors with one playout per leaf,
32 simulations) with the simulations at which it costs what they cost. --games games each. Then the R² of
experiments/playout_fit's held-out 16-playout means explained by the final and first generations' values.
Writes results.json, ladder.png, losses.png and final.pt beside this script (with --tree placements, self-play
over placements and each value fit on turn starts alone, results-placements.json and so on; the second run
was made with --out runs/values-only-placements --tree placements --no-stretch).
"""
from __future__ import annotations

import argparse
import json
import shutil
import sys
import time
from dataclasses import asdict, replace
from pathlib import Path

HERE = Path(__file__).resolve().parent
LADDER_DIR = HERE.parent / "learning_ladder"
sys.path[:0] = [str(HERE.parent), str(LADDER_DIR)]
from loop_budget import brief, budgeted_loop, rise  # noqa: E402  (experiments/learning_ladder)
from sibling import experiment  # noqa: E402  (experiments/sibling.py)

ladder = experiment("learning_ladder")
SETTINGS = {**ladder.SETTINGS, "rollout_weight": 0.0, "ladder_rollout_weight": 0.0, "value_counts": True,
            "value_hidden": 4, "value_fit": "counts"}
PLAYOUT_NETWORK = LADDER_DIR / "final.pt"  # the learning experiment's network, searched with playouts
COST_GAMES = 48


def sims_at_equal_cpu(cost_of, target: float, sims: int, measured: float) -> int:
    """The simulations at which a player costs ``target`` CPU seconds a game, from its cost ``measured`` at
    ``sims`` (a search's cost grows about in proportion), measured once more there and corrected along the
    line through both points."""
    guess = max(1, round(sims * target / measured))
    if guess == sims:
        return guess
    at_guess = cost_of(guess)
    slope = (at_guess - measured) / (guess - sims)
    return max(1, round(guess + (target - at_guess) / slope)) if slope > 0 else guess


def values_r2(checkpoints: dict[str, str]) -> dict:
    """R² of the 16-playout means at experiments/playout_fit's held-out turn starts explained by each
    checkpoint's values, with 95% bootstrap intervals over the held-out games."""
    import numpy as np

    from tilora_zero.networks.resnet import load_model

    fit = experiment("playout_fit")
    data = fit.labelled_positions(fit.RUN / "records", 400)
    test = data["held_out"] & data["turn_start"]
    label = fit.mover_frame(data["label"], data["movers"])[test]
    out = {}
    for name, checkpoint in checkpoints.items():
        model, _ = load_model(checkpoint)
        predicted = fit.predict(model.eval(), data["planes"][test])
        out[name] = fit.r2_with_interval(predicted, label, data["games"][test], np.random.default_rng(0))
        print(f"{name}: R2 of held-out playout means {out[name]['r2']:.3f} {out[name]['interval']}", flush=True)
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", type=Path, default=Path("runs/values-only"))
    parser.add_argument("--minutes", type=float, default=60.0, help="wall-time budget of the loop")
    parser.add_argument("--max-generations", type=int, help="stop the loop after this many generations (at least 1)")
    parser.add_argument("--games", type=int, default=ladder.FRONTIER_GAMES, help="games of each final match")
    parser.add_argument("--tree", choices=("cells", "placements"), default="cells",
                        help="self-play's search tree (placements: results-placements.json and so on)")
    parser.add_argument("--no-stretch", action="store_true", help="leave out the match against the playouts")
    parser.add_argument("--r2-only", action="store_true",
                        help="only the R² of the final and first generations' values, added to results.json")
    args = parser.parse_args()
    if args.max_generations is not None and args.max_generations < 1:
        parser.error(f"--max-generations must be at least 1, got {args.max_generations}")

    from equal_cpu import cost  # experiments/learning_ladder/equal_cpu.py
    from tilora_zero.learning.arena import play_arena
    from tilora_zero.learning.ladder import plot_ladder
    from tilora_zero.learning.loop import checkpoint_path
    from tilora_zero.learning.training import read_metrics
    from tilora_zero.selfplay.players import Player

    suffix = "" if args.tree == "cells" else f"-{args.tree}"
    if args.r2_only:
        path = HERE / f"results{suffix}.json"
        results = json.loads(path.read_text())
        generation = results["generations"]
        results["values_r2"] = values_r2({"final": str(checkpoint_path(args.out, generation)),
                                          "first_generation": str(checkpoint_path(args.out, 1))})
        path.write_text(json.dumps(results, indent=2) + "\n")
        return
    start = time.monotonic()
    settings, generation, loop_minutes = budgeted_loop(args.out, {**SETTINGS, "tree": args.tree}, args.minutes,
                                                       args.max_generations)
    final, first = str(checkpoint_path(args.out, generation)), str(checkpoint_path(args.out, 1))
    searched = settings.ladder_settings()
    sims = searched.sims_per_move
    playouts = replace(searched, rollout_weight=1.0)
    costs = {"values": cost(final, searched, COST_GAMES), "rollout": cost("rollout", searched, COST_GAMES),
             "playouts": cost(str(PLAYOUT_NETWORK), playouts, COST_GAMES)}
    print(f"CPU s per game at {sims} simulations: " + ", ".join(f"{k} {v:.3f}" for k, v in costs.items()), flush=True)
    rollout_sims = sims_at_equal_cpu(lambda s: cost("rollout", replace(searched, sims_per_move=s), COST_GAMES),
                                     costs["values"], sims, costs["rollout"])
    stretch_sims = None if args.no_stretch else sims_at_equal_cpu(
        lambda s: cost(final, replace(searched, sims_per_move=s), COST_GAMES), costs["playouts"], sims, costs["values"])
    rollout = replace(searched, sims_per_move=rollout_sims)
    policy = replace(searched, sims_per_move=1)
    finals = {}
    matches = [("rollout_equal_cpu", final, searched, "rollout", rollout),
               ("first_generation_rollout_equal_cpu", first, searched, "rollout", rollout),
               ("greedy_policy_alone", final, policy, "greedy", None)]
    if stretch_sims is not None:
        matches.append(("playouts_equal_cpu", final, replace(searched, sims_per_move=stretch_sims),
                        str(PLAYOUT_NETWORK), playouts))
    for name, checkpoint, search, baseline, baseline_search in matches:
        opponent = Player(baseline, baseline_search or search)
        result = play_arena(Player(checkpoint, search), opponent, args.games, settings.workers, "1v3", seed=10_000)
        print(result.report(), flush=True)
        finals[name] = brief(result)

    metrics = read_metrics(args.out / "metrics.jsonl")
    results = {
        "settings": asdict(settings),
        "loop_minutes": round(loop_minutes, 1),
        "total_minutes": round((time.monotonic() - start) / 60, 1),
        "generations": generation,
        "ladder": [{k: m[k] for k in ("generation", "baseline", "games", "a_mean_payoff_per_seat", "ci95")}
                   for m in metrics if m.get("kind") == "ladder"],
        "value_fits": [m for m in metrics if m.get("kind") == "value_fit"],
        "cpu_s_per_game": costs,
        "rollout_sims_at_equal_cpu": rollout_sims,
        "values_sims_at_playouts_cpu": stretch_sims,
        "final": finals,
        "values_r2": values_r2({"final": final, "first_generation": first}),
        "rise_against_rollout": rise(finals["rollout_equal_cpu"], finals["first_generation_rollout_equal_cpu"]),
        "selfplay": [m for m in metrics if m.get("kind") == "selfplay"],
    }
    (HERE / f"results{suffix}.json").write_text(json.dumps(results, indent=2) + "\n")
    plot_ladder(metrics, HERE / f"ladder{suffix}.png")
    if (args.out / "losses.png").exists():
        shutil.copy(args.out / "losses.png", HERE / f"losses{suffix}.png")
    shutil.copy(final, HERE / f"final{suffix}.pt")
    print(f"results in {HERE}", flush=True)


if __name__ == "__main__":
    main()
