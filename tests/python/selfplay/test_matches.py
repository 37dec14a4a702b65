"""Matches on a hub: each seat's requests reach its own network, batched per network across games."""
from __future__ import annotations

import numpy as np
import pytest

from learning_helpers import InProcessChannel
from tilora_zero._match import play_match
from tilora_zero.learning.arena import arena_settings
from tilora_zero.selfplay.games import GameFailed, SelfPlay, game_seed
from tilora_zero.selfplay.matches import Match
from tilora_zero.selfplay.players import Player
from tilora_zero.serving.hub import GameHub
from tilora_zero.serving.transports import LocalTransport


class TaggedNetwork:
    """Answers every position with priors and values of its own, and keeps its batch sizes."""

    def __init__(self, tag: int):
        rng = np.random.default_rng(tag)
        self.logits = (3 * rng.standard_normal(400)).astype(np.float32)
        self.values = rng.dirichlet(np.ones(4)).astype(np.float32)
        self.name = f"tagged-{tag}"
        self.batches: list[int] = []

    def __call__(self, planes):
        self.batches.append(len(planes))
        return np.tile(self.logits, (len(planes), 1)), np.tile(self.values, (len(planes), 1))


def run_on_hub(match: Match, networks: list, numbers: list[int]) -> tuple[dict, GameHub]:
    """Plays the games as one worker does, all at once on one hub; outcomes by game number."""
    hub = GameHub([LocalTransport(network) for network in networks])
    names = [network.name for network in networks]
    queue = [(n, lambda game, n=n: match.play(n, game.channel, names)) for n in numbers]
    outcomes = {}
    hub.run(lambda: queue.pop(0) if queue else None, len(numbers),
            lambda game, record, error: outcomes.__setitem__(game.tag, error or record))
    return outcomes, hub


def test_every_request_of_a_seats_search_reaches_that_seats_network_batched_across_games(capfd):
    networks = [TaggedNetwork(seat) for seat in range(4)]
    settings = [arena_settings(2 + seat, search=("puct" if seat % 2 else "classic")) for seat in range(4)]
    players = [Player(lambda network=network: network, settings[seat]) for seat, network in enumerate(networks)]
    match = Match(players, [(0, 1, 2, 3), (3, 2, 1, 0)], seed=5)
    records, hub = run_on_hub(match, networks, [0, 1, 2, 3])
    assert all(max(network.batches) > 1 for network in networks)
    assert sum(sum(network.batches) for network in networks) == hub.stats.positions

    for number, record in records.items():
        # The same game with each seat's network asked directly, one position at a time.
        seating = match.seating(number)
        seats = [(settings[i], channel, channel) for i in seating for channel in [InProcessChannel(networks[i])]]
        history, policies, payoff = play_match(number, seats, seed=game_seed(5, number))
        assert record.cells.tolist() == [cell for _, cell in history]
        assert np.array_equal(record.policy_shares, np.float32([share for p in policies for _, share in p]))
        assert record.metadata["seats"] == list(seating) and record.metadata["seed"] == game_seed(5, number)
    capfd.readouterr()


def test_a_failed_evaluation_ends_the_game_naming_the_seat_and_the_networks_error():
    def broken(planes):
        raise RuntimeError("the network is broken")

    broken.name = "broken"
    match = Match([Player("greedy"), Player(lambda: broken, arena_settings(2))], [(0, 0, 1, 0)])
    outcomes, _ = run_on_hub(match, [broken], [0])
    assert isinstance(outcomes[0], GameFailed) and isinstance(outcomes[0].cause, RuntimeError)
    assert "seat 2: Error evaluating root node" in str(outcomes[0])
    assert "RuntimeError: the network is broken" in str(outcomes[0])


class InterruptedChannel:
    """A queue and pipe whose every reply is interrupted (Ctrl-C, an exit)."""

    def __init__(self, interruption: BaseException):
        self.interruption = interruption
        self.error = None

    def put(self, request) -> None:
        pass

    def recv(self):
        raise self.interruption


@pytest.mark.parametrize("interruption", [KeyboardInterrupt(), SystemExit(1)], ids=["KeyboardInterrupt", "SystemExit"])
@pytest.mark.parametrize("games", ["self-play", "match"])
def test_an_interruption_in_a_network_leaves_the_game_as_itself_not_as_a_failed_game(games, interruption):
    network = lambda: None  # noqa: E731 - never asked: the channel answers
    if games == "self-play":
        played = SelfPlay(network, arena_settings(2))
    else:
        played = Match([Player("greedy"), Player(network, arena_settings(2))], [(0, 0, 1, 0)])
    with pytest.raises(type(interruption)) as raised:
        played.play(0, lambda route: InterruptedChannel(interruption), ["network"])
    assert raised.value is interruption
