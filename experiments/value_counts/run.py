"""Values worth a playout? A trained network's value head trained anew on random-playout means, with and
without the counts of tilora_zero.networks.counts.

    python experiments/value_counts/run.py [--network CHECKPOINT] [--steps 3000] [--duel-games 200]
                                           [--only NAME ...]

Keeps a trained network's stem, tower and policy head as they are (default:
experiments/learning_ladder/final.pt) and gives it a new value head: eight planes of the tower and four
linear scores ("4 scores"), and the same reading the counts too ("4 scores + counts": each seat's tiles,
open corners and free cells, the mover's legal cells, and their pairwise products), and that head started
from the softmax regression on the counts alone ("4 scores + counts, fitted start": fitted to the training
labels by L-BFGS, the tower's planes weighted 0, so training adds what the tower knows), and that fit
alone, not trained further ("4 scores + counts, fitted only"), and the same fit to the outcomes of self-play
games instead ("4 scores + counts, fitted on outcomes": the newest --outcome-games games of --outcomes, what
a loop without playouts has to learn from). Only the head is
trained, on the 16-playout means of experiments/playout_fit (the same 400 rollout games, labels, split by
game and held-out turn starts; made there if missing), soft cross-entropy in the mover's frame, a random
quarter turn per position, AdamW at 0.002, cosine to a tenth, batches of 256, one thread, the network in
eval mode (the head's batch norm an affine map). Then, for each:

- R² of the held-out labels along training, with 95% bootstrap intervals over the held-out games;
- a duel: the network's priors and its own values (no playout), puct over placements, 32 simulations, one
  seat against three rollout seats at the same simulations, --duel-games games over every seat;
- the CPU per game of that player and of rollout's (four seats of one player, 48 games), so the duel
  reads at equal CPU.

With --stretch CANDIDATE, only the stretch duel: that candidate's player on one seat against three seats of
the network's priors with one playout per leaf at 32 simulations, at equal CPU per game (the candidate
searching with 48, 64 or 80 simulations, whichever costs closest), 400 games.

Writes results.json and each candidate's checkpoint beside this script.
"""
from __future__ import annotations

import argparse
import json
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE.parent), str(HERE.parent / "learning_ladder")]
from sibling import experiment  # noqa: E402  (experiments/sibling.py)


fit = experiment("playout_fit")
CANDIDATES = {"4 scores": dict(value_hidden=4), "4 scores + counts": dict(value_hidden=4, value_counts=True),
              "4 scores + counts, fitted start": dict(value_hidden=4, value_counts=True),
              "4 scores + counts, fitted only": dict(value_hidden=4, value_counts=True),
              "4 scores + counts, fitted on outcomes": dict(value_hidden=4, value_counts=True)}
# The counts' weights start from the convex fit on the counts alone (learning.value_fit); the others are that
# fit, not trained on, the last fitted to the outcomes of self-play games instead of the playout means.
FITTED_START = {"4 scores + counts, fitted start", "4 scores + counts, fitted only"}
UNTRAINED = {"4 scores + counts, fitted only", "4 scores + counts, fitted on outcomes"}
OUTCOMES = "4 scores + counts, fitted on outcomes"
BATCH = 256
LEARNING_RATE = 0.002
WEIGHT_DECAY = 1e-4
SIMS = 32


def candidate(base, options: dict):
    """The base network with a new value head; everything else frozen."""
    from tilora_zero.networks.resnet import TiloraNet

    arch = base.architecture
    model = TiloraNet(arch["blocks"], arch["channels"], value_channels=8, value_relu=False, **options)
    kept = {k: v for k, v in base.state_dict().items() if not k.startswith("value_head.")}
    missing, unexpected = model.load_state_dict(kept, strict=False)
    assert not unexpected and all(k.startswith(("value_head.", "counts_norm.")) for k in missing)
    for name, parameter in model.named_parameters():
        parameter.requires_grad = name.startswith("value_head.")
    return model


def set_count_statistics(model, planes: np.ndarray, sample: int = 20_000) -> None:
    """The counts' standardisation measured on the training positions (eval mode never measures it)."""
    import torch

    from tilora_zero.networks.counts import seat_counts

    if not getattr(model, "value_counts", False):
        return
    rng = np.random.default_rng(1)
    index = np.sort(rng.choice(len(planes), size=min(sample, len(planes)), replace=False))
    counts = seat_counts(torch.from_numpy(planes[index].astype(np.float32))).double()
    model.counts_norm.running_mean.copy_(counts.mean(dim=0).float())
    model.counts_norm.running_var.copy_(counts.var(dim=0).float())


