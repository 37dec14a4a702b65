"""The Ray backend's parts that need no cluster: options, weights in the object store, the command line's checks."""

from __future__ import annotations

import functools
import importlib.util
import sys

import pytest

from tilora_zero.cli import main
from tilora_zero.data.records import count_games
from tilora_zero.networks import load_network
from tilora_zero.selfplay.ray import RayOptions, check_reachable
from tilora_zero.selfplay.ray.weights import WeightsStore


@pytest.mark.parametrize("factory", [
    functools.partial(load_network, "uniform"),
    functools.partial(load_network, "uniform", "cpu", "centred"),
    lambda: None,
])
def test_factories_that_read_no_file_travel_as_they_are(factory):
    store = WeightsStore()
    assert store.publish(factory) is factory
    assert store.puts == 0


def test_publishing_a_missing_checkpoint_names_it(tmp_path):
    with pytest.raises(FileNotFoundError, match=r"cannot read network checkpoint .*gone\.pt"):
        WeightsStore().publish(functools.partial(load_network, str(tmp_path / "gone.pt")))


@pytest.mark.parametrize("changes, message", [
    ({"worker_cpus": 0}, "worker_cpus must be positive"),
    ({"servers": 0}, "servers must be >= 1"),
    ({"in_flight": 0}, "in_flight must be >= 1"),
    ({"max_attempts": 0}, "max_attempts must be >= 1"),
    ({"server_gpus": -1}, "server_cpus and server_gpus must be >= 0"),
    ({"startup_timeout": 0}, "startup_timeout positive"),
])
def test_ray_options_refuse_values_that_cannot_work(changes, message):
    with pytest.raises(ValueError, match=message):
        RayOptions(**changes)


@pytest.mark.parametrize("address, message", [
    ("127.0.0.1:9", "nothing answers at 127.0.0.1:9"),
    ("ray://127.0.0.1:9", "nothing answers at ray://127.0.0.1:9"),
    ("head-node", "'head-node' is not a HOST:PORT address"),
])
def test_an_unreachable_cluster_address_is_refused_with_its_cause(address, message):
    with pytest.raises(ConnectionError, match=message):
        check_reachable(address, timeout=2)


def exit_status(argv: list[str]) -> int:
    try:
        return main(argv)
    except SystemExit as error:  # argparse's own errors
        return error.code


@pytest.mark.parametrize("extra, message", [
    (["--ray-address", "127.0.0.1:9"], "--ray-address needs --backend ray"),
    pytest.param(["--backend", "ray", "--ray-address", "127.0.0.1:9"], "nothing answers at 127.0.0.1:9",
                 marks=pytest.mark.skipif(importlib.util.find_spec("ray") is None, reason="Ray is not installed")),
    (["--backend", "cluster"], "invalid choice: 'cluster'"),
])
def test_selfplay_refuses_a_bad_backend_choice_with_status_2(tmp_path, capsys, extra, message):
    out = tmp_path / "out"
    assert exit_status(["selfplay", "--games", "1", "--out", str(out), "--no-progress", *extra]) == 2
    assert message in capsys.readouterr().err
    assert count_games(out) == 0


def test_the_ray_backend_without_ray_installed_says_how_to_install_it(tmp_path, capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "ray", None)  # import ray now fails
    out = tmp_path / "out"
    assert exit_status(["selfplay", "--games", "1", "--out", str(out), "--no-progress", "--backend", "ray"]) == 2
    assert capsys.readouterr().err == ("tilora-zero selfplay: error: --backend ray needs Ray, which is not installed: "
                                       "pip install '.[ray]'\n")
