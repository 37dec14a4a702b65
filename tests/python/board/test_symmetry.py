"""Board symmetries: the rotations are symmetries of the rules, the reflections are not.

A whole game is transformed (cells moved, seats renamed) and replayed through
the rules engine, the transformed game starting with the seat that the first
player became. For a rotation every move is legal, the same seat is to move as
in the original, and the engine's planes are exactly the rotated planes of the
original, legal cells included. A reflection reverses the order in which the
turn goes round the corners, and its replay breaks at the first piece.
"""
import numpy as np
import pytest

import tilora_self_play
from learning_helpers import InProcessChannel
from toolkit_helpers import random_game
from tilora_zero import Game
from tilora_zero.networks import UniformNetwork
from tilora_zero.settings import SearchSettings
from tilora_zero.board.symmetry import (ALL_TRANSFORMS, ROTATIONS, RULE_SYMMETRIES, cell_map, seat_map,
                                        transform_cell_arrays, transform_cells, transform_index, transform_planes)

REFLECTIONS = [t for t in ALL_TRANSFORMS if t not in ROTATIONS]


@pytest.mark.parametrize("seed", [31, 32])
@pytest.mark.parametrize("transform", ROTATIONS)
def test_rotated_games_replay_move_by_move(seed, transform):
    cells = random_game(seed)
    seats = seat_map(transform)
    original = Game()
    rotated = Game(first_player=int(seats[0]))
    for cell, new_cell in zip(cells, transform_cells(cells, transform)):
        assert rotated.current_player == seats[original.current_player]
        planes = original.planes()
        assert np.array_equal(rotated.planes(), transform_planes(planes, transform))
        assert np.array_equal(np.sort(rotated.legal_tiles()), np.sort(transform_cells(original.legal_tiles(), transform)))
        original.apply(int(cell))
        rotated.apply(int(new_cell))
    assert rotated.is_over
    assert rotated.payoff() == [original.payoff()[p] for p in np.argsort(seats)]


@pytest.mark.parametrize("transform", REFLECTIONS)
def test_reflected_games_do_not_replay(transform):
    cells = random_game(33)
    corners = transform_cells([0, 19, 399, 380], transform)
    # The seat whose corner each corner becomes: a reflection reverses their cyclic order.
    seats = np.array([[0, 19, 399, 380].index(c) for c in corners])
    assert sorted(seats.tolist()) == [0, 1, 2, 3]
    assert not any(np.array_equal(seats, (np.arange(4) + k) % 4) for k in range(4))
    reflected = Game(first_player=int(seats[0]))
    original = Game()
    broke = None
    for move, (cell, new_cell) in enumerate(zip(cells, transform_cells(cells, transform))):
        if reflected.current_player != seats[original.current_player]:
            broke = move
            break
        original.apply(int(cell))
        reflected.apply(int(new_cell))
    # It breaks when the first piece is done and the turn goes the other way round.
    assert broke == first_move_of_player_1(cells)


def first_move_of_player_1(cells):
    game = Game()
    for move, cell in enumerate(cells):
        if game.current_player == 1:
            return move
        game.apply(int(cell))
    return None


def test_only_rotations_are_used_for_augmentation():
    assert RULE_SYMMETRIES == ("identity", "rotate90", "rotate180", "rotate270")
    assert [seat_map(t) for t in REFLECTIONS] == [None] * 4


@pytest.mark.parametrize("transform,turns", [(t, k) for k, t in enumerate(ROTATIONS)])
def test_rotations_match_numpy_rot90(transform, turns):
    board = np.arange(400).reshape(20, 20)
    assert np.array_equal(transform_planes(board, transform), np.rot90(board, turns))
    assert np.array_equal(transform_cell_arrays(board.reshape(1, 400), np.array([transform_index(transform)])),
                          np.rot90(board, turns).reshape(1, 400))
    assert sorted(cell_map(transform).tolist()) == list(range(400))


def test_unknown_transform_is_refused():
    with pytest.raises(ValueError, match="unknown board transform 'shear'"):
        cell_map("shear")


@pytest.mark.parametrize("transform", ROTATIONS[1:])
def test_rotated_placement_games_replay_turn_by_turn_with_their_targets(transform, capfd):
    """Under the placement tree a turn's cells are laid in ascending order, which a rotation does not keep:
    the rotated game lays each turn's rotated cells in ascending order again. Its turns end where the
    original's do, and a searched move's target (each decision's share spread over its cells) moved
    cell by cell covers the legal cells of the rotated turn's start: the same target at the placement
    level: it covers exactly the legal cells of the rotated turn's start."""
    settings = SearchSettings(sims_per_move=4, tree="placements", seed=8)
    channel = InProcessChannel(UniformNetwork())
    history, policies, _ = tilora_self_play.generate_game_data(0, settings, channel, channel)
    capfd.readouterr()
    turns, game = [], Game()
    for (player, cell), policy in zip(history, policies):
        if not game.turn_started:
            turns.append((player, [], policy))
        turns[-1][1].append(cell)
        game.apply(cell)
    seats = seat_map(transform)
    rotated = Game(first_player=int(seats[0]))
    searched = 0
    for player, cells, policy in turns:
        assert rotated.current_player == seats[player]
        if policy:
            searched += 1
            moved = transform_cells([c for c, _ in policy], transform)
            assert sorted(moved.tolist()) == rotated.legal_tiles().tolist()
        for cell in np.sort(transform_cells(cells, transform)):
            assert rotated.current_player == seats[player]
            rotated.apply(int(cell))
    assert rotated.is_over and searched > 0
