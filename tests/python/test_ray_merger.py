"""The Ray backend's parts that need no cluster: merging batches, options, the command line's checks."""

from __future__ import annotations

import functools
import importlib.util
import sys
import threading
import time

import numpy as np
import pytest

from tilora_zero.cli import main
from tilora_zero.networks import load_network
from tilora_zero.ray_backend import RayOptions, check_reachable
from tilora_zero.ray_backend.merger import BatchMerger
from tilora_zero.ray_backend.weights import WeightsStore
from tilora_zero.records import count_games


def packed_rows(*tags: int) -> np.ndarray:
    """One packed position per tag, its first byte being the tag."""
    rows = np.zeros((len(tags), 250), np.uint8)
    rows[:, 0] = tags
    return rows


class TaggingNetwork:
    """Answers each position with its tag (the first packed byte, read back from the planes); records batch sizes."""

    def __init__(self, gate: threading.Event | None = None):
        self.sizes: list[int] = []
        self.gate = gate
        self.entered = threading.Event()

    def __call__(self, planes):
        self.entered.set()
        if self.gate is not None:
            self.gate.wait(10)
        self.sizes.append(len(planes))
        bits = planes.reshape(len(planes), -1)[:, :8].astype(np.int64)
        tags = (bits * (1 << np.arange(7, -1, -1))).sum(axis=1)
        logits = np.repeat(tags[:, None], 400, axis=1).astype(np.float32)
        return logits, np.repeat(tags[:, None], 4, axis=1).astype(np.float32)


def submit_all(merger: BatchMerger, batches: list[np.ndarray]) -> list[list]:
    """Submits the batches in order; returns one box per batch that fills with its reply."""
    boxes: list[list] = [[] for _ in batches]
    for box, batch in zip(boxes, batches):
        merger.submit(batch, box.append)
    return boxes


def wait_for(boxes: list[list], timeout: float = 10) -> None:
    deadline = time.monotonic() + timeout
    while not all(boxes):
        assert time.monotonic() < deadline, "replies did not arrive"
        time.sleep(0.005)


def test_batches_queued_while_the_network_runs_are_merged_and_answered_row_by_row():
    gate = threading.Event()
    network = TaggingNetwork(gate)
    merger = BatchMerger(network, max_batch=64, max_wait=0.0)
    first = submit_all(merger, [packed_rows(1)])
    assert network.entered.wait(5)
    rest = submit_all(merger, [packed_rows(2, 3), packed_rows(4), packed_rows(5, 6, 7)])
    gate.set()
    wait_for(first + rest)
    assert network.sizes == [1, 6]
    for box, tags in zip(first + rest, [[1], [2, 3], [4], [5, 6, 7]]):
        logits, values = box[0]
        assert logits.shape == (len(tags), 400) and values.shape == (len(tags), 4)
        assert logits[:, 0].tolist() == tags and values[:, 3].tolist() == tags
    assert (merger.requests, merger.calls, merger.positions) == (4, 2, 7)
    merger.close()


@pytest.mark.parametrize("max_batch, sizes, calls", [
    (4, [3, 3, 1], [3, 4]),  # the second batch does not fit beside the first
    (4, [6, 1], [6, 1]),  # a batch larger than max_batch goes alone
    (8, [2, 2, 2, 2, 2], [8, 2]),
])
def test_a_network_call_holds_at_most_max_batch_positions_unless_one_batch_is_larger(max_batch, sizes, calls):
    gate = threading.Event()
    network = TaggingNetwork(gate)
    merger = BatchMerger(network, max_batch=max_batch, max_wait=0.0)
    blocker = submit_all(merger, [packed_rows(0)])
    assert network.entered.wait(5)
    tag = iter(range(1, 100))
    boxes = submit_all(merger, [packed_rows(*(next(tag) for _ in range(n))) for n in sizes])
    gate.set()
    wait_for(blocker + boxes)
    assert network.sizes == [1, *calls]
    merger.close()


def test_the_merger_waits_max_wait_for_more_batches_after_the_first():
    network = TaggingNetwork()
    merger = BatchMerger(network, max_batch=100, max_wait=1.0)
    boxes = submit_all(merger, [packed_rows(1)])
    time.sleep(0.05)
    boxes += submit_all(merger, [packed_rows(2)])
    wait_for(boxes)
    assert network.sizes == [2]
    merger.close()


def test_a_full_batch_goes_without_waiting_for_the_deadline():
    network = TaggingNetwork()
    merger = BatchMerger(network, max_batch=3, max_wait=30.0)
    start = time.monotonic()
    assert merger.evaluate(packed_rows(1, 2, 3))[0][:, 0].tolist() == [1, 2, 3]
    assert time.monotonic() - start < 10
    merger.close()


def test_a_network_error_ends_every_batch_of_its_call_and_the_merger_serves_on():
    calls = []

    def network(planes):
        calls.append(len(planes))
        if len(calls) == 1:
            raise RuntimeError("the network is broken")
        return np.zeros((len(planes), 400), np.float32), np.zeros((len(planes), 4), np.float32)

    merger = BatchMerger(network, max_batch=8, max_wait=0.0)
    with pytest.raises(RuntimeError, match="the network is broken"):
        merger.evaluate(packed_rows(1))
    logits, values = merger.evaluate(packed_rows(1, 2))
    assert logits.shape == (2, 400) and values.dtype == np.float32
    merger.close()


def test_a_reply_of_the_wrong_shape_is_reported_to_the_sender():
    merger = BatchMerger(lambda planes: (np.zeros((1, 400)), np.zeros((1, 4))), max_batch=8, max_wait=0.0)
    with pytest.raises(ValueError, match=r"network returned logits \(1, 400\) and values \(1, 4\) for a batch of 2"):
        merger.evaluate(packed_rows(1, 2))
    merger.close()


def test_closing_the_merger_ends_waiting_batches_and_refuses_new_ones():
    gate = threading.Event()
    network = TaggingNetwork(gate)
    merger = BatchMerger(network, max_batch=1, max_wait=0.0)
    first = submit_all(merger, [packed_rows(1)])
    assert network.entered.wait(5)
    queued = submit_all(merger, [packed_rows(2)])
    closer = threading.Thread(target=merger.close)
    closer.start()
    gate.set()
    closer.join(10)
    wait_for(first + queued)
    assert first[0][0][0][:, 0].tolist() == [1]
    assert isinstance(queued[0][0], RuntimeError) and "closed" in str(queued[0][0])
    with pytest.raises(RuntimeError, match="the inference server is closed"):
        merger.submit(packed_rows(3), lambda reply: None)


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
