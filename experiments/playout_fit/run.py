"""How well do value networks of other sizes and inputs fit what a random playout measures?

    python experiments/playout_fit/run.py [--games 400] [--steps 400] [--only NAME ...] [--results PATH] [--again]

The rollout player values a leaf by one uniformly random playout, and it beats
a 3 x 16 network's own values; this measures whether networks can represent
the quantity, before any search: the variance of a 16-playout mean that a
network explains on positions of games it never saw (R2).

Settings, and why:

- **400 games of the rollout player**, four `rollout` seats, placement tree,
  32 simulations (the loop's generation zero), seed 1, kept in
  runs/playout-fit/records and reused (about four minutes on two busy cores);
- **every position labelled** with the mean payoff of 16 random playouts
  (tilora_zero._engine.playout_means, seeded by game number; about 130 us a
  playout, so all ~115,000 positions cost about four CPU minutes), trained on
  all of them; **R2 is measured on the turn starts** of the held-out games,
  the positions a placement search evaluates;
- **split by game**: the first 80% of the games train, the last 20% are held
  out, so no position of a held-out game, nor its neighbour in the same turn,
  was seen;
- **a second, independent 16-playout label** of the held-out turn starts
  gives the ceiling: cov(label, label') / var(label) is the share of a
  label's variance that any function of the position can explain (the rest is
  the sampling noise of 16 playouts);
- **training**: soft cross-entropy of the label in the mover's frame against
  the value logits (the policy head is not trained), a random quarter turn
  per position, AdamW at 0.002 with weight decay 1e-4, cosine to a tenth,
  400 steps of 128 (half a pass over the positions: the whole study has to
  fit an hour of two shared cores, and the point is the ranking), one thread
  a network, two networks at once; seed 0, and seed 1 for today's network
  to show the spread between seeds;
- **a yardstick without a network**: least squares of the label on each
  seat's tiles, open corners and free cells, the mover's legal cells, and
  their pairwise products;
- **R2** per seat component in the mover's frame (1 - mean squared error /
  variance), averaged over the four; against the label and against the
  game's final payoff; 95% intervals by bootstrap over the held-out games.

Writes results.json beside this script; rows already in it are kept unless
--again (or named with --only).
"""
from __future__ import annotations

import argparse
import concurrent.futures
import json
import multiprocessing
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
RUN = Path("runs/playout-fit")
SIMS = 32
PLAYOUTS = 16
HELD_OUT = 0.2
BATCH = 128
LEARNING_RATE = 0.002
WEIGHT_DECAY = 1e-4
BOOTSTRAP = 1000


# name: (model kind, options). "tilora" is TiloraNet itself; "study" the study-only model of models.py.
CONFIGS = {  # in the order they are trained
    "3x16 (today's)": ("tilora", dict(blocks=3, channels=16)),
    "3x16, pooled head": ("study", dict(blocks=3, channels=16, pooled=True)),
    "3x16, corner and free-cell planes": ("study", dict(blocks=3, channels=16, features=True)),
    "3x16, dilated": ("study", dict(blocks=3, channels=16, dilated=True)),
    "3x16, planes + pooled + dilated, 4 scores": ("study", dict(blocks=3, channels=16, pooled=True, dilated=True,
                                                                  features=True, scores=4)),
    "3x16, 4 scores": ("study", dict(blocks=3, channels=16, scores=4)),
    "3x16, 8 planes straight to the logits": ("tilora", dict(blocks=3, channels=16, value_hidden=0)),
    "3x16 (today's), seed 1": ("tilora", dict(blocks=3, channels=16)),
    "6x32": ("tilora", dict(blocks=6, channels=32)),
    "3x16, 4 scores, 4000 steps": ("study", dict(blocks=3, channels=16, scores=4)),
    "3x16, counts and their products, 4 scores, 4000 steps": ("study", dict(blocks=3, channels=16, scores=4,
                                                                             counts=True)),
}
# Rows trained longer than --steps, with R2 measured along the way (the cosine schedule spans the whole run).
LONG = {"3x16, 4 scores, 4000 steps": 4000, "3x16, counts and their products, 4 scores, 4000 steps": 4000}
CURVE = (400, 1000, 2000, 4000)
# No network: the label fitted by least squares on counts read off the planes (see counts_fit).
COUNTS = "no network: counts of tiles, corners and free cells, least squares"
# Filled before the workers fork, so they share the arrays instead of receiving copies.
_TRAIN: dict = {}


