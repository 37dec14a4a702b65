"""Replies and arguments that misbehave end the call with an error that names the cause, never with a
crash: each reproducer runs in a child process, so a segfault fails the test instead of the run."""

import subprocess
import sys
import textwrap
import types
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tilora_self_play
from module_fakes import FakePipe, FakeQueue, SearchConfig, uniform_reply

PRELUDE = textwrap.dedent("""
    import sys, types
    sys.path.insert(0, {tests!r})
    import tilora_self_play
    from module_fakes import FakePipe, FakeQueue, SearchConfig, uniform_reply
    from tilora_zero._match import play_match

    def config(tree, **settings):
        return types.SimpleNamespace(**{{**vars(SearchConfig(sims_per_move=3)), "tree": tree, "seed": 1,
                                         "search": "puct", **settings}})

    def outcome(run):
        try:
            result = run()
        except BaseException as error:  # the reproducer reports whatever leaves the call
            cause = error.__cause__
            print(type(error).__name__, error.args[0] if error.args else "",
                  "| cause:", type(cause).__name__ if cause else None, cause.args[0] if cause else "")
        else:
            print("returned", len(result[0]), "moves")
""")

REPRODUCERS = {
    "a __float__ that clears the policy list": ("""
        class Clearing:
            def __float__(self):
                policy.clear()
                return 0.0
        policy = [Clearing()] + [0.0] * 399
        pipe = FakePipe(FakeQueue(), respond=lambda request: [policy, [0.25] * 4])
        """, "Exception \"Error running MCTS\" | cause: ValueError the reply's policy changed its length "
             "from 400 to 0 while its numbers were read"),
    "a __float__ that lengthens the values list": ("""
        class Growing:
            def __float__(self):
                values.extend([0.0] * 10000)
                return 0.0
        values = [Growing(), 0.25, 0.25, 0.25]
        pipe = FakePipe(FakeQueue(), respond=lambda request: [[0.0] * 400, values])
        """, "Exception \"Error running MCTS\" | cause: ValueError the reply's values changed its length "
             "from 4 to 10004 while its numbers were read"),
    "a __float__ interrupted": ("""
        class Interrupted:
            def __float__(self):
                raise KeyboardInterrupt
        pipe = FakePipe(FakeQueue(), respond=lambda request: [[Interrupted()] * 400, [0.25] * 4])
        """, "KeyboardInterrupt  | cause: None"),
    "a network error whose __repr__ is interrupted": ("""
        class Unprintable(Exception):
            def __repr__(self):
                raise KeyboardInterrupt
        def fail(request):
            raise Unprintable("no repr")
        pipe = FakePipe(FakeQueue(), respond=uniform_reply, fail_on=2, failure=fail)
        """, "KeyboardInterrupt  | cause: None"),
    "a network error whose __repr__ fails": ("""
        class Unprintable(Exception):
            def __repr__(self):
                raise ValueError("no repr")
        def fail(request):
            raise Unprintable("x")
        pipe = FakePipe(FakeQueue(), respond=uniform_reply, fail_on=2, failure=fail)
        """, "InternalStop Error evaluating leaf node: <class '__main__.Unprintable'>: <repr failed> (traceback: "),
}


def run_child(code):
    script = PRELUDE.format(tests=str(Path(__file__).resolve().parents[1])) + textwrap.dedent(code)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, f"exit {done.returncode}: {done.stderr[-2000:]}"
    return done.stdout.strip().splitlines()[-1]


@pytest.mark.parametrize("tree", ["cells", "placements"])
@pytest.mark.parametrize("name", list(REPRODUCERS))
def test_a_misbehaving_reply_ends_the_call_as_described(name, tree):
    setup, expected = REPRODUCERS[name]
    last = run_child(textwrap.dedent(setup) + f"\noutcome(lambda: tilora_self_play.generate_game_data(0, config({tree!r}), "
                     "pipe.queue, pipe))\n")
    assert last.startswith(expected), last


