"""Matches between two players: which seats each plays, and the statistics.

A player is a baseline or a network with its own search settings
(:class:`~tilora_zero.selfplay.players.Player`); every seat is searched by its own
player, so A and B may differ in network, rule and simulations. A match plays
its games over every way to seat the players (the six ways to place two A's
and two B's, or the four ways to place one A among three B's), each game
seeded from the arena's seed, and reports A's mean payoff per seat (parity
0.25) with a 95% confidence interval and the Elo difference that corresponds
to it.
"""
from __future__ import annotations

import itertools
import math
from dataclasses import dataclass, field, replace
from typing import Callable, Sequence

import numpy as np

from ..board import PLAYERS
from ..networks import PAR_SHARE
from ..selfplay.players import BASELINES, Player
from ..settings import SearchSettings

LAYOUTS = {
    "2v2": tuple(itertools.combinations(range(PLAYERS), 2)),
    "1v3": tuple((seat,) for seat in range(PLAYERS)),
}
Z_95 = 1.959964


def seatings(layout: str) -> tuple[tuple[int, ...], ...]:
    if layout not in LAYOUTS:
        raise ValueError(f"unknown arena layout {layout!r}; expected one of {', '.join(LAYOUTS)}")
    return LAYOUTS[layout]


def elo_difference(a_share: float, a_seats: int) -> float:
    """Elo difference that makes A's mean payoff per seat `a_share`, against B's per seat."""
    b_share = (1.0 - a_seats * a_share) / (PLAYERS - a_seats)
    if a_share <= 0:
        return -math.inf
    if b_share <= 0:
        return math.inf
    return 400.0 * math.log10(a_share / b_share)


@dataclass
class ArenaResult:
    a: str
    b: str
    layout: str
    a_seat_payoffs: list[float] = field(default_factory=list)  # per game: A's mean payoff per seat
    seatings: list[list[int]] = field(default_factory=list)  # per game: A's seats
    seed: int | None = None  # the arena's seed

    @property
    def games(self) -> int:
        return len(self.a_seat_payoffs)

    @property
    def a_seats(self) -> int:
        return len(seatings(self.layout)[0])

    @property
    def mean(self) -> float:
        return float(np.mean(self.a_seat_payoffs)) if self.games else math.nan

    @property
    def half_width(self) -> float:
        if self.games < 2:
            return math.inf
        return Z_95 * float(np.std(self.a_seat_payoffs, ddof=1)) / math.sqrt(self.games)

    @property
    def interval(self) -> tuple[float, float]:
        """The normal-approximation 95% interval of the mean, clipped to the possible payoffs."""
        top = 1.0 / self.a_seats
        return max(self.mean - self.half_width, 0.0), min(self.mean + self.half_width, top)

    def elo(self) -> tuple[float, float, float]:
        """(Elo, low, high): the Elo difference at the mean and its 95% interval.

        The interval maps the Wilson score interval of A's share of the payoff (its seats' payoff
        together, in [0, 1]) to Elo differences. The payoff's normal interval, clipped at 0, would map to
        an infinite bound whenever it reaches 0, as it does for a player that rarely scores; Wilson's
        stays inside (0, 1) unless A never scored or B never did. A share of the payoff varies no more
        than a win or a loss does, so the interval is on the safe side for shared wins."""
        elo = elo_difference(self.mean, self.a_seats)
        if self.games == 0:
            return elo, -math.inf, math.inf
        k, n, z = self.a_seats, self.games, Z_95
        share = k * self.mean
        centre = (share + z * z / (2 * n)) / (1 + z * z / n)
        half = z / (1 + z * z / n) * math.sqrt(share * (1 - share) / n + z * z / (4 * n * n))
        return (elo, elo_difference(max(centre - half, 0.0) / k, k),
                elo_difference(min(centre + half, 1.0) / k, k))

    def elo_bounds_reason(self) -> str | None:
        """Why the Elo interval has an infinite bound, if it has one."""
        if self.games == 0:
            return "no games"
        if self.mean <= 0:
            return "A never scored"
        if self.mean >= 1.0 / self.a_seats:
            return "B never scored"
        return None

    def summary(self) -> dict:
        low, high = self.interval
        elo, elo_low, elo_high = self.elo()
        return {
            "a": self.a,
            "b": self.b,
            "layout": self.layout,
            "seed": self.seed,
            "games": self.games,
            "a_mean_payoff_per_seat": self.mean,
            "ci95": [low, high],
            "elo": elo,
            "elo_ci95": [elo_low, elo_high],
            "elo_unbounded_because": self.elo_bounds_reason(),
        }

    def report(self) -> str:
        low, high = self.interval
        elo, elo_low, elo_high = self.elo()
        return (
            f"A = {self.a}\nB = {self.b}\n"
            f"{self.games} games ({self.layout}, every seating); parity is {PAR_SHARE:.2f}\n"
            f"A's mean payoff per seat: {self.mean:.4f}  95% CI [{low:.4f}, {high:.4f}]\n"
            f"Elo difference A - B: {elo:+.0f}  95% CI [{elo_low:+.0f}, {elo_high:+.0f}]"
            + (f" (no finite bound: {reason})" if (reason := self.elo_bounds_reason()) else "")
        )


