"""The learning experiment: the loop from nothing for at most an hour, then the final matches.

    python experiments/learning_ladder/run.py [--out runs/learning-ladder] [--minutes 60] [--max-generations N]
                                              [--frontier-games 400] [--final-games 200]

Runs `tilora-zero loop` (through its library) generation after generation
while the next generation still fits in the time budget (judged by the last
one's duration), every generation playing the rollout baseline. Then plays
the final network, on one seat, against three seats of a baseline: rollout
over placements given the simulations at which its games cost the network's
player's CPU (--rollout-sims, equal_cpu.py), and the first generation in the
same match, so that the rise from first to last has an interval; greedy with
its policy alone (one simulation); rollout over cells, beside the cell-tree
run's network (cell_run.pt) in the same match, with --frontier-games games
each; rollout at the same simulations, and with the network's own values
instead of playouts, with --final-games. Each match spreads its games over
the four seats. It writes beside this script: results.json
(settings, per-generation ladder, final matches with 95% intervals, the rise,
times), ladder.png, losses.png and final.pt (the final checkpoint, for
replaying the matches without rerunning). Rerunning with the same --out
resumes the loop where it stopped, within what is left of the budget: the
loop's time is kept in OUT/loop_seconds.json across invocations.

The settings (see docs/learning.md for the measurements behind them):
- generation zero is the rollout baseline: no model, but its games (a search
  whose leaves are valued by random playouts) beat three uniform seats 0.78
  per seat at 32 simulations, where the uniform network's games teach nothing;
- a 3 x 16 network, served in int8 (the toolkit's default on this CPU) at
  about 19,000 positions per second per core;
- the value head maps eight planes of the tower to one linear score, and the
  score to the four seats' logits (the networks' default): trained on the
  same games, the legacy head (one plane, 64 ReLU units) fit its games and
  gave values worth nothing to the search, the one-score head's made the
  search stronger (experiments/value_study);
- 32 simulations per search in self-play and in every match;
- every search, in self-play and in the matches, values each leaf by one
  random playout (rollout_weight 1) and takes its priors from the network:
  the diagnosis (docs/learning.md) found the playouts' values worth more than
  any value head we trained, and the network's priors are what the playouts
  cannot give: the committed network of the cell-tree run, its priors over
  playout values, scored 0.518 [0.451, 0.586] against three rollout seats
  where its own values scored 0.163. The ladder plays only rollout, the
  baseline at the frontier, with 80 games a generation (an interval of about
  +-0.1);
- self-play searches over cells (a target at every move, conditional on the
  cells laid so far), and the ladder and the final matches over placements
  (one search per turn with a choice): trained on the same teacher's games at
  equal CPU, the cell tree's records taught a policy and priors that the
  placement search uses better than its own records did
  (experiments/record_targets, docs/learning.md);
- self-play's roots are Gumbel roots (16 children considered, sequential
  halving, scale 1) whose records hold the improved policy from the
  completed values instead of the visit shares: the loops whose records were
  PUCT's visit shares did not rise after their first generation (the visit
  shares of 32 simulations stay close to the priors that made them), and one
  more generation from the same first one scored no worse with the Gumbel
  root's records (experiments/improved_targets); the ladder and the final
  matches keep the PUCT root;
- training on the newest 512 games (four generations), 600 steps of 256 at a
  learning rate of 0.002: about one pass over the window a generation (four
  over a game's time in the window); three times the training on the same
  games made no better player (experiments/value_study), so the time goes to
  games instead.
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
sys.path.insert(0, str(HERE))
from loop_budget import brief, budgeted_loop, rise  # noqa: E402  (beside this script)

SETTINGS = dict(games_per_generation=128, train_steps=600, tree="cells", ladder_tree="placements", sims_per_move=32,
                gumbel_actions=16, gumbel_scale=1.0,
                sample_moves=30, rollout_weight=1.0,
                blocks=3, channels=16, value_channels=8, value_hidden=1, value_relu=False, batch_size=256,
                learning_rate=0.002, choice_share=0.5, window=512, ladder=["rollout"], ladder_games=80, ladder_rollout_weight=1.0,
                generation_zero="rollout", workers=2, games_per_worker=16, threads=2, seed=1)
FRONTIER_GAMES = 400  # each final match that a bar reads: an interval of about +-0.04
OTHER_GAMES = 200
# The rollout seats' simulations in the final matches at equal CPU: four seats of the network's player (its
# priors, one playout per leaf, 32 simulations over placements, the network served in int8) cost 0.446 CPU s
# a game, four rollout seats 0.409 at 56 simulations and 0.486 at 64 (equal_cpu.py, 48 games each, a 3 x 16
# network; the crossing at 59.8). In float32 the network's player cost 0.521, rollout's equal 70.
ROLLOUT_SIMS_AT_EQUAL_CPU = 60
CELL_RUN = HERE / "cell_run.pt"  # the network of the run whose self-play searched over cells


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", type=Path, default=Path("runs/learning-ladder"))
    parser.add_argument("--minutes", type=float, default=60.0, help="wall-time budget of the loop")
    parser.add_argument("--max-generations", type=int, help="stop the loop after this many generations (at least 1)")
    parser.add_argument("--frontier-games", type=int, default=FRONTIER_GAMES,
                        help="games of each final match against the rollout baseline with playout values")
    parser.add_argument("--final-games", type=int, default=OTHER_GAMES, help="games of every other final match")
    parser.add_argument("--rollout-sims", type=int, default=ROLLOUT_SIMS_AT_EQUAL_CPU,
                        help="the rollout seats' simulations in the matches at equal CPU")
    args = parser.parse_args()
    if args.max_generations is not None and args.max_generations < 1:
        parser.error(f"--max-generations must be at least 1, got {args.max_generations}")

    from tilora_zero.learning.arena import play_against_baseline
    from tilora_zero.learning.ladder import plot_ladder
    from tilora_zero.learning.loop import checkpoint_path
    from tilora_zero.learning.training import read_metrics
    from tilora_zero.selfplay.players import Player

    start = time.monotonic()
    settings, generation, loop_minutes = budgeted_loop(args.out, SETTINGS, args.minutes, args.max_generations)
    final = checkpoint_path(args.out, generation)

    # The final matches: the player as the ladder measured it (the network's priors, playout values, over
    # placements) against rollout seats given the CPU it spends; its policy alone (one simulation: the
    # decision with the highest prior) against greedy; the same player over cells, as the module searches
    # for direct callers, beside the cell-tree run's network in the same match; the network's own values;
    # and the first generation, so that the rise from first to last has an interval.
    searched = settings.ladder_settings()
    rollout = replace(searched, sims_per_move=args.rollout_sims)
    cells = replace(searched, tree="cells")
    own_values = replace(searched, rollout_weight=0.0)
    policy = replace(own_values, sims_per_move=1)
    finals = {}
    for name, checkpoint, search, baseline, baseline_search, games in (
            ("rollout_equal_cpu", final, searched, "rollout", rollout, args.frontier_games),
            ("greedy_policy_alone", final, policy, "greedy", None, args.frontier_games),
            ("first_generation_rollout_equal_cpu", checkpoint_path(args.out, 1), searched, "rollout", rollout,
             args.frontier_games),
            ("rollout_cells", final, cells, "rollout", None, args.frontier_games),
            ("cell_run_rollout_cells", CELL_RUN, cells, "rollout", None, args.frontier_games),
            ("rollout_same_sims", final, searched, "rollout", None, args.final_games),
            ("rollout_own_values", final, own_values, "rollout", None, args.final_games)):
        result = play_against_baseline(Player(str(checkpoint), search), baseline, games, settings.workers,
                                       seed=10_000, settings=baseline_search)
        print(result.report(), flush=True)
        finals[name] = brief(result)

    metrics = read_metrics(args.out / "metrics.jsonl")
    ladder = [{k: m[k] for k in ("generation", "baseline", "games", "a_mean_payoff_per_seat", "ci95")}
              for m in metrics if m.get("kind") == "ladder"]
    results = {
        "settings": asdict(settings),
        "loop_minutes": round(loop_minutes, 1),  # over every invocation
        "total_minutes": round((time.monotonic() - start) / 60, 1),  # of this invocation, final matches included
        "generations": generation,
        "ladder": ladder,
        "final": finals,
        "rollout_sims_at_equal_cpu": args.rollout_sims,
        "rise_against_rollout": rise(finals["rollout_equal_cpu"], finals["first_generation_rollout_equal_cpu"]),
        "selfplay": [m for m in metrics if m.get("kind") == "selfplay"],
    }
    (HERE / "results.json").write_text(json.dumps(results, indent=2) + "\n")
    plot_ladder(metrics, HERE / "ladder.png")
    for name in ("losses.png",):
        if (args.out / name).exists():
            shutil.copy(args.out / name, HERE / name)
    shutil.copy(final, HERE / "final.pt")
    print(f"results in {HERE}", flush=True)


if __name__ == "__main__":
    main()
