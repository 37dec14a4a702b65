"""Training: the losses, one step, overfitting a few positions, metrics and the command."""

import numpy as np
import pytest

from toolkit_helpers import random_game
from tilora_zero import Game
from tilora_zero.data.dataset import Dataset

torch = pytest.importorskip("torch")
torch.set_num_threads(1)  # small batches: more threads only contend on a busy machine
from tilora_zero.cli import main  # noqa: E402
from tilora_zero.learning.training import (TrainSettings, choice_positions, constant_value_loss, loss_figure,
                                           policy_value_losses, read_metrics, sample_batch, train)
from tilora_zero.networks.resnet import TiloraNet  # noqa: E402


def positions(count: int, seed: int = 41) -> Dataset:
    """`count` positions of a random game with one-hot targets: the move played, a winner per position."""
    game = Game()
    planes, policies, movers = [], [], []
    for cell in random_game(seed, count):
        planes.append(game.planes().astype(np.uint8))
        policy = np.zeros(400, dtype=np.float32)
        policy[cell] = 1
        policies.append(policy)
        movers.append(game.current_player)
        game.apply(cell)
    values = np.eye(4, dtype=np.float32)[np.arange(count) % 4]
    return Dataset(np.stack(planes), np.stack(policies), values, np.array(movers, dtype=np.int8),
                   np.zeros(count, dtype=np.int64), np.ones(count, dtype=bool))


def tensors(data: Dataset):
    return (torch.from_numpy(data.planes.astype(np.float32)), torch.from_numpy(data.policies),
            torch.from_numpy(data.values))


def test_one_step_lowers_the_loss_on_a_fixed_batch():
    torch.manual_seed(3)
    model = TiloraNet(1, 8).train()
    batch = tensors(positions(32))
    optimiser = torch.optim.AdamW(model.parameters(), lr=1e-3)
    before = sum(policy_value_losses(model, *batch))
    optimiser.zero_grad()
    before.backward()
    optimiser.step()
    after = sum(policy_value_losses(model, *batch))
    assert after.item() < before.item()


def test_moves_without_a_search_are_left_out_of_the_policy_loss():
    torch.manual_seed(4)
    data = positions(8, seed=12)
    model = TiloraNet(blocks=1, channels=8).eval()  # batch statistics would tie the rows together
    planes, policies, values = tensors(data)
    searched_only = policy_value_losses(model, planes[::2], policies[::2], values[::2])
    unsearched = policies.clone()
    unsearched[1::2] = 0  # every other move was not searched: no policy target
    with_others = policy_value_losses(model, planes, unsearched, values)
    assert torch.allclose(with_others[0], searched_only[0])
    assert not torch.allclose(with_others[1], searched_only[1])  # every position keeps its value target


def test_a_handful_of_positions_is_learnt_by_heart():
    torch.manual_seed(4)
    data = positions(8)
    model = TiloraNet(1, 16, value_hidden=0)  # a head that can fit each position (the default one score cannot)
    settings = TrainSettings(steps=150, batch_size=8, learning_rate=1e-2, weight_decay=0.0, augment=False,
                             log_every=50, seed=5)
    metrics = train(model, data, settings, progress=False)
    policy_loss, value_loss = policy_value_losses(model, *tensors(data))
    # One-hot targets: a perfect fit has zero cross-entropy; the constant predictor is stuck at ln 4.
    assert policy_loss.item() < 0.05 and value_loss.item() < 0.05
    assert metrics[-1]["constant_value_loss"] == pytest.approx(np.log(4), rel=1e-6)
    assert [m["step"] for m in metrics] == [50, 100, 150]


@pytest.mark.parametrize("values,expected", [
    ([[1, 0, 0, 0], [0, 1, 0, 0]], np.log(2)),
    ([[0.5, 0.5, 0, 0], [0.5, 0.5, 0, 0]], np.log(2)),
    ([[0.25] * 4], np.log(4)),
])
def test_constant_predictor_value_loss(values, expected):
    assert constant_value_loss(np.array(values, dtype=np.float32)) == pytest.approx(expected, rel=1e-6)


def test_rotated_batches_pair_each_position_with_its_own_rotated_target():
    from tilora_zero.board.symmetry import ROTATIONS, transform_planes

    data = positions(40, seed=42)
    planes, policies, values = sample_batch(data, 64, np.random.default_rng(6), augment=True)
    turns_used = set()
    for row in range(64):
        matches = [(j, t) for j in range(40) for t in ROTATIONS
                   if np.array_equal(planes[row], transform_planes(data.planes[j], t))]
        assert matches, row
        j, t = matches[0]
        assert np.array_equal(policies[row], transform_planes(data.policies[j], t))
        assert np.array_equal(values[row], data.values[j])
        turns_used.add(t)
    assert turns_used == set(ROTATIONS)


