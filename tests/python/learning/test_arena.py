"""Arenas: seatings, statistics, seeded baseline matches, and a bad network losing to uniform."""
import json
import math

import numpy as np
import pytest

from learning_helpers import CrampedNetwork
from tilora_zero.cli import main
from tilora_zero.learning.arena import ArenaResult, arena_settings, elo_difference, play_arena, seatings
from tilora_zero.selfplay.players import Player


@pytest.mark.parametrize("layout,expected", [
    ("2v2", [(0, 1), (0, 2), (0, 3), (1, 2), (1, 3), (2, 3)]),
    ("1v3", [(0,), (1,), (2,), (3,)]),
])
def test_seatings(layout, expected):
    assert list(seatings(layout)) == expected


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


@pytest.mark.parametrize("payoffs,reason", [
    ([1.0] + [0.0] * 39, None),  # the payoff interval reaches 0, the Elo interval stays finite
    ([0.0] * 40, "A never scored"),
    ([1.0] * 40, "B never scored"),
])
def test_the_elo_interval_is_finite_unless_one_side_never_scored(payoffs, reason):
    result = ArenaResult("a", "b", "1v3", a_seat_payoffs=payoffs)
    elo, low, high = result.elo()
    assert result.elo_bounds_reason() == reason
    if reason is None:
        assert result.interval[0] == 0.0
        assert math.isfinite(low) and low < elo < high and math.isfinite(high)
        assert "no finite bound" not in result.report()
    else:
        assert not (math.isfinite(low) and math.isfinite(high))
        assert f"(no finite bound: {reason})" in result.report()


def test_a_seeded_arena_of_baselines_plays_the_same_games_again():
    def arena(seed):
        records = {}
        result = play_arena(Player("greedy"), Player("uniform", arena_settings(4)), 4, workers=2, layout="1v3",
                            seed=seed, on_record=lambda r: records.__setitem__(r.game_number, r))
        return result, {n: r.cells.tolist() for n, r in records.items()}, records

    first, games, records = arena(7)
    again, games_again, _ = arena(7)
    _, other_games, _ = arena(8)
    assert games == games_again and games != other_games
    assert first.a_seat_payoffs == again.a_seat_payoffs and first.seatings == [[0], [1], [2], [3]]
    assert records[2].metadata["seats"] == [1, 1, 0, 1]
    assert [p["name"] for p in records[2].metadata["players"]] == ["greedy", "uniform"]


def test_a_deliberately_bad_network_scores_below_the_uniform_one():
    # Two cramped players (small pieces packed into their own corner) against two uniform
    # seats, sixteen seeded games in each of the six seatings; one simulation of the classic rule plays
    # the top prior.
    games, settings = 96, arena_settings(1, search="classic")
    result = play_arena(Player(CrampedNetwork, settings), Player("uniform", settings), games, workers=2, layout="2v2",
                        seed=3)
    assert result.games == games
    assert sorted(map(tuple, result.seatings)) == sorted(list(seatings("2v2")) * 16)
    assert result.interval[1] < 0.25


@pytest.mark.parametrize("args,error", [
    (["--a", "none.pt", "--b", "uniform"], "--a: network checkpoint not found"),
    (["--a", "greedy", "--b", "none.pt", "--value-convention", "centred"],
     "--b: the puct search reads payoff shares; value convention 'centred' is for the classic search"),
])
def test_arena_command_refuses_unusable_players(args, error, capsys):
    assert main(["arena", *args, "--games", "2"]) == 2
    assert error in capsys.readouterr().err


def test_arena_command_plays_baselines_with_their_own_simulations(tmp_path, capsys):
    assert main(["arena", "--a", "rollout", "--b", "uniform", "--games", "2", "--a-sims", "3", "--sims", "1",
                 "--layout", "1v3", "--search", "classic", "--no-progress", "--json",
                 str(tmp_path / "result.json")]) == 0
    out = capsys.readouterr().out
    assert "A = rollout (classic over placements, 3 sims)\nB = uniform (classic over placements, 1 sims)\n2 games (1v3, every seating)" in out
    assert json.loads((tmp_path / "result.json").read_text())["seed"] == 0


@pytest.mark.parametrize("generations", [1, 3])
def test_the_ladder_picture_ticks_whole_generations(generations):
    from tilora_zero.learning.ladder import ladder_figure

    metrics = [{"kind": "ladder", "generation": g, "baseline": "uniform", "a_mean_payoff_per_seat": 0.25,
                "ci95": [0.2, 0.3]} for g in range(1, generations + 1)]
    figure = ladder_figure(metrics)
    figure.canvas.draw()
    axes = figure.axes[0]
    low, high = axes.get_xlim()
    assert [tick for tick in axes.get_xticks() if low <= tick <= high] == list(range(1, generations + 1))
