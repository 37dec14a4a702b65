"""Reading the configuration object, and the internal-stop exception."""

import types

import pytest

import tilora_self_play
from module_fakes import FIELDS, FakePipe, FakeQueue, SearchConfig
from tilora_zero.settings import SearchSettings

generate = tilora_self_play.generate_game_data


def run(config):
    """Calls with a queue and pipe that record whether they were used."""
    queue = FakeQueue()
    pipe = FakePipe(queue)
    try:
        result = generate(3, config, queue, pipe)
    except BaseException as error:  # noqa: B036 - the internal stop is a BaseException
        return error, queue
    return result, queue


def internal_stop(config):
    error, queue = run(config)
    assert not isinstance(error, Exception), error
    assert type(error).__bases__ == (BaseException,)
    assert queue.requests == []
    return error


def test_internal_stop_is_one_class_derived_directly_from_base_exception():
    first = internal_stop(SearchConfig(sims_per_move=2.0))
    second = internal_stop(SearchConfig(dirichlet_alpha=0.0))
    assert type(first) is type(second)
    assert len(first.args) == 1 and isinstance(first.args[0], str)
    with pytest.raises(BaseException) as raised:
        try:
            generate(3, SearchConfig(c_base="x"), FakeQueue(), None)
        except Exception:  # must not catch it
            pytest.fail("the internal stop was caught as an Exception")
    assert type(raised.value) is type(first)


def test_missing_attribute_is_the_lookups_own_error():
    config = types.SimpleNamespace(**{name: 1 for name in FIELDS if name != "c_base"})
    stop = internal_stop(config)
    cause = stop.__cause__
    assert type(cause) is AttributeError
    assert str(cause) == "'types.SimpleNamespace' object has no attribute 'c_base'"
    assert "AttributeError" in stop.args[0]
    assert "has no attribute 'c_base'" in stop.args[0]


@pytest.mark.parametrize(
    ("field", "value", "cause_type", "cause_message"),
    [
        ("sims_per_move", 2.0, TypeError, "'float' object cannot be interpreted as an integer"),
        ("sims_per_move", "8", TypeError, "'str' object cannot be interpreted as an integer"),
        ("sample_moves", -1, OverflowError, "out of range integral type conversion attempted"),
        ("sample_moves", 2**32, OverflowError, "out of range integral type conversion attempted"),
        ("sims_per_move", 2**80, OverflowError, "out of range integral type conversion attempted"),
        ("c_base", "2.0", TypeError, "must be real number, not str"),
        ("c_init", None, TypeError, "must be real number, not NoneType"),
        ("dirichlet_alpha", [0.3], TypeError, "must be real number, not list"),
        ("exploration_fraction", 10**400, OverflowError, "int too large to convert to float"),
    ],
)
def test_bad_value_is_a_failed_extract_with_the_conversion_error_as_cause(
    field, value, cause_type, cause_message
):
    stop = internal_stop(SearchConfig(**{field: value}))
    error = stop.__cause__
    assert type(error) is TypeError
    assert str(error) == f"failed to extract field Config.{field}"
    assert type(error.__cause__) is cause_type
    assert str(error.__cause__) == cause_message
    assert f"failed to extract field Config.{field}" in stop.args[0]


def test_the_first_bad_attribute_in_field_order_is_named():
    config = SearchConfig(exploration_fraction="x", sample_moves=-3, c_init="y")
    assert str(internal_stop(config).__cause__) == "failed to extract field Config.sample_moves"
    config = types.SimpleNamespace(sims_per_move=1.5)  # bad value before the missing ones
    assert str(internal_stop(config).__cause__) == "failed to extract field Config.sims_per_move"


@pytest.mark.parametrize(
    ("alpha", "shown"),
    [(0, "0.0"), (0.0, "0.0"), (-0.5, "-0.5"), (float("nan"), "nan"), (-1e-50, "-0.0"), (-0.1, "-0.1")],
)
def test_non_positive_dirichlet_alpha_stops_before_any_request(alpha, shown):
    stop = internal_stop(SearchConfig(dirichlet_alpha=alpha))
    assert stop.__cause__ is None
    assert "dirichlet_alpha" in stop.args[0]
    assert stop.args[0].endswith(f"got {shown}")


