"""The engine bindings: Game, pack_planes, replay_planes, playout_means, and their agreement with the module."""

from __future__ import annotations

import copy
import io
import contextlib

import numpy as np
import pytest

import tilora_self_play
from module_fakes import SearchConfig
from toolkit_helpers import random_game
from tilora_zero import Game, RuleError, _engine

START_CELLS = [0, 1, 2, 3, 4, 20, 21, 22, 23, 40, 41, 42, 60, 61, 80]


def test_new_game_is_player_zero_at_the_start():
    game = Game()
    assert game.current_player == 0
    assert not game.is_over
    assert game.legal_tiles().tolist() == START_CELLS
    assert game.score() == [-89, -89, -89, -89]
    assert game.payoff() == [0.25, 0.25, 0.25, 0.25]
    assert game.history == []
    assert game.cells.dtype == np.uint8 and game.cells.shape == (400,) and not game.cells.any()
    assert game.remaining_pieces(3) == list(range(21))


@pytest.mark.parametrize("cell", [5, 19, 399, 400, -1, 10**6])
def test_refused_move_raises_rule_error_and_changes_nothing(cell):
    game = Game()
    game.apply(0)
    before = (game.history, game.cells.tolist(), game.legal_tiles().tolist(), game.current_player)
    with pytest.raises(RuleError, match="^Invalid move$") as raised:
        game.apply(cell)
    assert isinstance(raised.value, ValueError)
    assert (game.history, game.cells.tolist(), game.legal_tiles().tolist(), game.current_player) == before


def test_finished_game_refuses_moves_and_planes():
    game = Game()
    for cell in random_game(3):
        game.apply(cell)
    assert game.is_over and game.current_player is None
    assert game.legal_tiles().tolist() == []
    with pytest.raises(RuleError, match="^No current player$"):
        game.apply(0)
    with pytest.raises(RuleError, match="^No current player$"):
        game.planes()
    assert sum(game.payoff()) == pytest.approx(1.0)


def test_copy_is_independent_and_reset_starts_over():
    game = Game()
    game.apply(0)
    for twin in (game.copy(), copy.copy(game), copy.deepcopy(game)):
        twin.apply(1)
        assert [c for _, c in twin.history] == [0, 1]
    assert game.history == [(0, 0)]
    game.reset()
    assert game.history == [] and game.legal_tiles().tolist() == START_CELLS


def test_cells_hold_owner_codes_and_history_pairs():
    cells = random_game(5)
    game = Game()
    for cell in cells:
        game.apply(cell)
    owners = game.cells & 0x0F
    assert [p for p, _ in game.history] == [owners[c] - 1 for c in cells]
    assert [c for _, c in game.history] == cells
    assert int((owners > 0).sum()) == len(cells)


def test_planes_on_the_empty_board_mark_only_the_start_cells():
    planes = Game().planes()
    assert planes.dtype == np.float32 and planes.shape == (5, 20, 20)
    assert not planes[:4].any()
    assert np.flatnonzero(planes[4]).tolist() == START_CELLS


def test_planes_are_seen_from_the_player_to_move():
    game = Game()
    for cell in random_game(11)[:40]:
        game.apply(cell)
    owners = (game.cells & 0x0F).astype(int) - 1
    mover = game.current_player
    planes = game.planes().reshape(5, 400)
    for plane in range(4):
        seat = (mover + plane - 1) % 4
        assert np.array_equal(np.flatnonzero(planes[plane]), np.flatnonzero(owners == seat))
    assert np.flatnonzero(planes[4]).tolist() == game.legal_tiles().tolist()


@pytest.mark.parametrize("seed", [1, 2])
def test_pack_planes_matches_numpy_packbits(seed):
    game = Game()
    for cell in random_game(seed)[:100]:
        planes = game.planes()
        packed = _engine.pack_planes(planes.reshape(5, 400).tolist())
        assert packed == np.packbits(planes.reshape(-1) != 0).tobytes()
        game.apply(cell)


@pytest.mark.parametrize("planes, message", [
    ([[0.0] * 400] * 4, "5 planes, got 4"),
    ([[0.0] * 400] * 4 + [[0.0] * 399], "400 numbers, got 399"),
    (7, "planes must be a sequence"),
])
def test_pack_planes_refuses_wrong_shapes(planes, message):
    with pytest.raises(TypeError, match=message):
        _engine.pack_planes(planes)


def test_pack_planes_refuses_non_numbers():
    with pytest.raises(TypeError):
        _engine.pack_planes([["x"] * 400] * 5)


@pytest.mark.parametrize("dtype", [np.int16, np.int32, np.int64, None])
def test_replay_planes_equals_planes_before_each_move(dtype):
    cells = random_game(7)
    replayed = _engine.replay_planes(cells if dtype is None else np.array(cells, dtype=dtype))
    assert replayed.dtype == np.uint8 and replayed.shape == (len(cells), 5, 20, 20)
    game = Game()
    for i, cell in enumerate(cells):
        assert np.array_equal(replayed[i], game.planes()), i
        game.apply(cell)


@pytest.mark.parametrize("cells, message", [
    ([0, 0], "^move 1 \\(cell 0\\): Invalid move$"),
    ([5], "^move 0 \\(cell 5\\): Invalid move$"),
])
def test_replay_planes_names_the_refused_move(cells, message):
    with pytest.raises(RuleError, match=message):
        _engine.replay_planes(cells)