def test_metrics_lines_and_learning_rate_schedule():
    data = positions(16)
    logged = []
    settings = TrainSettings(steps=10, batch_size=4, learning_rate=0.1, log_every=5, seed=1)
    train(TiloraNet(0, 4), data, settings, on_metrics=logged.append, progress=False)
    assert [m["step"] for m in logged] == [5, 10]
    assert [m["positions_seen"] for m in logged] == [20, 40]
    assert set(logged[0]) == {"step", "policy_loss", "value_loss", "constant_value_loss", "loss",
                              "learning_rate", "positions_seen", "wall_time"}
    assert logged[-1]["learning_rate"] == pytest.approx(0.01)  # the cosine ends at a tenth


def test_train_command_writes_checkpoint_metrics_and_plot(tmp_path, capsys):
    from tilora_zero.data.records import GameRecord, write_records

    data = positions(30)
    game = Game()
    for cell in random_game(41, 30):
        game.apply(cell)
    record = GameRecord(
        players=data.movers, cells=np.array([c for _, c in game.history], dtype=np.int16),
        policy_offsets=np.arange(31, dtype=np.int32), policy_cells=np.argmax(data.policies, axis=1).astype(np.int16),
        policy_shares=np.ones(30, dtype=np.float32), payoff=np.array([0, 1, 0, 0], dtype=np.float32),
        scores=np.zeros(4, dtype=np.int32), metadata={"game": 0})
    write_records(tmp_path / "records", [record])
    out = tmp_path / "net.pt"
    status = main(["train", "--data", str(tmp_path / "records"), "--out", str(out), "--steps", "4",
                   "--batch-size", "8", "--blocks", "1", "--channels", "4", "--log-every", "2", "--no-progress"])
    assert status == 0
    assert out.exists() and out.with_suffix(".losses.png").stat().st_size > 0
    lines = read_metrics(out.with_suffix(".metrics.jsonl"))
    assert [m["step"] for m in lines] == [2, 4]
    assert "training on 30 positions from 1 games" in capsys.readouterr().out
    # Continuing from it keeps its architecture.
    assert main(["train", "--data", str(tmp_path / "records"), "--out", str(tmp_path / "next.pt"), "--init",
                 str(out), "--steps", "1", "--blocks", "5", "--no-progress"]) == 0
    assert torch.load(tmp_path / "next.pt", weights_only=True)["architecture"] == {
        "blocks": 1, "channels": 4, "value_channels": 8, "value_hidden": 1, "value_relu": False,
        "value_counts": False}


@pytest.mark.parametrize("arguments,message", [
    (["--data", "{tmp}/missing"], "records directory not found"),
    (["--data", "{tmp}"], "no game records in"),
    (["--data", "{tmp}", "--init", "{tmp}/missing.pt"], "--init: network checkpoint not found"),
    (["--data", "{tmp}", "--value-fit", "counts"],
     "--value-fit counts: the network cannot hold the fit: its value head does not read the counts"),
])
def test_train_command_errors(tmp_path, capsys, arguments, message):
    status = main(["train", "--out", str(tmp_path / "x.pt"), *[a.format(tmp=tmp_path) for a in arguments]])
    assert status == 2
    assert message in capsys.readouterr().err


def test_train_command_refuses_a_bad_option(tmp_path, capsys):
    with pytest.raises(SystemExit) as exit_info:
        main(["train", "--data", str(tmp_path), "--out", str(tmp_path / "x.pt"), "--steps", "0"])
    assert exit_info.value.code == 2
    assert "argument --steps: must be a positive integer, got '0'" in capsys.readouterr().err


def test_a_single_logged_point_shows_in_the_loss_picture():
    from matplotlib.backends.backend_agg import FigureCanvasAgg

    figure = loss_figure([{"step": 0, "positions_seen": 128, "policy_loss": 5.0, "value_loss": 1.3,
                           "constant_value_loss": 1.38}])
    canvas = FigureCanvasAgg(figure)
    canvas.draw()
    pixels = np.asarray(canvas.buffer_rgba())[..., :3]
    box = figure.axes[0].get_window_extent()  # the policy panel: no legend there
    panel = pixels[round(pixels.shape[0] - box.y1):round(pixels.shape[0] - box.y0), round(box.x0):round(box.x1)]
    assert np.all(panel == (0x1F, 0x77, 0xB4), axis=-1).sum() > 0  # the first line colour


@pytest.mark.parametrize("share, least", [(0.5, 32), (1.0, 64)])
def test_a_choice_share_draws_that_share_of_each_batch_from_positions_whose_target_chooses(share, least):
    data = positions(40, seed=43)
    choosing = [3, 17, 29]
    for row in choosing:
        data.policies[row, :2] = 0.5  # two cells with a share: a choice; the rest stay one-hot
    choices = choice_positions(data)
    assert choices.tolist() == choosing
    _, policies, _ = sample_batch(data, 64, np.random.default_rng(8), False, choices, share)
    drawn = int((np.count_nonzero(policies, axis=1) >= 2).sum())
    assert least <= drawn < 64 or share == 1.0 and drawn == 64
    with pytest.raises(ValueError, match="choice share must be from 0 to 1"):
        TrainSettings(choice_share=1.5)
