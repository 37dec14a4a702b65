"""What the random-playout search knows: small duels against three `rollout` seats, and its choices.

    python experiments/playout_diagnosis/run.py [--games 200] [--positions 300] [--workers 2] [--rows NAME ...]
        [--skip-duels] [--skip-choices]

Every duel row puts one focus player on one seat against three `rollout` seats
(equal priors, one random playout per leaf), all searching with PUCT over the
placement tree at 32 simulations unless the row says otherwise, no root noise,
four sampled opening moves. Game g seats the focus player on seat g % 4 with
seed 20,000 + g, so every row plays the same seatings and seeds. A row reports
the focus player's mean payoff per seat with a 95% interval (parity 0.25) and
its CPU seconds per game, measured apart with four seats of the focus player in
one process (a network answers one position at a time there, with one torch
thread, so its figure is an upper bound on what batched serving costs).

The choice study then takes positions from games of four rollout seats (the
first cell of a turn with a choice, past the sampled opening moves), asks the
rollout search and the network's own search (cell_run.pt, no playouts) what each
lays there (play_match with that game's moves as the opening and one turn),
and, where they differ, compares simple features of the two placements.

Results go to results.json beside this script; rows already there are kept
unless named with --rows.
"""
from __future__ import annotations

import argparse
import json
import math
import multiprocessing as mp
import time
import types
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
NETWORK = str(HERE.parent / "learning_ladder" / "cell_run.pt")
Z_95 = 1.959964
SIDE = 20
START_CORNERS = (0, 19, 399, 380)
SEED = 20_000

# name: (player, extra settings of the focus seat, simulations)
ROWS = {
    "rollout k=1 (sanity)": ("rollout", {}, 32),
    "network values, equal priors": ("network", {"equal_priors": True}, 32),
    "network priors, network values (its own search)": ("network", {}, 32),
    "network priors, one-playout values": ("network", {"rollout_weight": 1.0}, 32),
    "rollout k=4": ("rollout", {"playouts": 4}, 32),
    "rollout k=16": ("rollout", {"playouts": 16}, 32),
    "cut playout T=2": ("rollout", {"playout_turns": 2}, 32),
    "cut playout T=8": ("rollout", {"playout_turns": 8}, 32),
    "cut playout T=24": ("rollout", {"playout_turns": 24}, 32),
    "heuristic": ("heuristic", {}, 32),
    # Equal CPU: a dearer evaluation at fewer simulations, a cheaper one at more.
    "rollout k=4, 8 sims": ("rollout", {"playouts": 4}, 8),
    "rollout k=16, 2 sims": ("rollout", {"playouts": 16}, 2),
    "rollout k=1, 128 sims": ("rollout", {}, 128),
    "cut playout T=8, 96 sims": ("rollout", {"playout_turns": 8}, 96),
    "heuristic, 512 sims": ("heuristic", {}, 512),
}


def seat_config(player: str, extra: dict, sims: int) -> types.SimpleNamespace:
    config = types.SimpleNamespace(search="puct", tree="placements", sims_per_move=sims, sample_moves=4,
                                   c_base=19652.0, c_init=1.25, dirichlet_alpha=0.3, exploration_fraction=0.0,
                                   packed_planes=True, **extra)
    if player != "network":
        config.player = player
    return config


ROLLOUT = seat_config("rollout", {}, 32)
_network = None


def network():
    global _network
    if _network is None:
        import torch

        from tilora_zero.networks import load_network

        torch.set_num_threads(1)
        _network = load_network(NETWORK, "cpu", "share")
    return _network


def seat(player: str, extra: dict, sims: int):
    from tilora_zero.serving.direct import DirectChannel

    channel = DirectChannel(network()) if player == "network" else None
    return (seat_config(player, extra, sims), channel, channel)


def duel_game(job: tuple[str, int]) -> float:
    from tilora_zero._match import play_match

    name, game = job
    focus = game % 4
    seats = [seat(*ROWS[name]) if s == focus else (ROLLOUT, None, None) for s in range(4)]
    _, _, payoff = play_match(game, seats, seed=SEED + game)
    return payoff[focus]


def cpu_per_game(name: str, games: int) -> float:
    from tilora_zero._match import play_match

    network() if ROWS[name][0] == "network" else None  # loading is not play
    start = time.process_time()
    for game in range(games):
        play_match(game, [seat(*ROWS[name]) for _ in range(4)], seed=SEED + game)
    return (time.process_time() - start) / games


def interval(values) -> dict:
    values = np.asarray(values, dtype=float)
    mean = float(values.mean())
    half = Z_95 * float(values.std(ddof=1)) / math.sqrt(len(values))
    return {"mean": round(mean, 4), "ci95": [round(mean - half, 4), round(mean + half, 4)], "n": len(values)}


# ---- the choice study ----

def neighbours(cell: int, diagonal: bool):
    r, c = divmod(cell, SIDE)
    steps = ((1, 1), (1, -1), (-1, 1), (-1, -1)) if diagonal else ((0, 1), (0, -1), (1, 0), (-1, 0))
    for dr, dc in steps:
        if 0 <= r + dr < SIDE and 0 <= c + dc < SIDE:
            yield (r + dr) * SIDE + c + dc


def corners(owner: np.ndarray, player: int) -> set[int]:
    """The empty cells a new piece of `player` may start from."""
    mine = np.flatnonzero(owner == player)
    if len(mine) == 0:
        return {START_CORNERS[player]} if owner[START_CORNERS[player]] < 0 else set()
    out = set()
    for cell in mine:
        for n in neighbours(int(cell), True):
            if owner[n] < 0 and all(owner[m] != player for m in neighbours(n, False)):
                out.add(n)
    return out


