"""The opt-in search settings (rule, seed, rollout weight, packed planes)."""

import dataclasses
import types

import pytest

import tilora_self_play
from module_fakes import FakePipe, FakeQueue, SearchConfig, uniform_reply
from tilora_zero._match import play_match

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
        return play_match(2, [(config, q, FakePipe(q, respond)) for q in queues], seed=7)

    assert game(1.0, share_reply) == game(1.0, player_zero_reply)  # the values no longer count
    assert game(0.0, share_reply)[0] != game(0.0, player_zero_reply)[0]  # without playouts they do
    assert game(1.0, share_reply)[0] != game(0.0, share_reply)[0]
    capfd.readouterr()


def test_packed_planes_carry_the_same_entries_as_the_lists(capfd):
    from tilora_zero._engine import pack_planes

    lists, list_queue = play(RuleConfig(seed=21))
    packed, packed_queue = play(types.SimpleNamespace(**vars(RuleConfig(seed=21)), packed_planes=True))
    assert packed == lists
    assert len(packed_queue.requests) == len(list_queue.requests) > 100
    for (_, entries), (_, data) in zip(list_queue.requests, packed_queue.requests):
        assert type(data) is bytes and data == pack_planes(entries)
    capfd.readouterr()


@dataclasses.dataclass
class GumbelConfig(RuleConfig):
    gumbel_actions: object = None
    gumbel_scale: object = None


@pytest.mark.parametrize("tree", ["cells", "placements"])
def test_a_gumbel_root_records_its_improved_policy(tree, capfd):
    # Equal logits and every value at par: the improved policy is the prior, where three simulations'
    # visit shares are thirds (until finished games, valued by their payoffs, come within reach).
    config = types.SimpleNamespace(**vars(GumbelConfig(search="puct", seed=5, gumbel_actions=4)), tree=tree)
    _, policies, _ = play(config)[0]
    searched = [p for p in policies if len(p) >= 2]
    assert searched
    for policy in searched:
        assert sum(share for _, share in policy) == pytest.approx(1.0, abs=1e-5)
    for policy in searched[:20] if tree == "cells" else ():
        assert [share for _, share in policy] == pytest.approx([1 / len(policy)] * len(policy), rel=1e-5)
    visits, _ = play(types.SimpleNamespace(**vars(RuleConfig(search="puct", seed=5)), tree=tree))
    assert visits[1] != policies
    capfd.readouterr()