def a_seat_payoff(payoff: Sequence[float], a_seats: Sequence[int]) -> float:
    return float(sum(payoff[s] for s in a_seats)) / len(a_seats)


def play_arena(
    a: Player,
    b: Player,
    games: int,
    workers: int = 2,
    layout: str = "2v2",
    seed: int = 0,
    on_record: Callable | None = None,
    progress: Callable | None = None,
    options=None,
) -> ArenaResult:
    """Plays `games` games of A against B over every seating and returns the result.

    Game n takes seating n % len(seatings(layout)) and the seed game_seed(seed, n),
    so the same arena plays the same games. `on_record` receives every finished
    game's record, `progress(games_done, result)` follows along.
    """
    from ..selfplay.local import run_games
    from ..selfplay.matches import Match

    if games < 1:
        raise ValueError(f"an arena needs at least 1 game, got {games}")
    a_seatings = seatings(layout)
    for player in (a, b):  # fail before any process starts
        player.check()
    match = Match((a, b), [[0 if seat in seats else 1 for seat in range(PLAYERS)] for seats in a_seatings], seed)
    result = ArenaResult(a=a.label, b=b.label, layout=layout, seed=seed)
    numbers: list[int] = []

    def collect(record) -> None:
        seats = a_seatings[record.game_number % len(a_seatings)]
        numbers.append(record.game_number)
        result.a_seat_payoffs.append(a_seat_payoff(record.payoff, seats))
        result.seatings.append(list(seats))
        if on_record is not None:
            on_record(record)
        if progress is not None:
            progress(result.games, result)

    run_games(match, range(games), workers, collect, options=options)
    order = np.argsort(numbers, kind="stable")  # game order, whichever worker finished first
    result.a_seat_payoffs = [result.a_seat_payoffs[i] for i in order]
    result.seatings = [result.seatings[i] for i in order]
    return result


def play_against_baseline(player: Player, baseline: str, games: int, workers: int = 2, seed: int = 0,
                          settings=None, options=None) -> ArenaResult:
    """`player` on one seat against three copies of `baseline` (searching with `settings`, by default
    the player's own), over the four seatings."""
    opponent = Player(baseline, settings if settings is not None else player.settings)
    if opponent.kind == "network":
        raise ValueError(f"unknown baseline {baseline!r}; expected one of {', '.join(BASELINES)}")
    return play_arena(player, opponent, games, workers, "1v3", seed, options=options)


MATCH_SAMPLE_MOVES = 4  # a match's opening moves sampled from the visits, so its games differ


def match_search(search: SearchSettings) -> SearchSettings:
    """``search`` as matches play it: no root noise, the first MATCH_SAMPLE_MOVES moves sampled."""
    return replace(search, sample_moves=MATCH_SAMPLE_MOVES, exploration_fraction=0.0)


def arena_settings(sims_per_move: int, **changes) -> SearchSettings:
    """The default search as matches play it (:func:`match_search`) at ``sims_per_move``, with ``changes``."""
    return replace(match_search(SearchSettings(sims_per_move=sims_per_move)), **changes)


def result_dict(result: ArenaResult) -> dict:
    return {**result.summary(), "a_seat_payoffs": result.a_seat_payoffs, "seatings": result.seatings}