def train_head(model, train: dict, test_planes: np.ndarray, steps: int, curve: list[int], seed: int = 0) -> dict:
    """Trains the value head; the predictions on the test planes after each step in curve and at the end."""
    import torch
    from torch.nn import functional as F

    from tilora_zero.board.symmetry import random_rotations, transform_cell_arrays

    torch.set_num_threads(1)
    torch.manual_seed(seed)
    rng = np.random.default_rng(seed)
    # Eval mode throughout: the frozen tower keeps its batch-norm statistics, and the head's batch norm
    # stays the affine map it starts as, so that what is trained is what is measured (in train mode the
    # head's R² jumped between -0.2 and +0.1 from one checkpoint to the next).
    model.eval()
    optimiser = torch.optim.AdamW([p for p in model.parameters() if p.requires_grad], lr=LEARNING_RATE,
                                  weight_decay=WEIGHT_DECAY)
    along = {}
    for step in range(steps):
        if step in curve:
            along[step] = fit.predict(model, test_planes)
        progress = step / max(1, steps - 1)
        for group in optimiser.param_groups:
            group["lr"] = LEARNING_RATE * (0.1 + 0.9 * 0.5 * (1 + np.cos(np.pi * progress)))
        index = rng.integers(0, len(train["planes"]), size=BATCH)
        planes = transform_cell_arrays(train["planes"][index].reshape(BATCH, 5, 400), random_rotations(BATCH, rng))
        _, logits = model(torch.from_numpy(planes.reshape(BATCH, 5, 20, 20).astype(np.float32)))
        loss = -(torch.from_numpy(train["target"][index]) * F.log_softmax(logits, dim=1)).sum(dim=1).mean()
        optimiser.zero_grad(set_to_none=True)
        loss.backward()
        optimiser.step()
    model.eval()
    along[steps] = fit.predict(model, test_planes)
    return along


def checkpoint_of(candidate: str) -> Path:
    """Where a candidate's network is kept, beside this script."""
    return HERE / (candidate.replace(" + ", "_").replace(", ", "_").replace(" ", "_") + ".pt")


