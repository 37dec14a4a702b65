"""Failures of an evaluation: at a search root (two printed lines and
Exception('"Error running MCTS"')) and inside the simulations (the
internal-stop exception), the original error as the cause of either; an
interruption (no Exception) leaves as itself."""

import re

import numpy as np
import pytest

import tilora_self_play
from module_fakes import FakePipe, FakeQueue, SearchConfig, raising, returning

generate = tilora_self_play.generate_game_data
VALUES = [0.0, 0.0, 0.0, 0.0]
ROOT_LINE = re.compile(r"^Error evaluating root node: (<class '(\w+)'>: .* \(traceback: (.*)\))$")


class FailingQueue(FakeQueue):
    def __init__(self, error):
        super().__init__()
        self.error = error

    def put(self, request):
        super().put(request)
        raise self.error


def expect_root_failure(capfd, queue, pipe, config=None):
    with pytest.raises(Exception) as raised:  # noqa: PT011 - the exact type is checked below
        generate(4, config or SearchConfig(sims_per_move=2), queue, pipe)
    assert type(raised.value) is Exception
    assert raised.value.args == ('"Error running MCTS"',)
    out, err = capfd.readouterr()
    assert err == ""
    lines = out.splitlines()
    assert len(lines) == 2, out
    match = ROOT_LINE.match(lines[0])
    assert match, lines[0]
    assert lines[1] == "Error running MCTS: " + match.group(1)
    assert type(raised.value.__cause__).__name__ == match.group(2)
    return match.group(2), lines[0], raised.value.__cause__


@pytest.mark.parametrize(
    ("reply", "error", "message"),
    [
        (5, "TypeError", "'int' object is not subscriptable"),
        ([[0.0] * 400], "IndexError", "list index out of range"),
        ({1: VALUES}, "KeyError", "KeyError(0)"),
        (["0.0" * 400, VALUES], "TypeError", "the reply's policy is a str, not a sequence of numbers"),
        ([{0: 1.0}, VALUES], "TypeError", "the reply's policy: 'dict' object cannot be converted to 'Sequence'"),
        ([3.5, VALUES], "TypeError", "the reply's policy: 'float' object cannot be converted to 'Sequence'"),
        ([[0.0] * 399 + ["x"], VALUES], "TypeError", "must be real number, not str"),
        ([[0.0] * 399 + [10**400], VALUES], "OverflowError", "int too large to convert to float"),
        ([[0.0] * 401, VALUES], "ValueError", "the reply's policy has 401 entries, more than the 400 allowed"),
        ([np.zeros(401, np.float32), VALUES], "ValueError", "the reply's policy has 401 entries, more than the 400 allowed"),
        ([[0.0] * 400, [0.0] * 3], "ValueError", "the reply's values has 3 entries, fewer than the 4 needed"),
        ([[0.0] * 400, np.zeros(2)], "ValueError", "the reply's values has 2 entries, fewer than the 4 needed"),
        ([[0.0] * 400, "abcd"], "TypeError", "the reply's values is a str, not a sequence of numbers"),
        ([[0.0] * 400, [0, 0, 0, 0, None]], "TypeError", "must be real number, not NoneType"),
        ([np.zeros((20, 20)), VALUES], "TypeError", ""),
        ([[float("nan")] * 400, VALUES], "ValueError", "no finite priors"),
        ([[1e39] * 400, VALUES], "ValueError", "no finite priors"),  # inf as a 32-bit float
    ],
)
def test_bad_reply_at_the_root(capfd, reply, error, message):
    queue = FakeQueue()
    pipe = FakePipe(queue, respond=returning(reply))
    name, line, _ = expect_root_failure(capfd, queue, pipe)
    assert name == error
    assert message in line
    assert len(queue.requests) == 1 and pipe.calls == 1


