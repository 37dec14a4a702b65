"""Remedy duels: do values that fit playout means better also search better against three rollout seats?

    python experiments/value_remedy/run.py [--games 200] [--steps 1600] [--workers 2] [--rows NAME ...]

The playout-fit study found that 14 counts read off the planes, fitted by least
squares, explain 29% of a 16-playout mean's variance on held-out positions and
the best network (3 x 16, four linear value scores, half a pass) 9%. This
plays those values in a search.

Settings, and why:

- **the labels and split of experiments/playout_fit**, reused (its 400 rollout
  games and 16-playout labels, cached in runs/playout-fit, not in git): the
  first 320 games train, the turn starts of the last 80 measure R2, so the
  numbers here continue that table;
- **the counts model** (counts_network.py): playout_fit's least squares,
  weights saved to runs/value-remedy/counts.npy;
- **the network**: TiloraNet 3 x 16 with `value_hidden=4` (four linear
  scores, no ReLU: the same head as the study's "4 scores", which TiloraNet
  already builds), trained by playout_fit's train_one (soft cross-entropy of
  the label, random quarter turns, AdamW 0.002, cosine) for `--steps` steps of
  128, four times the study's 400 (three CPU minutes; `--steps 6400`, 12.5
  minutes, was the longer run), and at 400 on the other core for the same
  code's baseline; seed 0; value head only, so there
  is no trained policy and no row of its own priors. Checkpoints in
  runs/value-remedy;
- **duels as experiments/playout_diagnosis plays them** (its seat settings,
  imported): one focus seat against three `rollout` seats, PUCT over the
  placement tree, 32 simulations, no root noise, four sampled opening moves,
  game g on seat g % 4 with seed 20,000 + g, 200 games, so the rows compare
  with that table's (cell_run.pt's values over equal priors 0.028, rollout k = 1
  0.228, 16 playouts 0.593); every focus seat here searches with equal priors;
- **one random playout** from each held-out turn start, as a predictor of the
  label: the rollout seat's own leaf value, as a row of the fits;
- **CPU per game** of four focus seats in one process (4 games; a network
  answers one position at a time, one thread), and of four rollout seats on the
  same machine in the same run, since the machine is shared: read the ratio.

Payoff per seat with its 95% interval (parity 0.25). Results in results.json
beside this script; rows already there are kept unless named with --rows.
"""
from __future__ import annotations

import argparse
import concurrent.futures
import functools
import json
import multiprocessing as mp
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
RUN = Path("runs/value-remedy")
GAMES = 400  # playout_fit's games
NETWORK = dict(blocks=3, channels=16, value_hidden=4)
SEED = 0
BASELINE_STEPS = 400  # playout_fit's

sys.path.insert(0, str(HERE))
from counts_network import CountsNetwork, load_script, playout_fit  # noqa: E402

diagnosis = load_script("playout_diagnosis")


def checkpoint(steps: int) -> Path:
    return RUN / f"3x16-4scores-{steps}.pt"


def counts_factory():
    return functools.partial(CountsNetwork.load, str(RUN / "counts.npy"))


def network_factory(steps: int):
    from tilora_zero.networks import load_network

    return functools.partial(load_network, str(checkpoint(steps)), "cpu", "share")


def rows(steps: int) -> dict:
    """name: (network factory or "rollout", the focus seat's extra settings)."""
    return {
        "counts least squares, equal priors": (counts_factory(), {"equal_priors": True}),
        f"3x16 4 scores, {steps} steps, equal priors": (network_factory(steps), {"equal_priors": True}),
        f"3x16 4 scores, {BASELINE_STEPS} steps, equal priors": (network_factory(BASELINE_STEPS),
                                                                 {"equal_priors": True}),
    }


# ---- fitting ----

def train(steps: int) -> tuple[int, float]:
    import torch

    from tilora_zero.networks.resnet import save_checkpoint

    torch.set_num_threads(1)
    model, cpu = playout_fit().train_one("tilora", NETWORK, playout_fit()._TRAIN, SEED, steps)
    save_checkpoint(checkpoint(steps), model, {"steps": steps, "batch": 128, "labels": "16-playout means",
                                               "train_cpu_s": cpu}, value_convention="share")
    return steps, cpu


def one_playout(fit_study, data: dict, test: np.ndarray) -> np.ndarray:
    """Absolute payoffs [T, 4] of one random playout from each test position (another seed space than the
    labels'): what the rollout player's leaf value is, as a predictor of the label."""
    from tilora_zero._engine import playout_means
    from tilora_zero.data.dataset import game_number
    from tilora_zero.data.records import iter_records

    records = sorted(iter_records(fit_study.RUN / "records"), key=lambda r: game_number(r, 0))[:GAMES]
    ends = np.cumsum([len(r.cells) for r in records])
    out = []
    for i, record in enumerate(records):
        moves = np.flatnonzero(test[ends[i] - len(record.cells):ends[i]]).astype(np.int64)
        if len(moves):
            cells = np.asarray(record.cells, dtype=np.int64)
            out.append(playout_means(cells, 1, 2_000_000 + game_number(record, i), moves))
    return np.concatenate(out)


