"""The value head fitted to the counts: what it writes into a network, and who refuses it."""
import numpy as np
import pytest

from toolkit_helpers import random_game
from tilora_zero import Game

torch = pytest.importorskip("torch")
torch.set_num_threads(1)
from tilora_zero.learning.loop import LoopSettings  # noqa: E402
from tilora_zero.learning.value_fit import fit_counts_value  # noqa: E402
from tilora_zero.networks.counts import seat_counts  # noqa: E402
from tilora_zero.networks.resnet import TiloraNet  # noqa: E402


def game_planes(games: int) -> np.ndarray:
    """The positions of a few random games to the end, uint8 [N, 5, 20, 20]."""
    out = []
    for seed in range(games):
        game = Game()
        for cell in random_game(seed):
            out.append(game.planes().astype(np.uint8))
            game.apply(cell)
    return np.stack(out)


@pytest.mark.parametrize("hidden", [0, 8])
def test_values_that_are_a_softmax_of_the_counts_are_what_the_fitted_network_predicts(hidden):
    planes = game_planes(2)
    counts = seat_counts(torch.from_numpy(planes.astype(np.float32))).double()
    standard = (counts - counts.mean(dim=0)) / counts.std(dim=0, unbiased=False).clamp(min=1e-3)
    weights = torch.zeros(counts.shape[1], 4, dtype=torch.float64)
    weights[:13] = torch.from_numpy(np.random.default_rng(5).normal(0, 0.5, size=(13, 4)))
    targets = torch.softmax(standard @ weights + torch.tensor([0.3, 0.0, -0.2, 0.1]), dim=1).numpy()
    torch.manual_seed(0)
    model = TiloraNet(1, 4, value_hidden=hidden, value_counts=True).eval()

    fit = fit_counts_value(model, planes, targets, l2=0.0)

    def predicted():
        with torch.no_grad():
            return torch.softmax(model(torch.from_numpy(planes.astype(np.float32)))[1].double(), dim=1).numpy()

    assert np.abs(predicted() - targets).max() < 0.02
    assert fit.positions == len(planes)
    # The tower's planes weigh nothing: another tower predicts the same values.
    with torch.no_grad():
        for parameter in model.tower.parameters():
            parameter.add_(torch.randn_like(parameter))
    assert np.abs(predicted() - targets).max() < 0.02


@pytest.mark.parametrize("architecture, message", [
    (dict(value_counts=False, value_hidden=4), "does not read the counts"),
    (dict(value_counts=True, value_hidden=1), "needs value hidden 0 or at least 4, without a ReLU, not 1$"),
    (dict(value_counts=True, value_hidden=4, value_relu=True), "not 4 with a ReLU"),
])
def test_a_head_that_cannot_hold_the_fit_is_refused_by_the_fit_and_the_loop(architecture, message):
    with pytest.raises(ValueError, match=message):
        fit_counts_value(TiloraNet(0, 4, **architecture), np.zeros((1, 5, 20, 20), np.uint8), np.full((1, 4), 0.25))
    with pytest.raises(ValueError, match="a value fit of the counts needs a network that can hold it: .*" + message):
        LoopSettings(value_fit="counts", **architecture).check()


def test_targets_that_do_not_pair_with_the_positions_are_refused():
    model = TiloraNet(0, 4, value_hidden=4, value_counts=True)
    with pytest.raises(ValueError, match=r"expected as many \[4\] value targets as positions, got \(2, 4\) for 3"):
        fit_counts_value(model, np.zeros((3, 5, 20, 20), np.uint8), np.full((2, 4), 0.25))
    with pytest.raises(ValueError, match=r"expected positions of 5 planes of 20 x 20, got an array of shape \(3, 400\)"):
        fit_counts_value(model, np.zeros((3, 400), np.uint8), np.full((3, 4), 0.25))
    with pytest.raises(ValueError, match=r"expected as many \[4\] value targets as positions, got \(0, 4\) for 0"):
        fit_counts_value(model, np.zeros((0, 5, 20, 20), np.uint8), np.zeros((0, 4)))
