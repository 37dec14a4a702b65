"""Networks: the uniform network, value conventions, the residual network and its checkpoints."""
import pickle

import numpy as np
import pytest

from toolkit_helpers import random_game
from tilora_zero import Game
from tilora_zero.networks import ServedNetwork, UniformNetwork, load_network, serve_values


def position_batch(seed: int = 11, count: int = 6) -> np.ndarray:
    game = Game()
    planes = []
    for i, cell in enumerate(random_game(seed, 60)):
        if i % 10 == 0:
            planes.append(game.planes())
        game.apply(cell)
    return np.stack(planes[:count])


@pytest.mark.parametrize("convention,par", [("centred", 0.0), ("offset", 0.0), ("share", 0.25)])
def test_uniform_network_answers_zero_logits_and_par(convention, par):
    logits, values = UniformNetwork(convention)(position_batch(count=3))
    assert logits.dtype == np.float32 and values.dtype == np.float32
    assert logits.shape == (3, 400) and not logits.any()
    assert values.shape == (3, 4) and np.all(values == np.float32(par))


@pytest.mark.parametrize(
    "convention,expected",
    [("centred", [-1.0, 0.0, 1.0, 3.0]), ("offset", [-0.25, 0.0, 0.25, 0.75]), ("share", [0.0, 0.25, 0.5, 1.0])],
)
def test_served_value_conventions(convention, expected):
    served = serve_values(np.array([0.0, 0.25, 0.5, 1.0], dtype=np.float32), convention)
    assert served.dtype == np.float32
    assert served.tolist() == expected


def test_unknown_convention_and_bad_planes_are_refused():
    with pytest.raises(ValueError, match="unknown value convention 'median'"):
        serve_values(np.zeros(4), "median")
    with pytest.raises(ValueError, match=r"expected planes of shape \[B, 5, 20, 20\]"):
        UniformNetwork()(np.zeros((2, 4, 20, 20)))


def test_a_network_bound_to_its_searches_serves_the_convention_their_rule_reads():
    puct, classic = ServedNetwork("uniform", "puct"), ServedNetwork("uniform", "classic")
    assert (puct.convention, puct.trained_convention, puct.load().name) == ("share", "share", "uniform[share]")
    assert (classic.convention, classic.trained_convention, classic.load().name) == (None, "centred", "uniform")
    offset = ServedNetwork("uniform", "classic", "cpu", "offset")
    assert pickle.loads(pickle.dumps(offset.factory()))().name == "uniform[offset]"
    assert offset.key != classic.key and ServedNetwork("uniform", "classic").key == classic.key
    with pytest.raises(ValueError, match="the puct search reads payoff shares"):
        ServedNetwork("uniform", "puct", "cpu", "centred")


def test_load_network_errors(tmp_path):
    assert load_network("uniform").name == "uniform"
    with pytest.raises(FileNotFoundError, match="network checkpoint not found: .*missing.pt"):
        load_network(str(tmp_path / "missing.pt"))
    with pytest.raises(ValueError, match="is not a file"):
        load_network(str(tmp_path))
    junk = tmp_path / "junk.pt"
    junk.write_bytes(b"not a checkpoint")
    pytest.importorskip("torch")
    with pytest.raises(ValueError, match="junk.pt is not a tilora-zero network checkpoint: it was not written by"):
        load_network(str(junk))


torch = pytest.importorskip("torch")
from tilora_zero.networks.resnet import (  # noqa: E402
    ILLEGAL_LOGIT, TiloraNet, TorchNetwork, load_model, save_checkpoint)


@pytest.mark.parametrize("blocks,channels", [(0, 4), (2, 8)])
def test_residual_network_shapes_and_illegal_cells(blocks, channels):
    torch.manual_seed(0)
    model = TiloraNet(blocks, channels).eval()
    planes = position_batch()
    policy, value = model(torch.from_numpy(planes))
    assert policy.shape == (len(planes), 400) and value.shape == (len(planes), 4)
    legal = planes[:, 4].reshape(len(planes), 400) == 1
    assert np.all(policy.detach().numpy()[~legal] == ILLEGAL_LOGIT)
    assert np.all(policy.detach().numpy()[legal] > ILLEGAL_LOGIT / 2)


@pytest.mark.parametrize("head, name", [
    ((1, 64, True), "resnet-2x8:net.pt"), ((3, 0, False), "resnet-2x8v3:net.pt"),
    ((3, 1, False), "resnet-2x8v3h1:net.pt"), ((3, 16, True), "resnet-2x8v3h16r:net.pt"),
    ((3, 4, False, True), "resnet-2x8v3h4c:net.pt")])