@pytest.mark.parametrize(
    ("name", "value", "shown"),
    [("c_base", float("inf"), "inf"), ("c_base", 1e39, "inf"), ("c_init", float("nan"), "nan"),
     ("c_init", -float("inf"), "-inf"), ("exploration_fraction", 1.5, "1.5"),
     ("exploration_fraction", -0.25, "-0.25"), ("exploration_fraction", float("nan"), "nan"),
     ("first_play_value", float("inf"), "inf"), ("rollout_weight", 1.5, "1.5"), ("rollout_weight", -0.5, "-0.5"),
     ("gumbel_scale", -0.5, "-0.5"), ("gumbel_scale", float("nan"), "nan")],
)
def test_unusable_settings_stop_before_any_request(name, value, shown):
    stop = internal_stop(SearchConfig(**{name: value}) if name in FIELDS
                         else types.SimpleNamespace(**vars(SearchConfig()), **{name: value}))
    assert stop.args[0].startswith(f"invalid configuration: {name} must be ")
    assert stop.args[0].endswith(f"got {shown}")


@pytest.mark.parametrize(
    ("name", "value", "cause"),
    [("search", "uct", ValueError), ("search", 1, TypeError), ("seed", -1, OverflowError),
     ("seed", 2**64, OverflowError), ("seed", 1.5, TypeError), ("first_play_value", "x", TypeError),
     ("gumbel_actions", -1, OverflowError), ("gumbel_actions", 2.0, TypeError)],
)
def test_bad_optional_settings_name_their_field(name, value, cause):
    stop = internal_stop(types.SimpleNamespace(**vars(SearchConfig()), **{name: value}))
    assert str(stop.__cause__) == f"failed to extract field Config.{name}"
    assert type(stop.__cause__.__cause__) is cause


@pytest.mark.parametrize(
    ("c_base", "c_init", "name"),
    [(0.0, 1.25, "c_base"), (-3.0, 1.25, "c_base"), (19652.0, -0.5, "c_init"),
     (1.0, -1.1, "c_init"),  # C(1) = ln 3 - 1.1
     (19652.0, -1.1e-4, "c_init")],  # C(1) = ln(19654 / 19652) - 1.1e-4
)
def test_puct_refuses_settings_whose_exploration_coefficient_can_be_negative(c_base, c_init, name):
    stop = internal_stop(types.SimpleNamespace(**vars(SearchConfig(c_base=c_base, c_init=c_init)), search="puct"))
    assert stop.args[0].startswith(f"invalid configuration: {name} must be ")
    assert "under the PUCT rule" in stop.args[0]
    with pytest.raises(ValueError, match=f"^{name} must be "):
        SearchSettings(c_base=c_base, c_init=c_init, search="puct")


@pytest.mark.parametrize(
    ("rule", "c_base", "c_init"),
    [("puct", 1.0, -1.09), ("puct", 19652.0, -1.0e-4), ("classic", 19652.0, -0.5), ("classic", 1.0, -5.0)],
)
def test_a_coefficient_never_negative_under_puct_and_any_under_the_classic_rule_is_searched(rule, c_base, c_init,
                                                                                            capfd):
    SearchSettings(c_base=c_base, c_init=c_init, search=rule)
    queue = FakeQueue()
    pipe = FakePipe(queue, fail_on=0, failure=lambda request: request[1] + 1)  # reached only past the checks
    with pytest.raises(Exception, match="Error running MCTS"):
        generate(3, types.SimpleNamespace(**vars(SearchConfig(c_base=c_base, c_init=c_init)), search=rule), queue, pipe)
    capfd.readouterr()


class Floaty:
    def __float__(self):
        return 0.25


class Indexy:
    def __index__(self):
        return 2


def module_config():
    module = types.ModuleType("cfg")
    for name, value in vars(SearchConfig(sims_per_move=2)).items():
        setattr(module, name, value)
    return module


@pytest.mark.parametrize(
    "make",
    [
        lambda: SearchConfig(sims_per_move=2, c_base=19652, c_init=1, dirichlet_alpha=1, exploration_fraction=0),
        lambda: SearchConfig(sims_per_move=Indexy(), sample_moves=True, exploration_fraction=Floaty()),
        lambda: types.SimpleNamespace(**vars(SearchConfig(sims_per_move=2))),
        module_config,
    ],
    ids=["ints-for-floats", "index-and-float-objects", "namespace", "module"],
)
def test_accepted_config_objects(make, capfd):
    result, queue = run(make())
    assert isinstance(result, tuple), result
    assert len(queue.requests) > 0
    assert capfd.readouterr().out.startswith("Game finished with payoff: ")
