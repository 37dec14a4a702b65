"""How well does each value tell apart the placements open at one position?

    python experiments/value_remedy/siblings.py [--positions 150] [--children 48] [--steps 1600 6400]

The duels of run.py found that the counts model, which explains 30% of a
16-playout mean over positions, searches worse than one random playout. A
search compares the children of one position, so this measures that directly:
at held-out turn starts of the playout-fit games (rng seed 0), up to
`--children` of the mover's placements (all when fewer, else a random sample),
each child labelled with two independent 16-playout means. Each value's score
of the chooser's share is centred on the mean over the position's children,
and so is the label; the table gives the pooled correlation of the two over
all children (95% interval by bootstrap over positions), and the same for the
second label, which bounds what any value can reach with 16-playout labels.
One random playout a child is the rollout seat's own leaf value.
Writes "siblings" into results.json beside this script.
"""
from __future__ import annotations

import argparse
import json
import sys
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from counts_network import CountsNetwork, playout_fit  # noqa: E402

RUN = Path("runs/value-remedy")
PLAYOUTS = 16


def placements(game) -> list[list[int]]:
    """Every placement the mover may lay, as its cells in ascending order (any order of a placement's
    cells is a legal sequence, so the ascending one finds each placement once)."""
    found = []

    def extend(position, laid):
        for cell in position.legal_tiles():
            cell = int(cell)
            if laid and cell < laid[-1]:
                continue
            child = position.copy()
            child.apply(cell)
            if child.turn_started:
                extend(child, laid + [cell])
            else:
                found.append(laid + [cell])

    extend(game, [])
    return found


def within(values: np.ndarray, groups: np.ndarray) -> np.ndarray:
    """Each value less the mean of its position's children."""
    means = np.bincount(groups, weights=values) / np.bincount(groups)
    return values - means[groups]


def pooled_correlation(x, y, groups, rng, draws=1000) -> dict:
    x, y = within(x, groups), within(y, groups)
    point = float(np.corrcoef(x, y)[0, 1])
    rows = [np.flatnonzero(groups == g) for g in np.unique(groups)]
    samples = []
    for _ in range(draws):
        pick = np.concatenate([rows[i] for i in rng.integers(0, len(rows), len(rows))])
        samples.append(np.corrcoef(x[pick], y[pick])[0, 1])
    low, high = np.percentile(samples, [2.5, 97.5])
    return {"r": round(point, 3), "interval": [round(float(low), 3), round(float(high), 3)]}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--positions", type=int, default=150)
    parser.add_argument("--children", type=int, default=48)
    parser.add_argument("--steps", type=int, nargs="*", default=[1600, 6400])
    args = parser.parse_args()
    import torch

    from tilora_zero import Game
    from tilora_zero._engine import playout_means
    from tilora_zero.data.dataset import game_number
    from tilora_zero.data.records import iter_records
    from tilora_zero.networks import load_network

    torch.set_num_threads(1)
    fit = playout_fit()
    records = sorted(iter_records(fit.RUN / "records"), key=lambda r: game_number(r, 0))[:400]
    held = records[int(len(records) * 0.8):]
    rng = np.random.default_rng(0)
    chosen = []  # (record, move index)
    while len(chosen) < args.positions:
        record = held[rng.integers(len(held))]
        starts = np.flatnonzero(fit.turn_starts(np.asarray(record.cells)))
        chosen.append((record, int(rng.choice(starts))))

    planes, chooser, groups, labels, labels2, single = [], [], [], [], [], []
    for n, (record, move) in enumerate(chosen):
        game = Game()
        for cell in record.cells[:move]:
            game.apply(int(cell))
        options = placements(game)
        if len(options) < 2:
            continue
        if len(options) > args.children:
            options = [options[i] for i in rng.choice(len(options), args.children, replace=False)]
        for cells in options:
            child = game.copy()
            for cell in cells:
                child.apply(cell)
            line = np.asarray(list(record.cells[:move]) + cells, dtype=np.int64)
            end = np.array([len(line)], dtype=np.int64)
            planes.append(child.planes())
            chooser.append(game.current_player)
            groups.append(n)
            labels.append(playout_means(line, PLAYOUTS, n, end)[0])
            labels2.append(playout_means(line, PLAYOUTS, 1_000_000 + n, end)[0])
            single.append(playout_means(line, 1, 2_000_000 + n, end)[0])
    planes = np.stack(planes).astype(np.float32)
    groups = np.unique(np.asarray(groups), return_inverse=True)[1]
    take = lambda values: np.asarray(values)[np.arange(len(chooser)), chooser]
    label = take(labels)
    values = {"second 16-playout label (the ceiling)": take(labels2), "one random playout": take(single),
              "counts least squares": take(CountsNetwork.load(RUN / "counts.npy")(planes)[1])}
    for steps in args.steps:
        path = RUN / f"3x16-4scores-{steps}.pt"
        if path.exists():
            values[f"3x16 4 scores, {steps} steps"] = take(load_network(str(path), "cpu", "share")(planes)[1])
    out = {"positions": int(groups.max() + 1), "children": len(label), "rows": {}}
    for name, value in values.items():
        out["rows"][name] = pooled_correlation(value, label, groups, rng)
        print(f"{name}: r {out['rows'][name]['r']} {out['rows'][name]['interval']}", flush=True)
    path = HERE / "results.json"
    results = json.loads(path.read_text())
    results["siblings"] = out
    path.write_text(json.dumps(results, indent=1) + "\n")


if __name__ == "__main__":
    main()