def test_checkpoint_round_trip_keeps_architecture_and_outputs(tmp_path, head, name):
    torch.manual_seed(1)
    model = TiloraNet(2, 8, *head)
    with torch.no_grad():  # batch-norm statistics are part of the state too
        for module in model.modules():
            if isinstance(module, (torch.nn.BatchNorm1d, torch.nn.BatchNorm2d)):
                module.running_mean.uniform_(-0.5, 0.5)
                module.running_var.uniform_(0.5, 1.5)
    model.eval()
    path = save_checkpoint(tmp_path / "net.pt", model, {"generation": 3}, "offset")
    loaded, payload = load_model(path)
    assert loaded.architecture == {"blocks": 2, "channels": 8, "value_channels": head[0],
                                   "value_hidden": head[1], "value_relu": head[2],
                                   "value_counts": len(head) > 3 and head[3]}
    assert payload["metadata"] == {"generation": 3} and payload["value_convention"] == "offset"
    planes = torch.from_numpy(position_batch())
    for before, after in zip(model(planes), loaded(planes)):
        assert torch.equal(before, after)
    served = load_network(str(path))
    assert served.value_convention == "offset" and served.name == name
    assert load_network(str(path), value_convention="share").value_convention == "share"


def test_served_policy_is_a_log_distribution_over_the_legal_cells():
    torch.manual_seed(2)
    network = TorchNetwork(TiloraNet(1, 8))
    planes = position_batch()
    logits, values = network(planes)
    assert logits.dtype == np.float32 and values.dtype == np.float32
    legal = planes[:, 4].reshape(len(planes), 400) == 1
    for row, mask in zip(logits, legal):
        assert np.all(row[mask] <= 0)
        assert np.isclose(np.logaddexp.reduce(row[mask].astype(np.float64)), 0.0, atol=1e-5)
        assert np.all(row[~mask] == ILLEGAL_LOGIT)
    # Centred shares: four values 4p - 1 summing to 0.
    np.testing.assert_allclose(values.sum(axis=1), 0.0, atol=1e-5)
    assert np.all(values >= -1) and np.all(values <= 3)


def test_checkpoint_from_before_the_value_head_settings_loads_with_the_legacy_head(tmp_path):
    path = save_checkpoint(tmp_path / "net.pt", TiloraNet(1, 8, 1, 64, True))
    payload = torch.load(path, weights_only=True)
    payload["architecture"] = {"blocks": 1, "channels": 8}
    torch.save(payload, path)
    head = load_model(path)[0].architecture
    assert (head["value_channels"], head["value_hidden"], head["value_relu"]) == (1, 64, True)
    new = TiloraNet(1, 8).architecture  # new networks get today's head: one linear score of eight planes
    assert (new["value_channels"], new["value_hidden"], new["value_relu"]) == (8, 1, False)


def test_checkpoint_with_a_wrong_architecture_is_refused(tmp_path):
    path = save_checkpoint(tmp_path / "net.pt", TiloraNet(1, 8))
    payload = torch.load(path, weights_only=True)
    payload["architecture"] = {"blocks": 2, "channels": 8}
    torch.save(payload, path)
    with pytest.raises(ValueError, match="does not match its recorded architecture"):
        load_model(path)


def test_the_exported_graph_serves_in_a_worker_what_torch_serves():
    pytest.importorskip("onnxruntime")
    torch.manual_seed(3)
    model = TiloraNet(2, 8).eval()
    fast, plain = TorchNetwork(model, value_convention="offset"), TorchNetwork(model, value_convention="offset")
    plain.exported = None
    assert fast.exported is not None
    worker = pickle.loads(pickle.dumps(fast.exported.factory()))()  # as a worker process builds it
    planes = position_batch()
    for a, b, c in zip(worker(planes), fast(planes), plain(planes)):
        np.testing.assert_allclose(a, c, rtol=0, atol=1e-5)
        np.testing.assert_array_equal(a, b)
    with pytest.raises(ValueError, match="position 0 of the batch does not show whose turn it is"):
        worker(np.zeros_like(planes[:1]))


def _with_batch_norm_statistics(model):
    """A freshly made network whose batch norms do not start as the identity, so that folding them counts."""
    generator = torch.Generator().manual_seed(3)
    for module in model.modules():
        if isinstance(module, (torch.nn.BatchNorm1d, torch.nn.BatchNorm2d)):  # the counts' norm has no affine
            for tensor, low, high in ((module.running_mean, -0.2, 0.2), (module.running_var, 0.5, 2.0),
                                      (module.weight, 0.5, 1.5), (module.bias, -0.2, 0.2)):
                if tensor is not None:
                    tensor.data.copy_(torch.rand(tensor.shape, generator=generator) * (high - low) + low)
    return model