@pytest.mark.parametrize("error", [EOFError("pipe closed"), ValueError("bad"), OSError(9, "Bad file descriptor")])
def test_recv_failure_at_the_root(capfd, error):
    queue = FakeQueue()
    pipe = FakePipe(queue, fail_on=0, failure=raising(error))
    name, line, cause = expect_root_failure(capfd, queue, pipe)
    assert cause is error
    assert name == type(error).__name__
    assert repr(error) in line
    assert "<traceback object at 0x" in line


def test_put_failure_at_the_root(capfd):
    queue = FailingQueue(RuntimeError("queue full"))
    pipe = FakePipe(queue)
    name, line, _ = expect_root_failure(capfd, queue, pipe)
    assert name == "RuntimeError"
    assert "RuntimeError('queue full')" in line
    assert pipe.calls == 0


def test_root_failure_at_a_later_move_returns_no_record(capfd):
    queue = FakeQueue()
    # With no simulations every request is a root: the sixth move fails.
    pipe = FakePipe(queue, fail_on=5, failure=raising(EOFError()))
    name, _, _ = expect_root_failure(capfd, queue, pipe, SearchConfig(sims_per_move=0))
    assert name == "EOFError"
    assert len(queue.requests) == 6


@pytest.mark.parametrize("error", [EOFError("gone"), ValueError("bad")])
def test_leaf_failure_is_an_internal_stop_with_the_error_as_cause(capfd, error):
    queue = FakeQueue()
    pipe = FakePipe(queue, fail_on=2, failure=raising(error))
    with pytest.raises(BaseException) as raised:
        generate(4, SearchConfig(sims_per_move=5), queue, pipe)
    stop = raised.value
    assert type(stop).__bases__ == (BaseException,)
    assert stop.__cause__ is error
    assert stop.args[0].startswith(f"Error evaluating leaf node: <class '{type(error).__name__}'>: {error!r}")
    assert len(queue.requests) == 3
    assert capfd.readouterr().out == ""


def internal_stop():
    """The module's own stop, as a nested call inside a network would raise it."""
    try:
        generate(4, SearchConfig(dirichlet_alpha=0.0), None, None)
    except BaseException as stop:  # noqa: B036 - the internal stop is a BaseException
        return stop
    raise AssertionError("the configuration was accepted")


@pytest.mark.parametrize("error", [KeyboardInterrupt(), SystemExit(3), GeneratorExit(), internal_stop()],
                         ids=["KeyboardInterrupt", "SystemExit", "GeneratorExit", "internal stop"])
@pytest.mark.parametrize("where", ["recv at the root", "put at the root", "recv at a leaf"])
def test_an_interruption_in_the_network_leaves_as_itself(capfd, where, error):
    if where == "put at the root":
        queue = FailingQueue(error)
        pipe = FakePipe(queue)
    else:
        queue = FakeQueue()
        pipe = FakePipe(queue, fail_on=0 if where == "recv at the root" else 2, failure=raising(error))
    with pytest.raises(type(error)) as raised:
        generate(4, SearchConfig(sims_per_move=5), queue, pipe)
    assert raised.value is error
    assert capfd.readouterr().out == ""  # no report of a failed root


def test_bad_leaf_reply_is_an_internal_stop(capfd):
    queue = FakeQueue()
    pipe = FakePipe(queue, fail_on=1, failure=returning([[0.0] * 500, VALUES]))
    with pytest.raises(BaseException) as raised:
        generate(4, SearchConfig(sims_per_move=5), queue, pipe)
    assert type(raised.value.__cause__) is ValueError
    assert "more than the 400 allowed" in raised.value.args[0]
    assert capfd.readouterr().out == ""


def test_root_without_children_is_an_internal_stop(capfd):
    queue = FakeQueue()
    pipe = FakePipe(queue, respond=returning([[], VALUES]))
    with pytest.raises(BaseException) as raised:
        generate(4, SearchConfig(), queue, pipe)
    assert type(raised.value).__bases__ == (BaseException,)
    assert "covers none of the legal tiles" in raised.value.args[0]
    assert len(queue.requests) == 1
    assert capfd.readouterr().out == ""