def fit(steps: int, results: dict) -> None:
    """Fits the counts model and trains the networks whose checkpoints are missing; R2 of each."""
    fit_study = playout_fit()
    data = fit_study.labelled_positions(fit_study.RUN / "records", GAMES)
    held, starts = data["held_out"], data["turn_start"]
    target = fit_study.mover_frame(data["label"], data["movers"])
    test = held & starts
    label, outcome = target[test], fit_study.mover_frame(data["outcome"], data["movers"])[test]
    games = data["games"][test]
    rng = np.random.default_rng(0)
    RUN.mkdir(parents=True, exist_ok=True)
    fits = results.setdefault("fits", {})

    start = time.process_time()
    weights = fit_study.counts_weights(data["planes"][~held], target[~held])
    np.save(RUN / "counts.npy", weights)
    predicted = CountsNetwork(weights)(data["planes"][test])[1]
    fits["counts least squares"] = {
        "fit_cpu_s": round(time.process_time() - start, 1),
        "label": fit_study.r2_with_interval(fit_study.mover_frame(predicted, data["movers"][test]), label, games, rng),
        "outcome": fit_study.r2_with_interval(fit_study.mover_frame(predicted, data["movers"][test]), outcome, games,
                                              rng)}

    if "one random playout" not in fits:
        one = one_playout(fit_study, data, test)
        fits["one random playout"] = {
            "label": fit_study.r2_with_interval(fit_study.mover_frame(one, data["movers"][test]), label, games, rng),
            "outcome": fit_study.r2_with_interval(fit_study.mover_frame(one, data["movers"][test]), outcome, games,
                                                  rng)}

    todo = [s for s in (steps, BASELINE_STEPS) if not checkpoint(s).exists()]
    fit_study._TRAIN.update(planes=data["planes"][~held], target=target[~held])
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=mp.get_context("fork")) as pool:
        for done, cpu in pool.map(train, todo):
            fits.setdefault(f"3x16 4 scores, {done} steps", {})["train_cpu_s"] = round(cpu, 1)
    fit_study._TRAIN.clear()
    from tilora_zero.board.frames import absolute_to_mover
    from tilora_zero.networks import load_network

    for s in (steps, BASELINE_STEPS):
        shares = absolute_to_mover(load_network(str(checkpoint(s)), "cpu", "share")(data["planes"][test])[1],
                                   data["movers"][test])
        row = fits.setdefault(f"3x16 4 scores, {s} steps", {})
        row["label"] = fit_study.r2_with_interval(shares, label, games, rng)
        row["outcome"] = fit_study.r2_with_interval(shares, outcome, games, rng)
    for name, row in fits.items():
        print(f"{name}: R2 label {row['label']['r2']:.3f} {row['label']['interval']}, outcome "
              f"{row['outcome']['r2']:.3f}", flush=True)


# ---- duels ----

_networks: dict = {}


def loaded(factory):
    """The network ``factory`` builds, built once a process (on one torch thread)."""
    key = repr(factory)
    if key not in _networks:
        import torch

        torch.set_num_threads(1)
        _networks[key] = factory()
    return _networks[key]


def focus_seat(factory, extra: dict):
    if factory == "rollout":
        return diagnosis.ROLLOUT, None, None
    from tilora_zero.serving.direct import DirectChannel

    channel = DirectChannel(loaded(factory))
    return diagnosis.seat_config("network", extra, 32), channel, channel


def duel_game(job: tuple) -> float:
    from tilora_zero._match import play_match

    factory, extra, game = job
    focus = game % 4
    seats = [focus_seat(factory, extra) if s == focus else (diagnosis.ROLLOUT, None, None) for s in range(4)]
    _, _, payoff = play_match(game, seats, seed=diagnosis.SEED + game)
    return payoff[focus]


def cpu_per_game(factory, extra: dict, games: int) -> float:
    from tilora_zero._match import play_match

    seats = [focus_seat(factory, extra) for _ in range(4)]  # the network loaded here: loading is not play
    start = time.process_time()
    for game in range(games):
        play_match(game, seats, seed=diagnosis.SEED + game)
    return (time.process_time() - start) / games


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    diagnosis.add_duel_options(parser)
    parser.add_argument("--steps", type=int, default=1600, help="training steps of the network")
    args = parser.parse_args()
    out = HERE / "results.json"
    results = json.loads(out.read_text()) if out.exists() else {}
    fit(args.steps, results)
    out.write_text(json.dumps(results, indent=1) + "\n")

    duels = results.setdefault("rows", {})
    table = rows(args.steps)
    todo = args.rows if args.rows else [name for name in table if name not in duels]
    results["rollout cpu s per game (4 rollout seats)"] = round(cpu_per_game("rollout", {}, args.cpu_games), 3)
    with mp.get_context("spawn").Pool(args.workers) as pool:
        for name in todo:
            factory, extra = table[name]
            start = time.monotonic()
            payoffs = pool.map(duel_game, [(factory, extra, g) for g in range(args.games)], chunksize=2)
            duels[name] = {"settings": extra, "sims": 32, "games": len(payoffs),
                           "payoff per seat": diagnosis.interval(payoffs),
                           "cpu s per game (4 focus seats)": round(cpu_per_game(factory, extra, args.cpu_games), 3),
                           "minutes": round((time.monotonic() - start) / 60, 2)}
            p = duels[name]["payoff per seat"]
            print(f"{name}: {p['mean']:.3f} [{p['ci95'][0]:.3f}, {p['ci95'][1]:.3f}], "
                  f"{duels[name]['cpu s per game (4 focus seats)']:.2f} CPU s/game", flush=True)
            out.write_text(json.dumps(results, indent=1) + "\n")
    print(f"rollout: {results['rollout cpu s per game (4 rollout seats)']:.2f} CPU s/game", flush=True)
    out.write_text(json.dumps(results, indent=1) + "\n")


if __name__ == "__main__":
    main()