def test_replay_planes_past_the_end_of_a_game_is_refused():
    cells = random_game(9)
    with pytest.raises(RuleError, match=f"^move {len(cells)} \\(cell 0\\): No current player$"):
        _engine.replay_planes(cells + [0])


def reachable_payoffs(game, budget: int = 20_000) -> set[tuple[float, ...]]:
    """Every payoff some sequence of legal cells reaches from `game`; None past `budget` positions."""
    seen, stack, payoffs = 0, [game], set()
    while stack:
        position = stack.pop()
        seen += 1
        if seen > budget:
            return None
        if position.is_over:
            payoffs.add(tuple(position.payoff()))
            continue
        for cell in position.legal_tiles():
            child = position.copy()
            child.apply(int(cell))
            stack.append(child)
    return payoffs


@pytest.mark.parametrize("seed", [3, 11])
def test_playout_means_play_on_from_each_position(seed):
    cells = np.array(random_game(seed), dtype=np.int64)
    end = len(cells)
    game = Game()
    for cell in cells[:end - 6]:
        game.apply(int(cell))
    endings = {}  # move index -> the payoffs its short ending can reach
    for move in range(end - 6, end + 1):
        endings[move] = reachable_payoffs(game.copy())
        if move < end:
            game.apply(int(cells[move]))
    moves = np.array([m for m, reach in endings.items() if reach is not None], dtype=np.int64)
    assert end in moves and len(moves) >= 3
    for playout_seed in range(5):
        single = _engine.playout_means(cells, 1, playout_seed, moves)
        for move, payoff in zip(moves, single):
            assert tuple(payoff) in endings[move], move
    means = _engine.playout_means(cells, 16, 5, moves)
    assert means[-1].tolist() == game.payoff()
    for move, mean in zip(moves, means):
        reach = np.array(sorted(endings[move]))
        assert np.all(reach.min(axis=0) - 1e-6 <= mean) and np.all(mean <= reach.max(axis=0) + 1e-6)
    whole = _engine.playout_means(cells, 16, 5)
    assert whole.shape == (end, 4) and whole.dtype == np.float32
    assert np.allclose(whole.sum(axis=1), 1.0)
    assert np.array_equal(whole[moves[:-1]], means[:-1])  # a subset gets the whole call's figures
    assert np.array_equal(_engine.playout_means(cells, 16, 5), whole)
    assert not np.array_equal(_engine.playout_means(cells, 16, 6), whole)


@pytest.mark.parametrize("call, error, message", [
    (lambda c: _engine.playout_means(c, 0, 1), ValueError, "^playouts must be at least 1, got 0$"),
    (lambda c: _engine.playout_means(c, 1, 1, np.array([len(c) + 1])), IndexError, "^move index"),
    (lambda c: _engine.playout_means(c, 1, 1, np.array([4, 2])), ValueError, "strictly ascending"),
    (lambda c: _engine.playout_means(np.append(c[:3], 0), 1, 1, np.array([4])), RuleError,
     "^move 3 \\(cell 0\\): Invalid move$"),
])
def test_playout_means_refuses_bad_arguments(call, error, message):
    with pytest.raises(error, match=message):
        call(np.array(random_game(3), dtype=np.int64))


class Recorder:
    """Queue and pipe for the module: keeps every request, answers uniformly."""

    def __init__(self):
        self.requests = []
        self.reply = (np.zeros(400, dtype=np.float32), np.zeros(4, dtype=np.float32))

    def put(self, request):
        self.requests.append(request)

    def recv(self):
        return self.reply


def play_recorded(sims: int) -> tuple[Recorder, tuple]:
    recorder = Recorder()
    settings = SearchConfig(sims_per_move=sims, sample_moves=400)  # the module's own config: 0 sims allowed
    with contextlib.redirect_stdout(io.StringIO()):
        result = tilora_self_play.generate_game_data(5, settings, recorder, recorder)
    return recorder, result


def test_module_requests_with_no_simulations_are_the_replayed_positions():
    recorder, (history, policies, payoff) = play_recorded(sims=0)
    assert len(recorder.requests) == len(history)
    game = Game()
    for (game_id, planes), (player, cell), policy in zip(recorder.requests, history, policies):
        assert game_id == 5
        assert game.current_player == player
        assert np.array_equal(np.array(planes, dtype=np.float32).reshape(5, 20, 20), game.planes())
        assert sorted(c for c, _ in policy) == game.legal_tiles().tolist()
        game.apply(cell)
    assert game.is_over and game.payoff() == payoff


def test_module_root_requests_appear_in_order_and_policies_list_the_legal_tiles():
    recorder, (history, policies, payoff) = play_recorded(sims=4)
    packed = [_engine.pack_planes(planes) for _, planes in recorder.requests]
    game, position = Game(), 0
    for (player, cell), policy in zip(history, policies):
        root = np.packbits(game.planes().reshape(-1) != 0).tobytes()
        position = packed.index(root, position)  # the root is asked before its simulations
        assert sorted(c for c, _ in policy) == game.legal_tiles().tolist()
        assert sum(share for _, share in policy) == pytest.approx(1.0, abs=1e-5)
        game.apply(cell)
    assert game.is_over and game.payoff() == payoff