def stretch_duel(results: dict, network: Path, candidate: str, games: int) -> None:
    """A candidate's player (its priors and values, no playout) on one seat against three seats of the
    network's priors with one playout per leaf at 32 simulations, the candidate given the simulations (48, 64
    or 80) whose CPU per game comes closest to theirs."""
    from equal_cpu import cost  # experiments/learning_ladder/equal_cpu.py
    from tilora_zero.learning.arena import arena_settings, play_arena
    from tilora_zero.selfplay.players import Player

    checkpoint = str(checkpoint_of(candidate))
    playouts = arena_settings(SIMS, rollout_weight=1.0)
    costs = {"playouts_32": cost(str(network), playouts, 48)}
    for sims in (48, 64, 80):
        costs[f"values_{sims}"] = cost(checkpoint, arena_settings(sims, rollout_weight=0.0), 48)
    sims = min((48, 64, 80), key=lambda s: abs(costs[f"values_{s}"] - costs["playouts_32"]))
    duel = play_arena(Player(checkpoint, arena_settings(sims, rollout_weight=0.0)), Player(str(network), playouts),
                      games, 2, "1v3", seed=30_000)
    print(duel.report(), flush=True)
    summary = duel.summary()
    results["stretch_equal_cpu"] = {"candidate": candidate, "cpu_s_per_game": costs, "candidate_sims": sims,
                                    **{k: summary[k] for k in ("a", "b", "games", "a_mean_payoff_per_seat", "ci95")}}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--network", type=Path, default=HERE.parent / "learning_ladder" / "final.pt")
    parser.add_argument("--steps", type=int, default=3000)
    parser.add_argument("--duel-games", type=int, default=200)
    parser.add_argument("--only", nargs="*", help="these candidates only")
    parser.add_argument("--outcomes", type=Path, default=Path("runs/learning-ladder-gumbel/records"),
                        help="self-play records whose outcomes the last candidate is fitted to")
    parser.add_argument("--outcome-games", type=int, default=512, help="newest games of --outcomes read")
    parser.add_argument("--results", type=Path, default=HERE / "results.json")
    parser.add_argument("--stretch", metavar="CANDIDATE",
                        help="only the duel at equal CPU of CANDIDATE's values against the network's playouts")
    parser.add_argument("--stretch-games", type=int, default=400)
    args = parser.parse_args()
    if args.stretch:
        path = args.results
        results = json.loads(path.read_text()) if path.exists() else {}
        stretch_duel(results, args.network, args.stretch, args.stretch_games)
        path.write_text(json.dumps(results, indent=1) + "\n")
        return

    from equal_cpu import cost  # experiments/learning_ladder/equal_cpu.py
    from tilora_zero.data.dataset import load_dataset
    from tilora_zero.learning.arena import arena_settings, play_against_baseline
    from tilora_zero.learning.value_fit import fit_counts_value
    from tilora_zero.networks.resnet import load_model, save_checkpoint
    from tilora_zero.selfplay.players import Player

    records = fit.RUN / "records"
    fit.play_games(records, 400)
    data = fit.labelled_positions(records, 400)
    held, starts = data["held_out"], data["turn_start"]
    train = {"planes": data["planes"][~held], "target": fit.mover_frame(data["label"], data["movers"])[~held]}
    test = held & starts
    test_planes, test_games = data["planes"][test], data["games"][test]
    label = fit.mover_frame(data["label"], data["movers"])[test]
    base, _ = load_model(args.network)
    rng = np.random.default_rng(0)
    path = args.results
    results = json.loads(path.read_text()) if path.exists() else {}
    results.update(network=str(args.network), steps=args.steps, batch=BATCH, sims=SIMS)
    searched = arena_settings(SIMS, rollout_weight=0.0)
    baseline = arena_settings(SIMS, rollout_weight=1.0)  # as the learning experiment's rollout seats search
    rollout_cost = cost("rollout", baseline, 48)
    results["rollout_cpu_s_per_game"] = rollout_cost
    print(f"rollout, {SIMS} sims: {rollout_cost:.3f} CPU s per game", flush=True)
    for name, options in CANDIDATES.items():
        if args.only and name not in args.only:
            continue
        model = candidate(base, options)
        start = time.process_time()
        if name not in FITTED_START and name != OUTCOMES:  # the fit measures them on what it reads
            set_count_statistics(model, train["planes"])
        if name in FITTED_START:
            fit_counts_value(model, train["planes"], train["target"], max_positions=len(train["planes"]))
        elif name == OUTCOMES:
            games = load_dataset(args.outcomes, last_games=args.outcome_games)
            fit_counts_value(model, games.planes, games.values)
        steps = 0 if name in UNTRAINED else args.steps
        along = train_head(model, train, test_planes, steps, [0, 300, 1000, 2000])
        cpu = time.process_time() - start
        checkpoint = checkpoint_of(name)
        targets = f"outcomes of {args.outcomes}" if name == OUTCOMES else "16-playout means"
        save_checkpoint(checkpoint, model, {"base": str(args.network), "value_targets": targets,
                                            "steps": steps}, value_convention="share")
        r2 = {str(step): fit.r2_with_interval(values, label, test_games, rng) for step, values in along.items()}
        print(f"{name}: R2 along training " + ", ".join(f"{s}: {v['r2']:.3f} [{v['interval'][0]:.3f}, "
                                                        f"{v['interval'][1]:.3f}]" for s, v in r2.items()), flush=True)
        player = Player(str(checkpoint), searched)
        duel = play_against_baseline(player, "rollout", args.duel_games, 2, seed=10_000, settings=baseline)
        print(duel.report(), flush=True)
        summary = duel.summary()
        results.setdefault("candidates", {})[name] = {
            "options": options, "train_cpu_s": cpu, "r2_along_training": r2,
            "duel_same_sims": {k: summary[k] for k in ("games", "a_mean_payoff_per_seat", "ci95")},
            "cpu_s_per_game": cost(str(checkpoint), searched, 48),
        }
        path.write_text(json.dumps(results, indent=1) + "\n")


if __name__ == "__main__":
    main()
