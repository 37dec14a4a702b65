"""The placements a person picks from, where the seats stand, whole placements laid through the API, and the
network's hint."""
from __future__ import annotations

import types

import numpy as np
import pytest
from test_web_server import SEAT, play_on, rotations, url  # noqa: F401 (fixture)
from web_helpers import request, serving

from tilora_zero import Game
from tilora_zero._match import play_match
from tilora_zero.board import BOARD_CELLS, PLAYERS
from tilora_zero.web.opponent import Opponent
from tilora_zero.web.pieces import piece_cells
from tilora_zero.web.placements import Placement, turn_placements
from tilora_zero.web.session import PlaySession
from tilora_zero.web.standing import places, seats_out


def piece_laid(game: Game, cells: list[int]) -> Placement:
    """The piece that the player to move lays with the first of ``cells`` on."""
    game, player = game.copy(), game.current_player
    left = set(game.remaining_pieces(player))
    for count, cell in enumerate(cells, 1):
        game.apply(cell)
        if len(game.remaining_pieces(player)) < len(left):
            (kind,) = left.difference(game.remaining_pieces(player))
            return Placement(kind, tuple(sorted(cells[:count])))
    raise AssertionError("the piece never ends")


def test_the_turn_placements_hold_each_piece_the_game_lays_and_narrow_to_its_cells_once_begun():
    history, _, _ = play_match(0, [(types.SimpleNamespace(player="greedy"), None, None)] * PLAYERS, seed=7)
    game, checked = Game(), 0
    for move, (player, cell) in enumerate(history):
        if not game.turn_started:
            offered = turn_placements(game, [])
            laid = piece_laid(game, [c for _, c in history[move:]])
            assert laid in offered
            assert rotations([divmod(c, 20) for c in laid.cells]) == rotations(piece_cells(laid.kind))
            assert len({p.cells for p in offered}) == len(offered)
            assert not any(set(a.cells) < set(b.cells) for a in offered for b in offered)  # only the largest
            if len(laid.cells) > 1:
                begun = game.copy()
                begun.apply(cell)
                assert set(turn_placements(begun, [cell])) == {p for p in offered if cell in p.cells}
                checked += 1
        game.apply(cell)
    assert checked > 40 and turn_placements(game, []) == []


@pytest.mark.parametrize("turns, to_move, started, out", [
    ([], 0, False, []),
    ([0, 1, 2, 3], 0, False, []),
    ([0, 1, 2, 3, 0, 2], 3, False, [1]),
    ([0, 1, 2, 3, 1], 1, False, [0, 2, 3]),  # seat 1 follows itself: everyone else is out
    ([0, 1, 2, 3, 1], 1, True, [0]),  # seat 1's turn is begun, not a second one
    ([0, 1, 2], None, False, [0, 1, 2, 3]),
])
def test_a_seat_passed_over_is_out(turns, to_move, started, out):
    assert seats_out(turns, to_move, started) == out


def test_equal_scores_share_the_better_place():
    assert places([5, -3, 5, -10]) == [1, 3, 1, 4]


def test_a_whole_placement_is_laid_in_ascending_order_whatever_order_it_is_sent_in(url):
    state = play_on(url, request(url, "/api/state")[1], lambda state: state["to_move"] == SEAT)
    kind, cells = state["placements"][-1]
    status, after = request(url, "/api/place", {"cells": cells[::-1]})
    assert status == 200 and after["moves"][len(state["moves"]):] == [[SEAT, cell] for cell in sorted(cells)]
    assert after["placed"][-1] == [SEAT, kind] and kind not in after["remaining"]
    assert after["to_move"] != SEAT and after["covered"][SEAT] == state["covered"][SEAT] + len(cells)


@pytest.mark.parametrize("body, error", [
    ({"cells": "E5"}, "a placement is a list of cells, got 'E5'"),
    ({"cells": []}, "a placement is a list of cells, got []"),
    ({"cells": [0, -1]}, "a cell is a number from 0 to 399, got -1"),
    ({"cells": [399]}, "T20 is not a placement you can lay now"),
    ("smaller", "is not a placement you can lay now"),  # a placement inside a larger one ends no turn
])
def test_a_placement_the_turn_cannot_end_with_is_refused_and_changes_nothing(url, body, error):
    before = play_on(url, request(url, "/api/state")[1], lambda state: state["to_move"] == SEAT)
    if body == "smaller":
        body = {"cells": max(before["placements"], key=lambda p: len(p[1]))[1][:-1]}
    status, answer = request(url, "/api/place", body)
    assert status == 400 and answer["error"].endswith(error)
    assert request(url, "/api/state") == (200, before)


def test_a_turn_begun_cell_by_cell_ends_with_a_whole_placement(url):
    state = play_on(url, request(url, "/api/state")[1], lambda state: state["to_move"] == SEAT)
    kind, cells = max(state["placements"], key=lambda p: len(p[1]))
    status, begun = request(url, "/api/lay", {"cell": cells[-1]})
    assert begun["laid"] == [cells[-1]] and all(cells[-1] in c for _, c in begun["placements"])
    status, after = request(url, "/api/place", {"cells": cells})
    assert status == 200 and after["placed"][-1] == [SEAT, kind] and after["laid"] == []


def test_an_opponent_turn_asked_of_a_version_gone_by_only_draws_the_game(url):
    state = request(url, "/api/state")[1]
    assert state["to_move"] != SEAT
    status, moved = request(url, "/api/opponent", {"version": state["version"]})
    assert status == 200 and moved["version"] > state["version"]
    assert request(url, "/api/opponent", {"version": state["version"]}) == (200, moved)  # a second tab, late


class FavouringNetwork:
    """Logits of 10 on one placement's cells, 0 elsewhere; fixed values."""

    def __init__(self, cells):
        self.logits = np.zeros((1, BOARD_CELLS), dtype=np.float32)
        self.logits[0, cells] = 10

    def __call__(self, planes):
        assert planes.shape == (1, 5, 20, 20)
        return self.logits, np.array([[0.1, 0.2, 0.3, 0.4]], dtype=np.float32)


def test_the_hint_gives_the_networks_values_and_its_favoured_placements_first():
    session = PlaySession(Opponent("greedy", 4), seat=0, seed=3)
    with serving(session) as address:
        assert request(address, "/api/hint") == (404, {"error": "no hint: the opponent greedy has no network"})
        state = session.state()
        favourite = state["placements"][len(state["placements"]) // 2][1]
        session.opponent.network = FavouringNetwork(favourite)
        status, hint = request(address, "/api/hint")
    assert status == 200 and hint["values"] == pytest.approx([0.1, 0.2, 0.3, 0.4])
    assert hint["placements"][0]["cells"] == favourite and len(hint["placements"]) == 3
    weights = [p["weight"] for p in hint["placements"]]
    assert weights[0] > weights[1] >= weights[2] > 0
    assert all([p["kind"], p["cells"]] in state["placements"] for p in hint["placements"])
