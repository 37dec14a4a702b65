"""The mover's frame: reading the player to move from the planes, and permuting values."""
import numpy as np
import pytest

from toolkit_helpers import random_game
from tilora_zero import Game
from tilora_zero.board.frames import absolute_to_mover, mover_to_absolute, movers_from_planes, plane_seats

torch = pytest.importorskip("torch")
from tilora_zero.networks.resnet import TorchNetwork  # noqa: E402


def replayed_positions(seed: int):
    """(game, planes) before every move of a random game."""
    game = Game()
    for cell in random_game(seed):
        yield game.copy(), game.planes()
        game.apply(cell)


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_mover_read_from_planes_matches_every_replayed_position(seed):
    games = list(replayed_positions(seed))
    planes = np.stack([p for _, p in games])
    expected = np.array([g.current_player for g, _ in games])
    assert np.array_equal(movers_from_planes(planes), expected)
    assert set(expected[:4 * 21]) == {0, 1, 2, 3}
    # Every seat's first moves are there, including cells laid before the corner.
    first_piece = [i for i, (g, _) in enumerate(games) if len(g.history) < 25]
    assert np.array_equal(movers_from_planes(planes[first_piece]), expected[first_piece])


def test_mover_read_while_the_first_piece_is_laid_away_from_the_corner():
    game = Game()
    game.apply(1)  # a cell of a placement that covers corner 0, not the corner itself
    assert game.current_player == 0
    assert movers_from_planes(game.planes()[None])[0] == 0


@pytest.mark.parametrize("bad", ["empty", "two corners"])
def test_planes_without_a_single_mover_are_refused(bad):
    planes = np.zeros((1, 5, 20, 20), dtype=np.float32)
    if bad == "two corners":
        planes[0, 1, 0, 0] = planes[0, 4, 0, 19] = 1
    with pytest.raises(ValueError, match="does not show whose turn it is"):
        movers_from_planes(planes)


@pytest.mark.parametrize("mover,seats", [(0, [3, 0, 1, 2]), (1, [0, 1, 2, 3]), (2, [1, 2, 3, 0]), (3, [2, 3, 0, 1])])
def test_plane_seats(mover, seats):
    assert plane_seats(mover).tolist() == seats


@pytest.mark.parametrize("mover", range(4))
def test_values_move_between_frames(mover):
    mover_frame = np.array([[10.0, 11.0, 12.0, 13.0]])
    absolute = mover_to_absolute(mover_frame, np.array([mover]))
    # Player p is the seat of plane (p - mover + 1) mod 4.
    assert absolute[0].tolist() == [10.0 + (p - mover + 1) % 4 for p in range(4)]
    assert np.array_equal(absolute_to_mover(absolute, np.array([mover])), mover_frame)


class TileCountModel(torch.nn.Module):
    """Mover-frame value logits log(1 + tiles on plane k): shares proportional to 1 + tiles."""

    architecture = {"blocks": 0, "channels": 1}

    def forward(self, planes):
        counts = planes[:, :4].sum(dim=(2, 3))
        policy = torch.zeros(planes.shape[0], 400)
        return policy, torch.log1p(counts)


@pytest.mark.parametrize("seed", [4, 5])
def test_served_values_are_in_absolute_player_order_for_every_mover(seed):
    network = TorchNetwork(TileCountModel(), value_convention="share", name="tile-count")
    games = list(replayed_positions(seed))[::7]
    _, values = network(np.stack([p for _, p in games]))
    for (game, _), served in zip(games, values):
        players = [player for player, _ in game.history]
        tiles = np.array([players.count(p) for p in range(4)])
        np.testing.assert_allclose(served, (1 + tiles) / np.sum(1 + tiles), rtol=1e-6)
    assert {g.current_player for g, _ in games} == {0, 1, 2, 3}
