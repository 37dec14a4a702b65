"""The opt-in search settings (rule, seed) and matches in which every seat
searches with its own player."""

import dataclasses
import types

import pytest

import tilora_self_play
from module_fakes import FakePipe, FakeQueue, SearchConfig, uniform_reply

generate = tilora_self_play.generate_game_data


@dataclasses.dataclass
class RuleConfig(SearchConfig):
    sims_per_move: int = 3
    search: object = None
    seed: object = None
    player: object = None
    rollout_weight: object = None


def share_reply(request):
    """Logit 0 on every cell, each player at par on the payoff-share scale."""
    return [[0.0] * 400, [0.25, 0.25, 0.25, 0.25]]


def play(config, respond=share_reply):
    queue = FakeQueue()
    return generate(1, config, queue, FakePipe(queue, respond)), queue


@pytest.mark.parametrize("rule", [None, "classic", "puct"])
def test_a_seed_fixes_the_whole_game(rule, capfd):
    first, _ = play(RuleConfig(search=rule, seed=12))
    again, _ = play(RuleConfig(search=rule, seed=12))
    other, _ = play(RuleConfig(search=rule, seed=13))
    assert first == again  # moves, every root's visit shares in order, payoff
    assert first[0] != other[0]
    capfd.readouterr()


@pytest.mark.parametrize("bad", [float("nan"), float("inf"), -float("inf")])
def test_a_reply_with_values_that_are_not_finite_is_an_evaluation_error(bad, capfd):
    # The root's reply is fine; the first leaf's values hold the bad number.
    replies = iter([uniform_reply(None)] + [[[0.0] * 400, [0.1, bad, 0.3, 0.4]]] * 10)
    with pytest.raises(BaseException) as raised:  # noqa: PT011 - the internal stop is checked below
        play(RuleConfig(), lambda request: next(replies))
    assert raised.value.args[0].startswith("Error evaluating leaf node: ")
    assert isinstance(raised.value.__cause__, ValueError)
    assert "not all finite" in str(raised.value.__cause__)


def player_zero_reply(request):
    """Logit 0 on every cell, player 0 sure to win."""
    return [[0.0] * 400, [1.0, 0.0, 0.0, 0.0]]


@pytest.mark.parametrize("run", ["self-play", "match"])
def test_a_rollout_weight_of_one_puts_playouts_in_place_of_the_networks_values(run, capfd):
    def game(weight, respond):
        config = RuleConfig(search="puct", seed=7, rollout_weight=weight)
        if run == "self-play":
            return play(config, respond)[0]
        queues = [FakeQueue() for _ in range(4)]
        return tilora_self_play.play_match(2, [(config, q, FakePipe(q, respond)) for q in queues], seed=7)

    assert game(1.0, share_reply) == game(1.0, player_zero_reply)  # the values no longer count
    assert game(0.0, share_reply)[0] != game(0.0, player_zero_reply)[0]  # without playouts they do
    assert game(1.0, share_reply)[0] != game(0.0, share_reply)[0]
    capfd.readouterr()


class Seat:
    """One seat's queue and pipe, logging the seat of every request."""

    def __init__(self, seat, log):
        self.queue = FakeQueue()
        self.pipe = FakePipe(self.queue, share_reply)
        original = self.queue.put

        def put(request):
            log.append(seat)
            original(request)

        self.queue.put = put


def turns(seats):
    """Consecutive repeats merged: one entry per turn."""
    return [s for i, s in enumerate(seats) if i == 0 or seats[i - 1] != s]


def test_every_request_of_a_seats_search_reaches_that_seats_network():
    log = []
    seats = [Seat(s, log) for s in range(4)]
    configs = [RuleConfig(sims_per_move=1 + s, search=("puct" if s % 2 else "classic")) for s in range(4)]
    history, policies, payoff = tilora_self_play.play_match(
        5, [(configs[s], seats[s].queue, seats[s].pipe) for s in range(4)], seed=3)
    assert turns(log) == turns([player for player, _ in history])
    assert all(request[0] == 5 for seat in seats for request in seat.queue.requests)
    assert len(policies) == len(history) and sum(payoff) == pytest.approx(1.0)


def test_baseline_seats_need_no_network_and_seeded_matches_repeat():
    def match(seed):
        seats = [(RuleConfig(player="rollout", search="puct"), None, None),
                 (types.SimpleNamespace(player="greedy"), None, None),
                 (RuleConfig(player="uniform", search="puct"), None, None),
                 (types.SimpleNamespace(player="greedy"), None, None)]
        return tilora_self_play.play_match(0, seats, seed=seed)

    first = match(4)
    assert first == match(4)
    assert first[0] != match(5)[0]
    greedy_moves = [policy for (player, _), policy in zip(first[0], first[1]) if player % 2]
    assert greedy_moves and all(len(p) == 1 and p[0][1] == 1.0 for p in greedy_moves)


@pytest.mark.parametrize(
    ("seats", "error", "text"),
    [
        ([(RuleConfig(), None, None)] * 3, ValueError, "needs 4 seats, got 3"),
        ([[RuleConfig(), None, None]] * 4, TypeError, "seat 0 must be a tuple"),
        ([(RuleConfig(), None, None)] * 4, ValueError, "seat 0 plays with a network but has no"),
        ([(types.SimpleNamespace(player="human"), None, None)] * 4, ValueError, "seat 0: config.player must be"),
    ],
)
def test_malformed_seats_are_refused_before_any_move(seats, error, text):
    with pytest.raises(error, match=text):
        tilora_self_play.play_match(0, seats)


def test_a_failed_evaluation_names_the_seat_and_keeps_its_cause():
    queue = FakeQueue()

    def fail(request):
        raise KeyError("no network here")

    seats = [(types.SimpleNamespace(player="greedy"), None, None)] * 2 + \
            [(RuleConfig(), queue, FakePipe(queue, fail))] + [(types.SimpleNamespace(player="greedy"), None, None)]
    with pytest.raises(BaseException) as raised:  # noqa: PT011 - the internal stop is checked below
        tilora_self_play.play_match(0, seats)
    assert raised.value.args[0].startswith("seat 2: Error evaluating root node: ")
    assert isinstance(raised.value.__cause__, KeyError)


def test_packed_planes_carry_the_same_entries_as_the_lists(capfd):
    from tilora_zero._engine import pack_planes

    lists, list_queue = play(RuleConfig(seed=21))
    packed, packed_queue = play(types.SimpleNamespace(**vars(RuleConfig(seed=21)), packed_planes=True))
    assert packed == lists
    assert len(packed_queue.requests) == len(list_queue.requests) > 100
    for (_, entries), (_, data) in zip(list_queue.requests, packed_queue.requests):
        assert type(data) is bytes and data == pack_planes(entries)
    capfd.readouterr()
