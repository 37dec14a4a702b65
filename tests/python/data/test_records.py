"""Records: building them from the module's result, shards readable by plain NumPy, the writer."""

from __future__ import annotations

import json
import os

import numpy as np
import pytest

from tilora_zero import Game
from tilora_zero.data.dataset import load_dataset
from tilora_zero.data.records import (FORMAT, DamagedShardWarning, GameRecord, RecordError, RecordWriter, count_games,
                                      find_record, game_numbers, iter_records, read_shard, recorded_games, shard_paths,
                                      write_records, write_shard)


def module_like_result(seed: int) -> tuple[tuple, list[int]]:
    """(history, policies, payoff) of a random game, shaped like generate_game_data's, and the scores."""
    rng = np.random.default_rng(seed)
    game, history, policies = Game(), [], []
    while not game.is_over:
        legal = game.legal_tiles()
        visits = rng.integers(1, 5, size=len(legal))
        order = rng.permutation(len(legal))  # the module lists children in no particular order
        policies.append([(int(legal[i]), float(np.float32(visits[i] / visits.sum()))) for i in order])
        cell = int(rng.choice(legal))
        history.append((game.current_player, cell))
        game.apply(cell)
    return (history, policies, game.payoff()), game.score()


def make_record(number: int, seed: int | None = None) -> GameRecord:
    result, scores = module_like_result(number if seed is None else seed)
    return GameRecord.from_result(result, scores, {"game": number, "network": "uniform", "settings": {"sims": 1}})


def test_from_result_keeps_every_move_and_share_exactly():
    (history, policies, payoff), scores = module_like_result(4)
    record = GameRecord.from_result((history, policies, payoff), scores, {"game": 9})
    assert record.game_number == 9 and record.num_moves == len(history)
    assert record.players.dtype == np.int8 and record.cells.dtype == np.int16
    assert list(zip(record.players.tolist(), record.cells.tolist())) == history
    assert record.policy_offsets.dtype == np.int32 and record.policy_offsets[0] == 0
    for move, entry in enumerate(policies):
        cells, shares = record.policy(move)
        assert cells.tolist() == [c for c, _ in entry]
        assert shares.tolist() == [s for _, s in entry]  # float32 values survive exactly
    assert record.payoff.tolist() == payoff and record.scores.tolist() == scores


def test_policy_targets_are_dense_visit_shares():
    record = make_record(1)
    targets = record.policy_targets()
    assert targets.shape == (record.num_moves, 400) and targets.dtype == np.float32
    for move in (0, 17, record.num_moves - 1):
        cells, shares = record.policy(move)
        expected = np.zeros(400, dtype=np.float32)
        expected[cells] = shares
        assert np.array_equal(targets[move], expected)


def test_from_result_refuses_mismatched_lengths():
    (history, policies, payoff), scores = module_like_result(2)
    with pytest.raises(RecordError, match=f"history has {len(history)} moves but policies has"):
        GameRecord.from_result((history, policies[:-1], payoff), scores, {})


def test_shard_round_trip_is_exact(tmp_path):
    records = [make_record(n) for n in (3, 1, 2)]
    write_shard(tmp_path / "games-00000.npz", records)
    back = read_shard(tmp_path / "games-00000.npz")
    assert [r.game_number for r in back] == [3, 1, 2]
    assert all(a.equals(b) for a, b in zip(records, back))


def test_a_shard_is_plain_numpy(tmp_path):
    records = [make_record(n) for n in range(3)]
    path = write_shard(tmp_path / "games-00000.npz", records)
    with np.load(path, allow_pickle=False) as shard:
        assert str(shard["format"]) == FORMAT
        assert shard["game_numbers"].tolist() == [0, 1, 2]
        offsets = shard["move_offsets"]
        g = 1
        moves = slice(offsets[g], offsets[g + 1])
        assert shard["cells"][moves].tolist() == records[g].cells.tolist()
        assert shard["players"][moves].tolist() == records[g].players.tolist()
        i = offsets[g] + 5  # the sixth move of game 1
        a, b = shard["policy_offsets"][i], shard["policy_offsets"][i + 1]
        assert shard["policy_cells"][a:b].tolist() == records[g].policy(5)[0].tolist()
        assert shard["payoffs"][g].tolist() == records[g].payoff.tolist()
        assert shard["scores"].dtype == np.int32 and shard["scores"][g].tolist() == records[g].scores.tolist()
        assert json.loads(str(shard["metadata"][g]))["network"] == "uniform"