def features(owner: np.ndarray, player: int, cells: list[int]) -> dict:
    after = owner.copy()
    after[cells] = player
    others = [q for q in range(4) if q != player]
    centre = (SIDE - 1) / 2
    return {
        "size": len(cells),
        "own corners after": len(corners(after, player)),
        "own corners gained": len(corners(after, player)) - len(corners(owner, player)),
        "opponents' corners removed": sum(len(corners(owner, q)) - len(corners(after, q)) for q in others),
        "distance from centre": float(np.mean([math.hypot(c // SIDE - centre, c % SIDE - centre) for c in cells])),
        "edges touching opponents": sum(1 for c in cells for n in neighbours(c, False) if owner[n] >= 0
                                        and owner[n] != player),
        "move number": int((owner >= 0).sum()),
    }


def positions_of_game(game: int) -> list[list[int]]:
    """The openings (moves before a searched turn start past the sampled moves) of one rollout game."""
    from tilora_zero._match import play_match

    history, policies, _ = play_match(game, [(ROLLOUT, None, None)] * 4, seed=SEED + 50_000 + game)
    cells = [cell for _, cell in history]
    return [cells[:i] for i, entry in enumerate(policies) if entry and i >= 4]


def choice(job: tuple[list[int], int, str]) -> tuple[int, list[int]]:
    """The player to move and the cells the named searcher lays in its turn from this opening."""
    from tilora_zero._match import play_match

    opening, number, who = job
    seats = [seat(who, {}, 32) for _ in range(4)]
    history, _, _ = play_match(number, seats, seed=SEED + 90_000 + number, opening=opening, turns=1)
    laid = history[len(opening):]
    return int(laid[0][0]), sorted(int(cell) for _, cell in laid)


def choice_study(positions: int, workers: int, pool) -> dict:
    rng = np.random.default_rng(SEED)
    openings: list[list[int]] = []
    game = 0
    while len(openings) < positions:
        found = positions_of_game(game)
        # A few positions a game, spread over it, so that many games contribute.
        take = rng.choice(len(found), size=min(4, len(found)), replace=False)
        openings += [found[i] for i in sorted(take)]
        game += 1
    openings = openings[:positions]
    jobs = [(opening, n, who) for n, opening in enumerate(openings) for who in ("rollout", "network")]
    answers = pool.map(choice, jobs, chunksize=4)
    differ: dict[str, dict[str, list]] = {"rollout": {}, "network": {}}
    same = 0
    for n, opening in enumerate(openings):
        (player, by_rollout), (_, by_network) = answers[2 * n], answers[2 * n + 1]
        if by_rollout == by_network:
            same += 1
            continue
        for who, cells in (("rollout", by_rollout), ("network", by_network)):
            for key, value in features(owner_of(opening), player, cells).items():
                differ[who].setdefault(key, []).append(value)
    summary = {"positions": positions, "games": game, "same choice": same,
               "differ": positions - same, "features where they differ": {}}
    for key in differ["rollout"]:
        r, w = np.array(differ["rollout"][key]), np.array(differ["network"][key])
        summary["features where they differ"][key] = {"rollout": interval(r), "network": interval(w),
                                                      "rollout - network": interval(r - w)}
    return summary


def owner_of(opening: list[int]) -> np.ndarray:
    """Whose cell is where after the opening, replayed through the engine for the movers."""
    from tilora_zero._engine import Game

    game = Game()
    owner = np.full(SIDE * SIDE, -1)
    for cell in opening:
        owner[cell] = game.current_player
        game.apply(cell)
    return owner


def add_duel_options(parser: argparse.ArgumentParser) -> None:
    """The options of a table of duel rows, here and in the studies that add rows to it."""
    parser.add_argument("--games", type=int, default=200, help="games of each duel row")
    parser.add_argument("--cpu-games", type=int, default=4, help="games of four focus seats for the CPU figure")
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--rows", nargs="*", help="rows to play anew (default: those not in results.json)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    add_duel_options(parser)
    parser.add_argument("--positions", type=int, default=300, help="positions of the choice study")
    parser.add_argument("--skip-choices", action="store_true")
    parser.add_argument("--skip-duels", action="store_true")
    parser.add_argument("--out", type=Path, default=HERE / "results.json")
    args = parser.parse_args()
    out = args.out
    results = json.loads(out.read_text()) if out.exists() else {"rows": {}}
    todo = args.rows if args.rows else [name for name in ROWS if name not in results["rows"]]
    if args.skip_duels:
        todo = []
    with mp.get_context("spawn").Pool(args.workers) as pool:
        for name in todo:
            start = time.monotonic()
            payoffs = pool.map(duel_game, [(name, g) for g in range(args.games)], chunksize=2)
            player, extra, sims = ROWS[name]
            row = {"player": player, "settings": extra, "sims": sims, "games": len(payoffs),
                   "payoff per seat": interval(payoffs), "cpu s per game (4 focus seats)":
                   round(cpu_per_game(name, args.cpu_games), 3), "minutes": round((time.monotonic() - start) / 60, 2)}
            results["rows"][name] = row
            p = row["payoff per seat"]
            print(f"{name}: {p['mean']:.3f} [{p['ci95'][0]:.3f}, {p['ci95'][1]:.3f}], "
                  f"{row['cpu s per game (4 focus seats)']:.2f} CPU s/game", flush=True)
            out.write_text(json.dumps(results, indent=1) + "\n")
        if not args.skip_choices:
            results["choices"] = choice_study(args.positions, args.workers, pool)
            print(json.dumps(results["choices"], indent=1), flush=True)
            out.write_text(json.dumps(results, indent=1) + "\n")


if __name__ == "__main__":
    main()
