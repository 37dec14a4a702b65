"""The served value convention decides whether the classic search explores at all.

The network here believes the player to move gets a 0.1 share (below par) in
every position and gives every legal cell the same prior; the root has no
noise. Where every move keeps the turn (none ends a piece, whose child the
chooser would value as one of the others), the chooser's value is that 0.1.
Served as the raw share (0.1 >= 0), the first child tried keeps every
simulation. Centred on par (4 * 0.1 - 1 = -0.6), a tried child falls behind its
untried siblings, so every child is tried once before any is tried twice.
"""
import pytest

import tilora_self_play
from learning_helpers import BelowParNetwork, InProcessChannel
from tilora_zero import Game
from tilora_zero.selfplay.local import SearchSettings

SIMS = 8


def keeps_the_turn(game: Game, cell: int) -> bool:
    child = game.copy()
    child.apply(cell)
    return child.current_player == game.current_player


def play(convention: str):
    settings = SearchSettings(sims_per_move=SIMS, sample_moves=0, exploration_fraction=0.0, search="classic",
                              tree="cells")
    channel = InProcessChannel(BelowParNetwork(convention))
    history, policies, payoff = tilora_self_play.generate_game_data(7, settings, channel, channel)
    return history, policies


@pytest.mark.parametrize("convention,spread", [("share", False), ("offset", True), ("centred", True)])
def test_root_visits_spread_only_when_values_are_centred_on_par(convention, spread, capfd):
    history, policies = play(convention)
    capfd.readouterr()
    game = Game()
    checked = 0
    for move, ((player, cell), policy) in enumerate(zip(history, policies)):
        children = len(policy)
        visited = sum(1 for _, share in policy if share > 0)
        # Mid-game positions with a choice (the end game meets finished games, valued by the raw payoff).
        if 20 <= move < 120 and children >= 2 and all(keeps_the_turn(game, c) for c, _ in policy):
            assert visited == (min(children, SIMS) if spread else 1), (move, policy)
            checked += 1
        game.apply(cell)
    assert checked >= 50