def test_writer_shards_by_count_and_reads_back_sorted_by_game_number(tmp_path):
    with RecordWriter(tmp_path, games_per_shard=2, flush_seconds=1e9) as writer:
        for number in (4, 0, 3, 1, 2):
            writer.add(make_record(number))
        assert len(shard_paths(tmp_path)) == 2  # the fifth game is still buffered
    assert [p.name for p in shard_paths(tmp_path)] == ["games-00000.npz", "games-00001.npz", "games-00002.npz"]
    assert writer.written_games == 5
    assert [r.game_number for r in iter_records(tmp_path)] == [0, 1, 2, 3, 4]
    assert game_numbers(tmp_path) == [0, 1, 2, 3, 4] and count_games(tmp_path) == 5


def test_writer_continues_numbering_and_drops_temporary_leftovers(tmp_path):
    write_shard(tmp_path / "games-00007.npz", [make_record(0)])
    leftover = tmp_path / ".games-00008.npz.abc.tmp"
    leftover.write_bytes(b"half a shard")
    writer = RecordWriter(tmp_path, games_per_shard=10, flush_seconds=0.0)
    assert not leftover.exists()
    writer.add(make_record(1))  # flush_seconds 0: written at once
    assert [p.name for p in shard_paths(tmp_path)] == ["games-00007.npz", "games-00008.npz"]
    assert writer.flush() is None


def test_an_interrupted_write_leaves_nothing_behind(tmp_path, monkeypatch):
    def interrupted(file, **arrays):
        file.write(b"PK half of an archive")
        raise KeyboardInterrupt

    monkeypatch.setattr(np, "savez_compressed", interrupted)
    with pytest.raises(KeyboardInterrupt):
        write_shard(tmp_path / "games-00000.npz", [make_record(0)])
    assert os.listdir(tmp_path) == []


def damage(path, how: str) -> None:
    data = path.read_bytes()
    if how == "truncated":
        data = data[: len(data) // 2]
    elif how == "flipped":
        middle = len(data) // 2
        data = data[:middle] + bytes(b ^ 0xFF for b in data[middle : middle + 8]) + data[middle + 8 :]
    elif how == "empty":
        data = b""
    elif how == "foreign":
        np.savez(path, something=np.zeros(3))
        return
    path.write_bytes(data)


@pytest.mark.parametrize("how", ["truncated", "flipped", "empty", "foreign"])
def test_a_damaged_shard_is_named_and_skipped_and_every_intact_game_stays_readable(tmp_path, how):
    records = [make_record(n) for n in range(6)]
    write_records(tmp_path, records, games_per_shard=2)
    damaged = tmp_path / "games-00001.npz"  # games 2 and 3
    damage(damaged, how)
    before = damaged.read_bytes()
    with pytest.raises(RecordError, match="games-00001.npz"):
        read_shard(damaged)
    for read in (game_numbers, count_games, recorded_games, lambda d: list(iter_records(d)),
                 lambda d: load_dataset(d).games, lambda d: find_record(d, 4)):
        with pytest.warns(DamagedShardWarning, match=f"^{damaged}: .*; its games are left out$"):
            read(tmp_path)
    with pytest.warns(DamagedShardWarning):
        assert game_numbers(tmp_path) == [0, 1, 4, 5] and count_games(tmp_path) == 4
        assert sorted(recorded_games(tmp_path)) == [0, 1, 4, 5]
        back = list(iter_records(tmp_path))
        assert [r.source.name for r in back] == ["games-00000.npz"] * 2 + ["games-00002.npz"] * 2
        assert all(r.equals(records[r.game_number]) for r in back)
        assert set(load_dataset(tmp_path).games.tolist()) == {0, 1, 4, 5}
    assert damaged.read_bytes() == before


def test_find_record_by_number_in_a_file_or_a_directory(tmp_path):
    write_shard(tmp_path / "games-00000.npz", [make_record(5), make_record(6)])
    assert find_record(tmp_path / "games-00000.npz").game_number == 5
    assert find_record(tmp_path, 6).game_number == 6
    with pytest.raises(RecordError, match="holds no game number 7"):
        find_record(tmp_path, 7)
    with pytest.raises(RecordError, match="no such file or directory"):
        find_record(tmp_path / "missing.npz")


def test_a_missing_directory_holds_no_games(tmp_path):
    assert count_games(tmp_path / "nothing") == 0
    with pytest.raises(RecordError, match="no such records directory"):
        list(iter_records(tmp_path / "nothing"))


def test_a_shard_gets_the_permissions_of_an_ordinary_new_file(tmp_path):
    old = os.umask(0o027)
    try:
        path = write_shard(tmp_path / "games-00000.npz", [make_record(0)])
    finally:
        os.umask(old)
    assert path.stat().st_mode & 0o777 == 0o640
