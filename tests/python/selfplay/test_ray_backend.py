"""The Ray backend on a simulated two-node cluster: records, spreading, lost workers and servers, Ctrl-C."""

from __future__ import annotations

import functools
import json
import os
import signal
import subprocess
import sys
import time
from dataclasses import replace
from pathlib import Path

import numpy as np
import pytest

ray = pytest.importorskip("ray")

import toolkit_helpers  # noqa: E402
from toolkit_helpers import assert_replays_to_its_payoff  # noqa: E402
from tilora_zero import __version__  # noqa: E402
from tilora_zero.cli import main  # noqa: E402
from tilora_zero.data.records import game_numbers, iter_records, shard_paths  # noqa: E402
from tilora_zero.networks import load_network  # noqa: E402
from tilora_zero.selfplay.local import RunError, SearchSettings, ServingOptions  # noqa: E402
from tilora_zero.selfplay.local import play_games as play_locally  # noqa: E402
from tilora_zero.selfplay.ray import RayOptions, RaySelfPlay  # noqa: E402

SETTINGS = SearchSettings(sims_per_move=4, sample_moves=10)
# A served game waits a round trip per evaluation: fewer simulations keep those games short.
SERVED_SETTINGS = SearchSettings(sims_per_move=1, sample_moves=10)
UNIFORM = functools.partial(load_network, "uniform", "cpu", "share")
TWO_EACH = ServingOptions(games_per_worker=2)
SERVED = ServingOptions(games_per_worker=2, server=True, server_max_wait=0.0)


@pytest.fixture(scope="session")
def cluster():
    """Two nodes of one CPU each, started once; the tests' process is connected to it."""
    from ray.cluster_utils import Cluster

    ray.cloudpickle.register_pickle_by_value(toolkit_helpers)
    node = {"num_cpus": 1, "object_store_memory": 80 * 2**20}
    nodes = Cluster(initialize_head=True, head_node_args={**node, "include_dashboard": False})
    nodes.add_node(**node)
    ray.init(address=nodes.address, log_to_driver=False, logging_level="warning")
    nodes.wait_for_nodes()
    yield nodes
    ray.shutdown()
    nodes.shutdown()


@pytest.fixture
def session(cluster):
    # Both CPUs go to the workers; a server costs none here.
    with RaySelfPlay(RayOptions(server_cpus=0)) as ray_session:
        yield ray_session


def shard_layout(path: Path) -> dict[str, tuple]:
    """Each array's dtype and number of dimensions, and the metadata's keys.

    A text array's width follows its content (the metadata's wall time has a varying number of
    digits), so only its kind counts."""
    def dtype_of(array: np.ndarray) -> str:
        return "text" if array.dtype.kind == "U" else array.dtype.str

    with np.load(path, allow_pickle=False) as shard:
        layout = {key: (dtype_of(shard[key]), shard[key].ndim) for key in shard.files}
        layout["metadata keys"] = tuple(sorted(json.loads(str(shard["metadata"][0]))))
    return layout


def test_selfplay_writes_exactly_the_requested_games_in_the_local_runners_format(cluster, tmp_path, capsys):
    out = tmp_path / "ray"
    argv = ["selfplay", "--backend", "ray", "--ray-address", cluster.address, "--workers", "2",
            "--games-per-worker", "2", "--sims", "4", "--sample-moves", "10", "--games-per-shard", "2",
            "--no-progress", "--out", str(out)]
    assert main([*argv, "--games", "3"]) == 0
    assert capsys.readouterr().out.splitlines()[0] == f"games: 3 played, 3 in {out}"
    assert [p.name for p in shard_paths(out)] == ["games-00000.npz", "games-00001.npz"]
    assert main([*argv, "--games", "5"]) == 0  # resumes: two more games
    assert game_numbers(out) == [0, 1, 2, 3, 4]
    assert sorted(os.listdir(out)) == ["games-00000.npz", "games-00001.npz", "games-00002.npz"]
    records = list(iter_records(out))
    for record in records:
        assert_replays_to_its_payoff(record)
        # the command's tree and root
        assert record.metadata["settings"] == replace(SETTINGS, tree="cells", gumbel_actions=16).as_dict()
        assert record.metadata["network"] == "uniform[share]"
        assert record.metadata["toolkit_version"] == __version__
    local = tmp_path / "local"
    local.mkdir()
    from tilora_zero.data.records import write_records

    local_records = []
    play_locally(UNIFORM, [9], SETTINGS, 1, local_records.append)
    write_records(local, local_records)
    assert shard_layout(out / "games-00000.npz") == shard_layout(local / "games-00000.npz")


def test_the_work_spreads_over_both_nodes(session):
    records = []
    stats = session.play_games(UNIFORM, range(4), SETTINGS, 2, records.append, options=TWO_EACH)
    assert sorted(r.game_number for r in records) == [0, 1, 2, 3]
    nodes = {node["NodeID"] for node in ray.nodes() if node["Alive"]}
    assert set(stats.games_per_node) == nodes and len(nodes) == 2
    assert sum(stats.games_per_node.values()) == 4
    assert stats.games == 4 and stats.moves == sum(r.num_moves for r in records)
    assert stats.positions + stats.cache_hits == stats.evaluations > stats.moves
    assert (stats.retried_games, stats.lost_workers) == (0, 0)