@pytest.mark.parametrize("offset", [0.0, 1e30, 3e38])
def test_placement_priors_ignore_a_common_offset_of_huge_finite_logits(offset):
    """Every logit equal, however large: the same seeded game as logits of zero."""
    last = run_child(f"""
        def game(logit):
            pipe = FakePipe(FakeQueue(), respond=lambda request: [[logit] * 400, [0.25] * 4])
            return tilora_self_play.generate_game_data(0, config("placements"), pipe.queue, pipe)
        print(game({offset!r}) == game(0.0), len(game({offset!r})[0]))
    """)
    assert last.split()[0] == "True", last


@pytest.mark.parametrize("turns", [2**32, 2**32 + 1, 2**70])
def test_a_turn_count_beyond_any_game_plays_the_whole_game(turns):
    last = run_child(f"""
        greedy = (types.SimpleNamespace(player="greedy"), None, None)
        print(play_match(0, [greedy] * 4, seed=2, turns={turns}) == play_match(0, [greedy] * 4, seed=2))
    """)
    assert last == "True"


@pytest.mark.parametrize("turns", [-1, -(2**70)])
def test_a_negative_turn_count_is_refused(turns):
    from tilora_zero._match import play_match
    greedy = (types.SimpleNamespace(player="greedy"), None, None)
    with pytest.raises(ValueError, match=f"turns must be at least 0, got {turns}"):
        play_match(0, [greedy] * 4, turns=turns)


class Misbehaving:
    """An element of a reply whose __float__ does `act` to the list holding it."""

    def __init__(self, act):
        self.act = act
        self.holder = None

    def __float__(self):
        if self.act == "clear":
            self.holder.clear()
        elif self.act == "append":
            self.holder.append(0.0)
        elif self.act == "raise":
            raise ArithmeticError("element refused")
        return {"nan": float("nan"), "inf": float("inf")}.get(self.act, 0.5)


ACTS = ["clear", "append", "raise", "nan", "inf", "plain"]


def fill(length, misfits, container):
    items = [0.0] * length
    for index, act in misfits:
        items[index % length] = Misbehaving(act)
    holder = list(items) if container == "list" else tuple(items)
    for item in items:
        if isinstance(item, Misbehaving):
            item.holder = holder if container == "list" else []
    return holder


def first_failure(*sequences):
    """The error the reading must stop with: the first element, in reading order, that raises or
    changes the list it is in (a tuple's element changes a list of its own)."""
    for sequence in sequences:
        for item in sequence:
            if isinstance(item, Misbehaving) and item.act == "raise":
                return ArithmeticError
            if isinstance(item, Misbehaving) and item.act in ("clear", "append") and isinstance(sequence, list):
                return ValueError
    return None


misfit_lists = st.lists(st.tuples(st.integers(0, 399), st.sampled_from(ACTS)), max_size=4)


@settings(max_examples=150, deadline=None, derandomize=True, suppress_health_check=[HealthCheck.too_slow])
@given(policy_misfits=misfit_lists, value_misfits=misfit_lists, containers=st.sampled_from(["list", "tuple"]),
       tree=st.sampled_from(["cells", "placements"]), at_leaf=st.booleans())
def test_fuzzed_replies_end_in_a_record_or_an_error_naming_the_element(policy_misfits, value_misfits, containers,
                                                                        tree, at_leaf):
    policy = fill(400, policy_misfits, containers)
    values = fill(4, value_misfits, containers)
    queue = FakeQueue()
    pipe = FakePipe(queue, respond=uniform_reply, fail_on=2 if at_leaf else 0,
                    failure=lambda request: [policy, values])
    config = types.SimpleNamespace(**vars(SearchConfig(sims_per_move=3)), tree=tree, search="puct", seed=5)
    expected = first_failure(policy, values)
    try:
        history, _, payoff = tilora_self_play.generate_game_data(0, config, queue, pipe)
    except BaseException as error:  # noqa: B036 - a leaf's failure is the module's internal stop
        cause = error.__cause__
        if expected is not None:
            assert type(cause) is expected, repr(cause)
        else:  # a NaN or an infinity read where it counts
            assert type(cause) is ValueError and "finite" in str(cause), repr(cause)
    else:
        assert expected is None
        assert len(history) > 0 and len(payoff) == 4
