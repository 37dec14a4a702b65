"""Matches: seat routing by the mover, seatings, statistics, and a bad network losing to uniform."""
import math

import numpy as np
import pytest

from learning_helpers import CrampedNetwork, random_game
from tilora_zero import Game
from tilora_zero.arena import (ArenaResult, SeatRouter, arena_settings, elo_difference, games_per_seating,
                               play_arena, seatings)
from tilora_zero.cli import main


class Marker:
    """Answers every position with logits and values equal to its own mark."""

    def __init__(self, mark: float):
        self.mark = mark
        self.name = f"marker-{mark}"
        self.batches = []

    def __call__(self, planes):
        self.batches.append(len(planes))
        return (np.full((len(planes), 400), self.mark, dtype=np.float32),
                np.full((len(planes), 4), self.mark, dtype=np.float32))


def test_each_position_is_answered_by_the_network_of_the_seat_to_move():
    game = Game()
    planes, movers = [], []
    for cell in random_game(51, 120)[:120]:
        planes.append(game.planes())
        movers.append(game.current_player)
        game.apply(cell)
    a, b = Marker(1.0), Marker(2.0)
    router = SeatRouter([a, b, b, a])  # A on seats 0 and 3
    logits, values = router(np.stack(planes))
    expected = np.where(np.isin(movers, [0, 3]), 1.0, 2.0)
    assert np.array_equal(logits[:, 0], expected) and np.array_equal(values[:, 3], expected)
    # One call per network and batch.
    assert a.batches == [int(np.isin(movers, [0, 3]).sum())] and b.batches == [120 - a.batches[0]]


@pytest.mark.parametrize("layout,expected", [
    ("2v2", [(0, 1), (0, 2), (0, 3), (1, 2), (1, 3), (2, 3)]),
    ("1v3", [(0,), (1,), (2,), (3,)]),
])
def test_seatings(layout, expected):
    assert list(seatings(layout)) == expected


@pytest.mark.parametrize("games,layout,counts", [(10, "2v2", [2, 2, 2, 2, 1, 1]), (3, "1v3", [1, 1, 1, 0])])
def test_games_are_spread_over_the_seatings(games, layout, counts):
    assert games_per_seating(games, layout) == counts


@pytest.mark.parametrize("share,seats,elo", [
    (0.25, 1, 0.0), (0.25, 2, 0.0), (0.5, 1, 400 * math.log10(3)), (0.4, 2, 400 * math.log10(4)),
    (0.0, 1, -math.inf), (0.5, 2, math.inf),
])
def test_elo_difference(share, seats, elo):
    assert elo_difference(share, seats) == pytest.approx(elo)


def test_result_statistics():
    result = ArenaResult("a", "b", "1v3", a_seat_payoffs=[1.0, 0.0, 0.0, 0.5, 0.0, 0.0, 1.0, 0.0])
    assert result.mean == 0.3125
    half = 1.959964 * np.std(result.a_seat_payoffs, ddof=1) / math.sqrt(8)
    assert result.interval == pytest.approx((max(0.3125 - half, 0.0), 0.3125 + half))
    assert result.elo()[0] == pytest.approx(400 * math.log10(0.3125 / ((1 - 0.3125) / 3)))
    assert "A's mean payoff per seat: 0.3125" in result.report()


def test_a_deliberately_bad_network_scores_below_the_uniform_one():
    # Two cramped players (small pieces packed into their own corner) against two uniform
    # seats, sixteen games in each of the six seatings; one simulation plays the top prior.
    games = 96
    result = play_arena(CrampedNetwork, "uniform", games, arena_settings(1), workers=2, layout="2v2")
    assert result.games == games
    assert sorted(map(tuple, result.seatings)) == sorted(list(seatings("2v2")) * 16)
    assert result.interval[1] < 0.25


def test_arena_command_reports_and_refuses_a_missing_checkpoint(tmp_path, capsys):
    assert main(["arena", "--a", str(tmp_path / "none.pt"), "--b", "uniform", "--games", "2"]) == 2
    assert "--a: network checkpoint not found" in capsys.readouterr().err
    assert main(["arena", "--a", "uniform", "--b", "uniform", "--games", "2", "--sims", "1", "--layout", "1v3",
                 "--no-progress", "--json", str(tmp_path / "result.json")]) == 0
    out = capsys.readouterr().out
    assert "2 games (1v3, every seating); parity is 0.25" in out and "Elo difference A - B" in out
    assert (tmp_path / "result.json").exists()


@pytest.mark.parametrize("generations", [1, 3])
def test_the_arena_picture_ticks_whole_generations(generations):
    from tilora_zero.loop import arena_figure

    metrics = [{"kind": "arena", "generation": g, "opponent": "uniform", "a_mean_payoff_per_seat": 0.25,
                "ci95": [0.2, 0.3]} for g in range(1, generations + 1)]
    figure = arena_figure(metrics)
    figure.canvas.draw()
    axes = figure.axes[0]
    low, high = axes.get_xlim()
    assert [tick for tick in axes.get_xticks() if low <= tick <= high] == list(range(1, generations + 1))