@pytest.mark.parametrize("architecture", [
    {"blocks": 2, "channels": 8},  # channels padded to whole vectors
    {"blocks": 1, "channels": 16, "value_channels": 1, "value_hidden": 64, "value_relu": True},  # the legacy head
    {"blocks": 0, "channels": 20, "value_hidden": 0},  # a stem alone, one dense value layer
    {"blocks": 1, "channels": 16, "value_hidden": 4, "value_counts": True},  # four scores that read the counts
])
def test_an_int8_network_serves_a_checkpoint_close_to_its_float_graph(tmp_path, architecture):
    torch.manual_seed(5)
    model = _with_batch_norm_statistics(TiloraNet(**architecture))
    path = save_checkpoint(tmp_path / "net.pt", model, value_convention="share")
    plain = ServedNetwork(str(path), "puct", precision="fp32").load()
    int8 = ServedNetwork(str(path), "puct", precision="int8")
    served = pickle.loads(pickle.dumps(int8.factory()))()
    assert served.name == plain.name + " int8"
    planes = position_batch()
    (logits, values), (float_logits, float_values) = served(planes), plain(planes)
    legal = planes[:, 4].reshape(-1, 400) == 1
    assert np.all(logits[~legal] == ILLEGAL_LOGIT)
    np.testing.assert_allclose(np.exp(logits).sum(axis=1), 1.0, rtol=1e-4)
    assert np.abs(logits - float_logits)[legal].mean() < 0.05
    np.testing.assert_allclose(values, float_values, atol=0.05)
    assert not np.array_equal(values, float_values)  # it did quantise
    # The vector kernels and the portable code give the same numbers, bit for bit; a position without a
    # legal cell or a mover gets every cell illegal and no mover, as from the float graph.
    batch = np.concatenate([planes, np.zeros_like(planes[:1])])
    for vector, portable in zip(served.reply(batch), served.reply(batch, portable=True)):
        np.testing.assert_array_equal(vector, portable)
    log_policy, _, movers = served.reply(batch)
    assert np.all(log_policy[-1] == ILLEGAL_LOGIT) and movers.tolist() == [1.0] * len(planes) + [0.0]


def test_the_int8_kernels_count_what_the_network_counts():
    from tilora_zero import _engine
    from tilora_zero.networks.counts import COUNT_FEATURES, seat_counts

    planes = np.concatenate([np.zeros_like(position_batch(count=1)), position_batch(count=6),
                             position_batch(seed=4, count=6)])
    planes[0, 4, 0, 0] = 1.0  # the opening: nothing laid, the mover's corner legal
    counts = _engine.Int8Network.counts(planes)
    np.testing.assert_array_equal(counts, seat_counts(torch.from_numpy(planes)).numpy())
    assert counts.shape == (len(planes), COUNT_FEATURES)
    assert counts[0, :13].tolist() == [0.0] * 8 + [4.0] * 4 + [np.float32(0.01)]  # every empty cell free for every seat


@pytest.mark.parametrize(("change", "message"), [
    (lambda t: t["tower"].pop(), "the tower is not a stem and whole blocks"),
    (lambda t: t.update(policy=(t["policy"][0][:, :796].copy(), *t["policy"][1:])), "the policy layer reads 796 channels where 800 come"),
    (lambda t: t["value"].pop(), "the value layers do not end in four logits"),
    (lambda t: t.update(value_counts=True), "a value layer reads another width"),
    (lambda t: t.update(heads=(t["heads"][0], t["heads"][1][:3].copy(), t["heads"][2])), "not one an output"),
])
def test_int8_tables_that_do_not_fit_together_are_refused(change, message):
    from tilora_zero import _engine
    from tilora_zero.networks.quantize import int8_tables

    tables = int8_tables(TiloraNet(1, 16).eval(), position_batch())
    change(tables)
    with pytest.raises(ValueError, match=message):
        _engine.Int8Network(**tables)


@pytest.mark.parametrize(("source", "settings", "message"), [
    ("uniform", {"precision": "int8"}, "precision int8 is for a checkpoint served on the CPU"),
    ("net.pt", {"precision": "int8", "device": "cuda"}, "precision int8 is for a checkpoint served on the CPU"),
    ("net.pt", {"precision": "int4"}, "unknown precision 'int4'"),
])
def test_a_precision_the_binding_cannot_serve_is_refused(source, settings, message):
    with pytest.raises(ValueError, match=message):
        ServedNetwork(source, "puct", **settings)
