"""experiments/value_remedy: the counts model served as a network (absolute order, share scale), and the
placements open at a position."""
import pickle
import sys
from pathlib import Path

import numpy as np
import pytest

from toolkit_helpers import random_game
from tilora_zero import Game

sys.path.insert(0, str(Path(__file__).resolve().parents[3] / "experiments" / "value_remedy"))
from counts_network import CountsNetwork  # noqa: E402
from siblings import placements  # noqa: E402

# Weights that read each seat's tile count (columns 0..3 of the counts, in hundreds): the served value
# of player p must then be p's own tiles, whoever moves.
TILES = np.zeros((183, 4))
TILES[np.arange(4), np.arange(4)] = 1.0


@pytest.mark.parametrize("moves", [0, 3, 7, 26, 61, 120])
def test_served_values_are_each_players_own_count_in_absolute_order(moves):
    game = Game()
    for cell in random_game(5)[:moves]:
        game.apply(cell)
    network = pickle.loads(pickle.dumps(CountsNetwork(TILES)))
    logits, values = network(game.planes()[None].astype(np.float32))
    laid = np.bincount([player for player, _ in game.history], minlength=4) / 100.0
    assert values.dtype == np.float32 and logits.dtype == np.float32
    assert np.allclose(values[0], laid)
    assert np.array_equal(logits, np.zeros((1, 400), np.float32))


def test_served_values_stay_payoff_shares():
    planes = Game().planes()[None].astype(np.float32)
    _, high = CountsNetwork(np.full((183, 4), 10.0))(planes)
    _, low = CountsNetwork(np.full((183, 4), -10.0))(planes)
    assert np.array_equal(high, np.ones((1, 4), np.float32)) and np.array_equal(low, np.zeros((1, 4), np.float32))


def placements_in_every_order(game) -> set[frozenset[int]]:
    """The mover's placements, found by laying their cells in every order (slow and plain)."""
    found, seen = set(), set()

    def extend(position, laid):
        if frozenset(laid) in seen:
            return
        seen.add(frozenset(laid))
        for cell in position.legal_tiles():
            child = position.copy()
            child.apply(int(cell))
            if child.turn_started:
                extend(child, laid + [int(cell)])
            else:
                found.add(frozenset(laid + [int(cell)]))

    extend(game, [])
    return found


@pytest.mark.parametrize("seed, turn", [(1, 0), (1, 10), (2, 20), (2, 38)])
def test_placements_found_once_each_as_in_every_order(seed, turn):
    game = Game()
    for cell in random_game(seed):
        if not game.turn_started and turn == 0:
            break
        game.apply(cell)
        turn -= not game.turn_started
    found = placements(game)
    assert len(found) > 1 and len(found) == len({frozenset(cells) for cells in found})
    assert {frozenset(cells) for cells in found} == placements_in_every_order(game)
