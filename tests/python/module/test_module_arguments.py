"""The module objects (tilora_self_play, tilora_zero._match) and the argument matching of generate_game_data."""

import importlib
import inspect
import operator
import subprocess
import sys
import textwrap

import pytest

import tilora_self_play
from module_fakes import FakePipe, FakeQueue, SearchConfig, returning

generate = tilora_self_play.generate_game_data


class Untouchable:
    """A queue and pipe that fail the test if the module calls them."""

    def put(self, request):
        raise AssertionError("put was called")

    def recv(self):
        raise AssertionError("recv was called")


U = Untouchable()
CFG = SearchConfig()


def test_module_has_generate_game_data_alone():
    assert tilora_self_play.__all__ == ["generate_game_data"]
    assert {name for name in vars(tilora_self_play) if not name.startswith("__")} == {"generate_game_data"}
    assert tilora_self_play.__doc__ == ""
    assert tilora_self_play.generate_game_data.__module__ == "tilora_self_play"
    assert tilora_self_play.generate_game_data.__self__ is tilora_self_play


def test_text_signature():
    assert str(inspect.signature(generate)) == "(id, config, inference_queue, pipe)"
    assert generate.__doc__.startswith("Plays one self-play game")
    assert "values[p] is the value for player p" in generate.__doc__


@pytest.mark.parametrize("name", ["tilora_self_play", "tilora_zero._match"])
def test_second_init_returns_the_same_module(name):
    module = importlib.import_module(name)
    exported = list(module.__all__)
    sys.modules.pop(name)
    try:
        again = importlib.import_module(name)
        assert again is module
        assert importlib.reload(again) is module
        assert module.__all__ == exported
    finally:
        sys.modules[name] = module


@pytest.mark.parametrize("name", ["tilora_self_play", "tilora_zero._match"])
def test_sub_interpreter_import_is_refused(name):
    script = textwrap.dedent(
        f"""
        import {name}
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            print("no sub-interpreter support")
            raise SystemExit
        sub = interpreters.create()
        try:
            interpreters.run_string(sub, "import {name}")
        except interpreters.RunFailedError as error:
            print(error)
        else:
            print("imported")
        interpreters.destroy(sub)
        """
    )
    result = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, check=True, timeout=60
    )
    if result.stdout.startswith("no sub-interpreter support"):
        pytest.skip("this interpreter has no _xxsubinterpreters module")
    assert result.stdout.startswith("<class 'ImportError'>: ")
    assert "sub-interpreter" in result.stdout


MISSING_ALL = (
    "generate_game_data() missing 4 required positional arguments: "
    "'id', 'config', 'inference_queue', and 'pipe'"
)


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((1, CFG, U, U, U), {}, "generate_game_data() takes 4 positional arguments but 5 were given"),
        ((1, CFG, U, U, U, U), {}, "generate_game_data() takes 4 positional arguments but 6 were given"),
        ((1, CFG, U, U), {"pipe": U}, "generate_game_data() got multiple values for argument 'pipe'"),
        ((1,), {"id": 2}, "generate_game_data() got multiple values for argument 'id'"),
        ((1, CFG, U, U), {"queue": U}, "generate_game_data() got an unexpected keyword argument 'queue'"),
        ((), {"id": 1, "cfg": CFG}, "generate_game_data() got an unexpected keyword argument 'cfg'"),
        ((1, CFG, U), {}, "generate_game_data() missing 1 required positional argument: 'pipe'"),
        ((1, CFG), {}, "generate_game_data() missing 2 required positional arguments: 'inference_queue' and 'pipe'"),
        ((), {"config": CFG, "pipe": U}, "generate_game_data() missing 2 required positional arguments: 'id' and 'inference_queue'"),
        ((1,), {}, "generate_game_data() missing 3 required positional arguments: 'config', 'inference_queue', and 'pipe'"),
        ((), {}, MISSING_ALL),
    ],
)
def test_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as raised:
        generate(*args, **kwargs)
    assert str(raised.value) == message


@pytest.mark.parametrize(
    ("game_id", "error", "message"),
    [
        ("1", TypeError, "argument 'id': 'str' object cannot be interpreted as an integer"),
        (1.0, TypeError, "argument 'id': 'float' object cannot be interpreted as an integer"),
        (None, TypeError, "argument 'id': 'NoneType' object cannot be interpreted as an integer"),
        (2**31, OverflowError, "Python int too large to convert to C int"),
        (-(2**31) - 1, OverflowError, "Python int too large to convert to C int"),
        (2**70, OverflowError, "Python int too large to convert to C long"),
    ],
)
def test_id_errors_come_before_any_request(game_id, error, message):
    with pytest.raises(error) as raised:
        generate(game_id, SearchConfig(sims_per_move="not read"), U, U)
    assert type(raised.value) is error
    assert str(raised.value) == message


class Index:
    def __index__(self):
        return -7


@pytest.mark.parametrize("game_id", [-(2**31), 2**31 - 1, 0, Index(), True])
def test_id_range_and_index_objects_are_accepted(game_id, capfd):
    queue = FakeQueue()
    pipe = FakePipe(queue, respond=returning(["not numbers", [0.0] * 4]))
    with pytest.raises(Exception, match='"Error running MCTS"'):
        generate(game_id, SearchConfig(sims_per_move=0), queue, pipe)
    assert queue.requests[0][0] == operator.index(game_id)
    assert type(queue.requests[0][0]) is int
    capfd.readouterr()


@pytest.mark.parametrize(
    "call",
    [
        lambda c, q, p: generate(5, c, q, p),
        lambda c, q, p: generate(id=5, config=c, inference_queue=q, pipe=p),
        lambda c, q, p: generate(pipe=p, inference_queue=q, config=c, id=5),
        lambda c, q, p: generate(5, c, pipe=p, inference_queue=q),
    ],
)
def test_positional_and_keyword_calls_behave_alike(call, capfd):
    queue = FakeQueue()
    pipe = FakePipe(queue)
    history, policies, payoff = call(SearchConfig(sims_per_move=1), queue, pipe)
    assert len(history) == len(policies) > 0
    assert len(payoff) == 4
    assert {request[0] for request in queue.requests} == {5}
    capfd.readouterr()