def test_a_killed_worker_loses_only_its_unfinished_games_which_are_played_again(session, tmp_path):
    """One worker process is killed at its 20th network call, a few moves into its first two games. It
    held those two and one more waiting for a free place on its hub."""
    factory = toolkit_helpers.CrashOnce(tmp_path / "killed", after=20)
    records = []
    stats = session.play_games(factory, range(6), SETTINGS, 2, records.append, options=TWO_EACH)
    assert (tmp_path / "killed").exists()
    assert sorted(r.game_number for r in records) == list(range(6))
    assert stats.games == 6
    assert stats.lost_workers == 1
    assert stats.retried_games == 3


@pytest.mark.parametrize("server_wait, retried", [(60.0, False), (0.5, True)])
def test_a_killed_inference_server_is_restarted_and_the_run_completes(session, tmp_path, server_wait, retried):
    """The server is killed at its 20th call and takes 3 s to come back. Within server_wait the
    workers wait for it; past that the games fail inside "recv" and are played again."""
    # Each attempt of a game fails after server_wait or more while the server is down, and a loaded
    # machine can take a minute to bring it back: the attempts must outlast that.
    session.options = RayOptions(server_cpus=0, server_wait=server_wait, max_attempts=1000)
    factory = toolkit_helpers.CrashOnce(tmp_path / "killed", after=20, rebuild_delay=3.0)
    records = []
    stats = session.play_games(factory, range(4), SERVED_SETTINGS, 2, records.append, options=SERVED)
    assert (tmp_path / "killed").exists()
    assert sorted(r.game_number for r in records) == list(range(4))
    assert all(r.metadata["network"] == "zeros" for r in records)
    assert stats.lost_workers == 0
    assert (stats.retried_games > 0) == retried


def test_a_server_that_cannot_be_restarted_ends_the_run_with_a_clear_error(session, tmp_path):
    session.options = RayOptions(server_cpus=0, server_restarts=0)
    factory = toolkit_helpers.CrashOnce(tmp_path / "killed", after=20)
    with pytest.raises(RunError, match="failed in game") as raised:
        session.play_games(factory, range(4), SERVED_SETTINGS, 2, lambda r: None, options=SERVED)
    assert "the inference server is gone for good" in str(raised.value)


@pytest.mark.parametrize("serving", [TWO_EACH, SERVED], ids=["local", "server"])
def test_a_broken_network_ends_the_run_with_its_error(session, serving):
    with pytest.raises(RunError, match="failed in game 3") as raised:
        session.play_games(toolkit_helpers.failing_network, [3], SETTINGS, 1, lambda r: None, options=serving)
    assert "Error running MCTS" in str(raised.value)
    assert "RuntimeError: the network is broken" in str(raised.value)


@pytest.mark.parametrize("serving, message", [
    (TWO_EACH, "worker 0 failed to start"),
    (SERVED, "the inference server failed to start"),
])
def test_a_network_that_cannot_be_built_ends_the_run_with_the_cause(session, serving, message):
    with pytest.raises(RunError, match=message) as raised:
        session.play_games(toolkit_helpers.unbuildable_network, [0], SETTINGS, 1, lambda r: None, options=serving)
    assert "no weights here" in str(raised.value)


def test_more_workers_than_the_cluster_has_cpus_is_refused(session):
    with pytest.raises(RunError, match=r"the Ray cluster has 2 CPUs and 0 GPUs, but 3 workers and 0 inference "
                                       r"servers need 3 CPUs and 0 GPUs"):
        session.play_games(UNIFORM, range(3), SETTINGS, 3, lambda r: None)


def test_a_checkpoint_goes_into_the_object_store_once_and_serves_every_run(session, tmp_path):
    pytest.importorskip("torch")
    from tilora_zero.networks.resnet import TiloraNet, save_checkpoint

    checkpoint = save_checkpoint(tmp_path / "gen-001.pt", TiloraNet(1, 4))
    factory = functools.partial(load_network, str(checkpoint), "cpu")
    names = []
    for run in range(2):
        records = []
        session.play_games(factory, [run], SERVED_SETTINGS, 1, records.append, options=SERVED)
        names.append(records[0].metadata["network"])
    assert names == [load_network(str(checkpoint)).name] * 2 == ["resnet-1x4v8h1:gen-001.pt"] * 2
    assert session.weights.puts == 1
    save_checkpoint(checkpoint, TiloraNet(1, 8))  # a new version of the same file
    shipped = session.weights.publish(factory)
    assert session.weights.puts == 2
    assert shipped().name == "resnet-1x8v8h1:gen-001.pt"  # built from the object store's copy


def test_ctrl_c_keeps_the_finished_games_and_the_same_command_continues(cluster, tmp_path):
    # Enough games that the signal, sent once the first shard is written, finds some still unplayed on a
    # fast machine too.
    games = 24
    out = tmp_path / "records"
    command = [sys.executable, "-m", "tilora_zero.cli", "selfplay", "--backend", "ray", "--ray-address",
               cluster.address, "--workers", "2", "--games-per-worker", "1", "--sims", "8", "--games", str(games),
               "--games-per-shard", "1", "--no-progress", "--out", str(out)]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 240
    while not (out.exists() and shard_paths(out)):
        assert process.poll() is None and time.monotonic() < deadline, process.communicate()
        time.sleep(0.1)
    process.send_signal(signal.SIGINT)
    stdout, stderr = process.communicate(timeout=60)
    assert process.returncode == 130, stderr
    kept = game_numbers(out)
    assert 1 <= len(kept) < games
    assert f"Interrupted: {out} holds {len(kept)} of {games} games" in stderr
    assert [p.name for p in out.iterdir() if not p.name.startswith("games-")] == []  # no temporary files
    finished = subprocess.run(command, capture_output=True, text=True, timeout=240)
    assert finished.returncode == 0, finished.stderr
    assert game_numbers(out) == list(range(games))
