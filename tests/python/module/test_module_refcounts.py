"""Reference counts: a game keeps no reference to anything it was given or
made, on success and on every kind of failure."""

import sys
from collections import Counter

import numpy as np
import pytest

import tilora_self_play
from module_fakes import FakePipe, FakeQueue, SearchConfig, returning

generate = tilora_self_play.generate_game_data


def run_quietly(*args):
    """Calls generate_game_data and drops any exception with its traceback."""
    try:
        generate(*args)
    except BaseException as error:  # noqa: B036 - the internal stop is a BaseException
        error.__traceback__ = None
        error.__cause__ = None
        return type(error)
    return None


def extra_references(items):
    """References to each item beyond the container's slot, this loop's
    variable and getrefcount's argument."""
    return [sys.getrefcount(item) - 3 for item in items]


def fresh(error_type):
    """Raises a new exception on every call, so that no traceback outlives it."""

    def fail(request):
        raise error_type()

    return fail


def make_reply(kind):
    if kind == "numpy":
        return [np.zeros(400, np.float32), np.array([0.1, 0.2, 0.3, 0.4], np.float32)]
    return [[float(i % 7) / 10.0 for i in range(400)], [0.1, 0.2, 0.3, 0.4, 0.5]]


@pytest.mark.parametrize("kind", ["list", "numpy"])
@pytest.mark.parametrize(
    ("fail_on", "failure", "outcome"),
    [
        (None, None, None),
        (0, fresh(EOFError), Exception),
        (3, fresh(EOFError), BaseException),
        (0, returning(["bad", [0.0] * 4]), Exception),
        (2, returning([[0.0] * 401, [0.0] * 4]), BaseException),
    ],
    ids=["game", "root-error", "leaf-error", "root-bad-reply", "leaf-bad-reply"],
)
def test_reply_and_arguments_keep_their_refcounts(capfd, kind, fail_on, failure, outcome):
    reply = make_reply(kind)
    policy, values = reply
    # A c_base of its own: the default's float is shared with the settings' class, which other threads
    # (a test's leftover server, the interpreter's own caches) may reference and drop at any moment.
    config = SearchConfig(sims_per_move=3, c_base=float("19652.5"))
    queue = FakeQueue()
    pipe = FakePipe(queue, respond=returning(reply), fail_on=fail_on, failure=failure)
    watched = [reply, policy, values, config, queue, pipe, config.c_base]
    if kind == "list":
        watched += [policy[1], values[4]]
    before = [sys.getrefcount(obj) for obj in watched]

    for _ in range(2):
        queue.requests.clear()
        pipe.calls = 0
        raised = run_quietly(7, config, queue, pipe)
        if outcome is None:
            assert raised is None
        else:
            assert raised is not None and issubclass(raised, outcome)

    assert [sys.getrefcount(obj) for obj in watched] == before
    capfd.readouterr()


def test_extra_references_counts_only_foreign_references():
    items = [object(), object()]
    keep = items[1]
    assert extra_references(items) == [0, 1]
    del keep


def test_requests_hold_only_the_queues_references(capfd):
    queue = FakeQueue()
    generate(-3, SearchConfig(sims_per_move=2), queue, FakePipe(queue))
    capfd.readouterr()
    requests = queue.requests
    assert len(requests) > 100
    assert set(extra_references(requests)) == {0}
    assert set(extra_references([r[1] for r in requests])) == {1}  # the new list's slot
    assert set(extra_references([p for r in requests for p in r[1]])) == {1}
    # The 0.0 entries of all requests share a few cached float objects, which
    # have no reference beyond the plane lists.
    zeros = [v for r in requests for plane in r[1] for v in plane if v == 0.0]
    uses = Counter(id(v) for v in zeros)
    cached = {id(v): v for v in zeros}
    del zeros
    assert 1 <= len(cached) <= 16
    for key in uses:
        zero = cached[key]
        # the plane entries, `cached`, `zero`, the argument
        assert sys.getrefcount(zero) == uses[key] + 3


def test_result_objects_are_owned_only_by_the_result(capfd):
    queue = FakeQueue()
    history, policies, payoff = generate(1, SearchConfig(sims_per_move=1), queue, FakePipe(queue))
    capfd.readouterr()
    counts = [sys.getrefcount(history), sys.getrefcount(policies), sys.getrefcount(payoff)]
    assert counts == [2, 2, 2]
    assert set(extra_references(history)) == {0}
    assert set(extra_references(policies)) == {0}
    assert set(extra_references([pair for entry in policies for pair in entry])) == {1}
