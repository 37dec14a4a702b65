"""Training arrays from records: planes, policy targets and mover-frame values of a known game."""
import numpy as np
import pytest

import tilora_self_play
from learning_helpers import InProcessChannel
from toolkit_helpers import random_game
from tilora_zero import Game
from tilora_zero.data.dataset import from_records, load_dataset, record_arrays
from tilora_zero.data.records import GameRecord, write_records
from tilora_zero.networks import UniformNetwork
from tilora_zero.selfplay.local import SearchSettings


def short_record(cells, payoff, shares_of):
    """A record of the moves `cells` whose visit shares come from `shares_of(legal_tiles)`."""
    game = Game()
    players, offsets, policy_cells, policy_shares = [], [0], [], []
    for cell in cells:
        legal = game.legal_tiles()
        players.append(game.current_player)
        shares = shares_of(legal)
        policy_cells.extend(legal)
        policy_shares.extend(shares)
        offsets.append(len(policy_cells))
        game.apply(cell)
    return GameRecord(
        players=np.array(players, dtype=np.int8), cells=np.array(cells, dtype=np.int16),
        policy_offsets=np.array(offsets, dtype=np.int32), policy_cells=np.array(policy_cells, dtype=np.int16),
        policy_shares=np.array(policy_shares, dtype=np.float32), payoff=np.array(payoff, dtype=np.float32),
        scores=np.zeros(4, dtype=np.int32), metadata={"game": 5},
    )


def test_arrays_of_a_known_game():
    cells = random_game(21, 40)
    record = short_record(cells, [0.0, 0.5, 0.5, 0.0], lambda legal: np.full(len(legal), 1 / len(legal)))
    data = record_arrays(record, 5)
    assert len(data) == 40 and data.planes.dtype == np.uint8 and data.planes.shape == (40, 5, 20, 20)
    game = Game()
    starts = data.turn_starts()
    for i, cell in enumerate(cells):
        assert np.array_equal(data.planes[i], game.planes().astype(np.uint8))
        assert starts[i] == (not game.turn_started)
        legal = game.legal_tiles()
        expected = np.zeros(400, dtype=np.float32)
        expected[legal] = np.float32(1 / len(legal))
        assert np.array_equal(data.policies[i], expected)
        mover = game.current_player
        assert data.movers[i] == mover
        # Mover frame: entry k is the payoff of seat (mover + k - 1) mod 4.
        assert data.values[i].tolist() == [[0.0, 0.5, 0.5, 0.0][(mover + k - 1) % 4] for k in range(4)]
        game.apply(cell)
    assert np.array_equal(data.absolute_values(), np.tile([0.0, 0.5, 0.5, 0.0], (40, 1)).astype(np.float32))
    assert set(data.games.tolist()) == {5}


def test_moves_without_finite_visit_shares_are_refused_naming_the_shard_and_game(tmp_path):
    cells = random_game(22, 6)
    record = short_record(cells, [1, 0, 0, 0], lambda legal: np.full(len(legal), 1 / len(legal)))
    record.policy_shares[record.policy_offsets[3]:] = np.nan  # moves 3 to 5: searches without simulations
    write_records(tmp_path, [record])
    with pytest.raises(ValueError, match=f"^{tmp_path / 'games-00000.npz'}: game 5: the visit shares of move 3 "
                                         "are not finite"):
        load_dataset(tmp_path)


@pytest.mark.parametrize("tree", ["placements", "cells"])
def test_module_games_round_trip_through_a_records_directory(tmp_path, capfd, tree):
    settings = SearchSettings(sims_per_move=2, tree=tree)
    records = []
    for number in range(2):
        channel = InProcessChannel(UniformNetwork())
        result = tilora_self_play.generate_game_data(number, settings, channel, channel)
        game = Game()
        for _, cell in result[0]:
            game.apply(cell)
        records.append(GameRecord.from_result(result, game.score(), {"game": number}))
    capfd.readouterr()
    write_records(tmp_path, records)
    data = load_dataset(tmp_path)
    moves = [r.num_moves for r in records]
    assert len(data) == sum(moves)
    # A searched move's shares sum to 1; a move without a search has none. Under the placement tree only
    # a turn's first move can be searched.
    assert np.array_equal(data.searched, np.concatenate([r.searched for r in records]))
    np.testing.assert_allclose(data.policies.sum(axis=1), data.searched.astype(np.float32), atol=1e-5)
    if tree == "cells":
        assert data.searched.all()
    else:
        assert 0 < data.searched.sum() < len(data) // 2
    # Every share sits on a legal cell of its position.
    assert np.all(data.planes[:, 4].reshape(len(data), 400)[data.policies > 0] == 1)
    assert np.array_equal(data.games, np.repeat([0, 1], moves))
    np.testing.assert_allclose(data.absolute_values(), np.repeat([r.payoff for r in records], moves, axis=0))
    newest = load_dataset(tmp_path, last_games=1)
    assert len(newest) == moves[1] and set(newest.games.tolist()) == {1}
    assert len(from_records(records)) == len(data)


def test_dataset_errors(tmp_path):
    with pytest.raises(FileNotFoundError, match="records directory not found"):
        load_dataset(tmp_path / "nothing")
    with pytest.raises(ValueError, match="no game records in"):
        load_dataset(tmp_path)
