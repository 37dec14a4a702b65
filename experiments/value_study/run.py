"""Which half of a trained network makes its search strong: its policy or its values?

    python experiments/value_study/run.py [--records runs/value-study/records] [--games 120]

Trains 3 x 16 networks on the same games of the rollout baseline (1,024
games at 32 simulations; played into --records first when it holds none)
and plays each, on one seat against three uniform seats at 32 simulations,
in several forms:

- "search":      PUCT over the network's priors and values (the toolkit's player);
- "prior only":  the same search with every value at par (0.25): the policy alone;
- "values only": the same search with equal priors: the values alone;
- the full search at 1, 8 and 128 simulations.

The networks differ only in their value targets, training length and value
head. With the legacy head (one plane of the tower, 64 ReLU units): the
game's payoff trained 1,500 steps of 256 (about 1.3 passes over the
positions), the same trained 4,500 steps, and a soft payoff that shares the
win by score, softmax(score / 6 points), trained 1,500 steps. With eight
planes, the payoff trained 1,500 steps: through 64 ReLU units, straight to
the four logits, and through one linear score (today's head). Writes
results.json beside this script (each match's payoff per seat with its 95%
interval, and the final losses of each network). Variants already in
results.json are kept as they are (--again plays them all anew).
"""
from __future__ import annotations

import argparse
import collections
import functools
import json
import time
from dataclasses import replace
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
TEACHER_GAMES = 1024
SIMS = 32
SOFT_POINTS = 6.0


def head(planes: int, hidden: int, relu: bool) -> dict:
    """A value head, as TiloraNet takes it."""
    return {"value_channels": planes, "value_hidden": hidden, "value_relu": relu}


LEGACY = head(1, 64, True)
VARIANTS = {  # name: (value target, training steps, value head)
    "payoff": ("payoff", 1500, LEGACY),
    "payoff, 3x longer": ("payoff", 4500, LEGACY),
    "soft payoff by score": ("soft", 1500, LEGACY),
    "payoff, 8 planes, 64 ReLU units": ("payoff", 1500, head(8, 64, True)),
    "payoff, 8 planes straight to the logits": ("payoff", 1500, head(8, 0, False)),
    "payoff, 8 planes, one linear score": ("payoff", 1500, head(8, 1, False)),
}