def play_games(records: Path, games: int) -> None:
    from tilora_zero.data.records import RecordWriter, game_numbers
    from tilora_zero.selfplay.local import run_games
    from tilora_zero.selfplay.matches import Match
    from tilora_zero.selfplay.players import Player
    from tilora_zero.settings import SearchSettings

    have = set(game_numbers(records)) if records.exists() else set()
    missing = [n for n in range(games) if n not in have]
    if missing:
        print(f"playing {len(missing)} games of the rollout player", flush=True)
        start = time.monotonic()
        settings = SearchSettings(sims_per_move=SIMS, tree="placements")
        match = Match([Player("rollout", settings)], [(0, 0, 0, 0)], seed=1)
        with RecordWriter(records) as writer:
            run_games(match, missing, 2, writer.add)
        print(f"  {time.monotonic() - start:.0f} s", flush=True)


def turn_starts(cells: np.ndarray) -> np.ndarray:
    """bool [M]: whether the mover has laid no cell of its piece yet, before each move."""
    from tilora_zero import Game

    game = Game()
    starts = np.empty(len(cells), dtype=bool)
    for i, cell in enumerate(cells):
        starts[i] = not game.turn_started
        game.apply(int(cell))
    return starts


def labelled_positions(records_dir: Path, games: int) -> dict[str, np.ndarray]:
    """Planes, movers, games, turn starts, final payoffs, the 16-playout labels and, for the held-out
    turn starts, a second independent label; cached in runs/playout-fit/positions.npz."""
    cache = RUN / f"positions-{games}.npz"
    if cache.exists():
        return dict(np.load(cache))
    from tilora_zero._engine import playout_means
    from tilora_zero.data.dataset import from_records, game_number
    from tilora_zero.data.records import iter_records

    records = sorted(iter_records(records_dir), key=lambda r: game_number(r, 0))[:games]
    data = from_records(records)
    numbers = [game_number(r, i) for i, r in enumerate(records)]
    cells = [np.asarray(r.cells, dtype=np.int64) for r in records]
    held = set(numbers[int(len(numbers) * (1 - HELD_OUT)):])
    start = time.process_time(), time.monotonic()

    def label(i: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        starts = turn_starts(cells[i])
        first = playout_means(cells[i], PLAYOUTS, numbers[i])
        second = np.full_like(first, np.nan)
        if numbers[i] in held:  # another seed space: independent of the first label
            moves = np.flatnonzero(starts).astype(np.int64)
            second[moves] = playout_means(cells[i], PLAYOUTS, 1_000_000 + numbers[i], moves)
        return starts, first, second

    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        parts = list(pool.map(label, range(len(records))))
    cpu, wall = time.process_time() - start[0], time.monotonic() - start[1]
    print(f"labelled {len(data)} positions: {cpu:.0f} s CPU, {wall:.0f} s", flush=True)
    arrays = {
        "planes": data.planes, "movers": data.movers, "games": data.games,
        "outcome": data.absolute_values(),
        "turn_start": np.concatenate([p[0] for p in parts]),
        "label": np.concatenate([p[1] for p in parts]),
        "label2": np.concatenate([p[2] for p in parts]),
        "held_out": np.isin(data.games, sorted(held)),
        "label_cpu_s": np.array(cpu),
    }
    RUN.mkdir(parents=True, exist_ok=True)
    np.savez(cache, **arrays)
    return arrays


def mover_frame(values: np.ndarray, movers: np.ndarray) -> np.ndarray:
    from tilora_zero.board.frames import absolute_to_mover

    return absolute_to_mover(values, movers).astype(np.float32)


def r2_per_seat(predicted: np.ndarray, target: np.ndarray) -> np.ndarray:
    residual = ((predicted - target) ** 2).mean(axis=0)
    return 1.0 - residual / target.var(axis=0)


def r2_with_interval(predicted, target, games, rng) -> dict:
    """Mean over the seat components of R2, with a 95% bootstrap interval over games."""
    point = r2_per_seat(predicted, target)
    unique = np.unique(games)
    rows = {g: np.flatnonzero(games == g) for g in unique}
    draws = []
    for _ in range(BOOTSTRAP):
        pick = np.concatenate([rows[g] for g in rng.choice(unique, size=len(unique))])
        draws.append(r2_per_seat(predicted[pick], target[pick]).mean())
    low, high = np.percentile(draws, [2.5, 97.5])
    return {"r2": float(point.mean()), "interval": [float(low), float(high)],
            "per_seat": [float(x) for x in point]}


def build(kind: str, options: dict):
    if kind == "tilora":
        from tilora_zero.networks.resnet import TiloraNet

        return TiloraNet(**options)
    import sys

    sys.path.insert(0, str(HERE))
    from models import StudyNet

    return StudyNet(**options)


def train_one(kind: str, options: dict, train: dict, seed: int, steps: int, test_planes=None, curve=()):
    """The trained model and its training CPU; with `curve`, also the predictions on `test_planes` after
    each of those steps."""
    import torch
    from torch.nn import functional as F

    from tilora_zero.board.symmetry import random_rotations, transform_cell_arrays

    torch.set_num_threads(1)
    torch.manual_seed(seed)
    rng = np.random.default_rng(seed)
    model = build(kind, options)
    model.train()
    optimiser = torch.optim.AdamW(model.parameters(), lr=LEARNING_RATE, weight_decay=WEIGHT_DECAY)
    start = time.process_time()
    along = {}
    for step in range(steps):
        if step in curve:
            model.eval()
            along[step] = predict(model, test_planes)
            model.train()
        progress = step / max(1, steps - 1)
        for group in optimiser.param_groups:
            group["lr"] = LEARNING_RATE * (0.1 + 0.9 * 0.5 * (1 + np.cos(np.pi * progress)))
        index = rng.integers(0, len(train["planes"]), size=BATCH)
        planes = transform_cell_arrays(train["planes"][index].reshape(BATCH, 5, 400), random_rotations(BATCH, rng))
        x = torch.from_numpy(planes.reshape(BATCH, 5, 20, 20).astype(np.float32))
        _, logits = model(x)
        loss = -(torch.from_numpy(train["target"][index]) * F.log_softmax(logits, dim=1)).sum(dim=1).mean()
        optimiser.zero_grad(set_to_none=True)
        loss.backward()
        optimiser.step()
    model.eval()
    return model, time.process_time() - start, along


def counts(planes: np.ndarray) -> np.ndarray:
    """float [N, 14]: each seat's tiles, open corners and free cells (as models.py defines them), the
    mover's legal cells and a constant, per position (mover-relative seat order)."""
    tiles = planes[:, :4].astype(bool)
    padded = np.pad(tiles, ((0, 0), (0, 0), (1, 1), (1, 1)))
    shifted = lambda dr, dc: padded[:, :, 1 + dr:21 + dr, 1 + dc:21 + dc]
    beside = shifted(-1, 0) | shifted(1, 0) | shifted(0, -1) | shifted(0, 1)
    diagonal = shifted(-1, -1) | shifted(-1, 1) | shifted(1, -1) | shifted(1, 1)
    free = ~tiles.any(axis=1, keepdims=True) & ~beside
    columns = [tiles.sum(axis=(2, 3)), (free & diagonal).sum(axis=(2, 3)), free.sum(axis=(2, 3)),
               planes[:, 4].sum(axis=(1, 2))[:, None], np.ones((len(planes), 1))]
    return np.concatenate(columns, axis=1).astype(np.float64) / 100.0


def counts_design(planes: np.ndarray) -> np.ndarray:
    """float [N, 183]: the counts and their pairwise products, the columns the least squares fits."""
    x = np.concatenate([counts(planes[i:i + 4096]) for i in range(0, len(planes), 4096)])
    pairs = np.einsum("ni,nj->nij", x[:, :13], x[:, :13]).reshape(len(x), -1)
    return np.concatenate([x, pairs], axis=1)


def counts_weights(train_planes: np.ndarray, target: np.ndarray) -> np.ndarray:
    """float [183, 4]: least squares of the mover-frame label on counts_design (no network)."""
    weights, *_ = np.linalg.lstsq(counts_design(train_planes), target, rcond=None)
    return weights


def counts_fit(train_planes: np.ndarray, target: np.ndarray, test_planes: np.ndarray) -> np.ndarray:
    """The least-squares prediction of the label on the test planes."""
    return counts_design(test_planes) @ counts_weights(train_planes, target)


def seed_of(name: str) -> int:
    return 1 if name.endswith("seed 1") else 0


def train_row(job: tuple) -> tuple:
    name, steps, test_planes = job
    kind, options = CONFIGS[name]
    steps = LONG.get(name, steps)
    curve = [c for c in CURVE if c < steps] if name in LONG else []
    model, cpu, along = train_one(kind, options, _TRAIN, seed_of(name), steps, test_planes, curve)
    return name, steps, predict(model, test_planes), along, cpu, int(sum(p.numel() for p in model.parameters()))


def predict(model, planes: np.ndarray) -> np.ndarray:
    import torch

    out = []
    with torch.inference_mode():
        for i in range(0, len(planes), 1024):
            _, logits = model(torch.from_numpy(planes[i:i + 1024].astype(np.float32)))
            out.append(torch.softmax(logits, dim=1).numpy())
    return np.concatenate(out)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--games", type=int, default=400)
    parser.add_argument("--steps", type=int, default=400)
    parser.add_argument("--only", nargs="*", help="train only these rows (names of CONFIGS)")
    parser.add_argument("--results", type=Path, default=HERE / "results.json")
    parser.add_argument("--again", action="store_true", help="train every row anew")
    args = parser.parse_args()

    records = RUN / "records"
    play_games(records, args.games)
    data = labelled_positions(records, args.games)
    held, starts = data["held_out"], data["turn_start"]
    train = {"planes": data["planes"][~held], "target": mover_frame(data["label"], data["movers"])[~held]}
    test = held & starts
    test_planes, test_games = data["planes"][test], data["games"][test]
    label = mover_frame(data["label"], data["movers"])[test]
    label2 = mover_frame(data["label2"], data["movers"])[test]
    outcome = mover_frame(data["outcome"], data["movers"])[test]

    path = args.results
    results = json.loads(path.read_text()) if path.exists() and not args.again else {}
    rng = np.random.default_rng(0)
    # The share of a label's variance that the position determines: what a perfect network would explain.
    ceiling = np.array([np.cov(label[:, k], label2[:, k])[0, 1] / label[:, k].var() for k in range(4)])
    results["data"] = {
        "games": args.games, "sims": SIMS, "playouts": PLAYOUTS, "positions": int(len(held)),
        "train_positions": int((~held).sum()), "held_out_games": int(len(np.unique(test_games))),
        "held_out_turn_starts": int(test.sum()), "label_cpu_s": float(data["label_cpu_s"]),
        "label_ceiling_r2": float(ceiling.mean()), "label_ceiling_per_seat": [float(c) for c in ceiling],
        "label_as_predictor_of_outcome": r2_with_interval(label, outcome, test_games, rng),
        "second_label_as_predictor_of_label": r2_with_interval(label2, label, test_games, rng),
        "constant_as_predictor_of_label": r2_with_interval(np.broadcast_to(train["target"].mean(axis=0), label.shape),
                                                           label, test_games, rng),
        "steps": args.steps, "batch": BATCH,
    }
    rows = results.setdefault("rows", {})
    names = [name for name in CONFIGS if (name in args.only if args.only is not None else
                                          args.again or name not in rows)]
    _TRAIN.update(train)
    jobs = [(name, args.steps, test_planes) for name in names]
    context = multiprocessing.get_context("fork")
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=context) as pool:
        for future in concurrent.futures.as_completed([pool.submit(train_row, job) for job in jobs]):
            name, steps, predicted, along, cpu, parameters = future.result()
            kind, options = CONFIGS[name]
            rows[name] = {
                "model": kind, "options": options, "seed": seed_of(name), "steps": steps, "train_cpu_s": cpu,
                "parameters": parameters,
                "label": r2_with_interval(predicted, label, test_games, rng),
                "outcome": r2_with_interval(predicted, outcome, test_games, rng),
            }
            if along:
                rows[name]["label_along_training"] = {
                    str(step): r2_with_interval(values, label, test_games, rng) for step, values in along.items()}
            print(f"{name}: R2 label {rows[name]['label']['r2']:.3f} {rows[name]['label']['interval']}, outcome "
                  f"{rows[name]['outcome']['r2']:.3f}, {cpu:.0f} s CPU", flush=True)
            path.write_text(json.dumps(results, indent=1) + "\n")
    if args.only is None or COUNTS in args.only:
        start = time.process_time()
        predicted = counts_fit(train["planes"], train["target"], test_planes)
        rows[COUNTS] = {"model": "least squares", "train_cpu_s": time.process_time() - start,
                        "label": r2_with_interval(predicted, label, test_games, rng),
                        "outcome": r2_with_interval(predicted, outcome, test_games, rng)}
        print(f"{COUNTS}: R2 label {rows[COUNTS]['label']['r2']:.3f}", flush=True)
    path.write_text(json.dumps(results, indent=1) + "\n")


if __name__ == "__main__":
    main()