class Ablated:
    """A checkpoint's network with one half replaced: "prior only" serves par values, "values only"
    equal priors over the legal cells."""

    def __init__(self, path: str, form: str):
        from tilora_zero.networks.resnet import ILLEGAL_LOGIT, TorchNetwork

        self.network = TorchNetwork.from_checkpoint(path, "cpu", "share")
        self.form = form
        self.illegal = ILLEGAL_LOGIT
        self.name = f"{self.network.name} ({form})"

    def __call__(self, planes: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        logits, values = self.network(planes)
        if self.form == "prior only":
            values = np.full_like(values, 0.25)
        elif self.form == "values only":
            logits = np.where(logits > self.illegal, 0.0, logits).astype(np.float32)
        return logits, values


def teacher_games(records: Path, workers: int) -> None:
    from tilora_zero.data.records import RecordWriter, game_numbers
    from tilora_zero.selfplay.local import run_games
    from tilora_zero.selfplay.matches import Match
    from tilora_zero.selfplay.players import Player
    from tilora_zero.settings import SearchSettings

    have = set(game_numbers(records)) if records.exists() else set()
    missing = [n for n in range(TEACHER_GAMES) if n not in have]
    if missing:
        print(f"playing {len(missing)} games of the rollout baseline", flush=True)
        match = Match([Player("rollout", SearchSettings(sims_per_move=SIMS, tree="cells"))], [(0, 0, 0, 0)], seed=1)
        with RecordWriter(records) as writer:
            run_games(match, missing, workers, writer.add)


def soft_payoffs(records, data) -> np.ndarray:
    """Each position's soft payoff in the mover's frame: softmax of its game's final scores over SOFT_POINTS.
    ``records`` are the games ``data`` was made from."""
    from tilora_zero.board.frames import absolute_to_mover
    from tilora_zero.data.dataset import game_number

    scores = {game_number(record, i): np.asarray(record.scores, dtype=np.float64) for i, record in enumerate(records)}
    by_move = np.stack([scores[int(g)] for g in data.games])
    weights = np.exp((by_move - by_move.max(axis=1, keepdims=True)) / SOFT_POINTS)
    soft = (weights / weights.sum(axis=1, keepdims=True)).astype(np.float32)
    return absolute_to_mover(soft, data.movers.astype(np.int64)).astype(np.float32)


def train_variant(data, target: str, steps: int, value_head: dict, records, path: Path) -> None:
    import torch

    from tilora_zero.learning.training import train
    from tilora_zero.networks.resnet import TiloraNet, save_checkpoint
    from tilora_zero.settings import TrainSettings

    if target == "soft":
        data = replace(data, values=soft_payoffs(records, data))
    torch.manual_seed(0)
    model = TiloraNet(3, 16, **value_head)
    settings = TrainSettings(steps=steps, batch_size=256, learning_rate=0.002, log_every=500, seed=0)
    metrics = train(model, data, settings, progress=False)
    last = metrics[-1]
    losses = {k: round(float(last[k]), 3) for k in ("policy_loss", "value_loss", "constant_value_loss")}
    save_checkpoint(path, model, {"study": target, "steps": steps, "losses": losses}, "share")


def match(path: Path, form: str, sims: int, games: int, workers: int) -> dict:
    from tilora_zero.learning.arena import arena_settings, play_against_baseline
    from tilora_zero.selfplay.players import Player

    source = str(path) if form == "search" else functools.partial(Ablated, str(path), form)
    result = play_against_baseline(Player(source, arena_settings(sims, tree="cells")), "uniform", games, workers, seed=5,
                                   settings=arena_settings(SIMS, tree="cells"))
    low, high = result.interval
    print(f"{path.name} {form} at {sims} sims: {result.mean:.3f} [{low:.3f}, {high:.3f}]", flush=True)
    return {"form": form, "sims": sims, "games": result.games, "a_mean_payoff_per_seat": round(result.mean, 3),
            "ci95": [round(low, 3), round(high, 3)]}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--records", type=Path, default=Path("runs/value-study/records"))
    parser.add_argument("--games", type=int, default=120, help="games of each match")
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--again", action="store_true", help="play every variant anew")
    args = parser.parse_args()

    import torch

    from tilora_zero.data.dataset import from_records
    from tilora_zero.data.records import iter_records
    from tilora_zero.networks.resnet import read_checkpoint

    torch.set_num_threads(args.workers)
    start = time.monotonic()
    teacher_games(args.records, args.workers)
    records = collections.deque(iter_records(args.records), maxlen=TEACHER_GAMES)  # read once, for both targets
    data = from_records(records)
    kept = {}
    if (HERE / "results.json").exists() and not args.again:
        kept = json.loads((HERE / "results.json").read_text())["variants"]
    results = {"teacher_games": TEACHER_GAMES, "positions": len(data), "sims": SIMS, "variants": {}}
    for name, (target, steps, value_head) in VARIANTS.items():
        if name in kept:
            results["variants"][name] = {**kept[name], "value_head": value_head}
            continue
        suffix = "" if value_head == LEGACY else (f"-v{value_head['value_channels']}h{value_head['value_hidden']}"
                                                  + ("r" if value_head["value_relu"] else ""))
        path = args.records.parent / f"{target}-{steps}{suffix}.pt"
        if not path.exists():
            print(f"training {name}", flush=True)
            train_variant(data, target, steps, value_head, records, path)
        losses = read_checkpoint(path)["metadata"]["losses"]
        forms = [("search", SIMS), ("prior only", SIMS), ("values only", SIMS)]
        if name == "payoff":
            forms += [("search", 1), ("search", 8), ("search", 128)]
        results["variants"][name] = {"target": target, "steps": steps, "value_head": value_head,
                                     "losses": losses,
                                     "matches": [match(path, form, sims, args.games, args.workers)
                                                 for form, sims in forms]}
    results["minutes"] = round((time.monotonic() - start) / 60, 1)  # of this invocation
    (HERE / "results.json").write_text(json.dumps(results, indent=2) + "\n")
    print(f"results in {HERE / 'results.json'}", flush=True)


if __name__ == "__main__":
    main()
