"""tilora_zero._match.play_match: one game in which every seat searches with its own player."""

import _thread
import itertools
import signal
import threading
import time
import types

import pytest

import tilora_zero._match
from module_fakes import FakePipe, FakeQueue, SearchConfig, raising, uniform_reply
from tilora_zero._match import play_match


def seat_config(player=None, **settings):
    """The required settings (four simulations) with `settings` over them, and the seat's player."""
    return types.SimpleNamespace(**{**vars(SearchConfig()), **settings}, player=player)


GREEDY = (types.SimpleNamespace(player="greedy"), None, None)


def test_the_module_has_play_match_alone():
    module = tilora_zero._match
    assert module.__all__ == ["play_match"]
    assert {name for name in vars(module) if not name.startswith("__")} == {"play_match"}
    assert play_match.__module__ == "tilora_zero._match"
    assert play_match.__text_signature__ == "(id, seats, seed=None, *, opening=None, turns=None)"


class Seat:
    """One seat's queue and pipe, logging the seat of every request."""

    def __init__(self, seat, log):
        self.queue = FakeQueue()
        self.pipe = FakePipe(self.queue, uniform_reply)
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
    configs = [seat_config(sims_per_move=1 + s, search=("puct" if s % 2 else "classic")) for s in range(4)]
    history, policies, payoff = play_match(5, [(configs[s], seats[s].queue, seats[s].pipe) for s in range(4)],
                                           seed=3)
    assert turns(log) == turns([player for player, _ in history])
    assert all(request[0] == 5 for seat in seats for request in seat.queue.requests)
    assert len(policies) == len(history) and sum(payoff) == pytest.approx(1.0)


def test_baseline_seats_need_no_network_and_seeded_matches_repeat():
    def match(seed):
        seats = [(seat_config("rollout", sims_per_move=3, search="puct"), None, None), GREEDY,
                 (seat_config("uniform", sims_per_move=3, search="puct"), None, None), GREEDY]
        return play_match(0, seats, seed=seed)

    first = match(4)
    assert first == match(4)
    assert first[0] != match(5)[0]
    greedy_moves = [policy for (player, _), policy in zip(first[0], first[1]) if player % 2]
    assert greedy_moves and all(len(p) == 1 and p[0][1] == 1.0 for p in greedy_moves)


@pytest.mark.parametrize(
    ("seats", "error", "text"),
    [
        ([(seat_config(), None, None)] * 3, ValueError, "needs 4 seats, got 3"),
        ([[seat_config(), None, None]] * 4, TypeError, "seat 0 must be a tuple"),
        ([(seat_config(), None, None)] * 4, ValueError, "seat 0 plays with a network but has no"),
    ],
)
def test_malformed_seats_are_refused_before_any_move(seats, error, text):
    with pytest.raises(error, match=text):
        play_match(0, seats)


@pytest.mark.parametrize(
    ("name", "value", "conversion", "message"),
    [
        ("rollout_weight", [1], TypeError, "must be real number, not list"),
        ("seed", "s", TypeError, "'str' object cannot be interpreted as an integer"),
        ("sims_per_move", -1, OverflowError, "out of range integral type conversion attempted"),
    ],
)
def test_an_unreadable_seat_setting_names_the_attribute_and_the_conversion_error(name, value, conversion, message):
    seats = [GREEDY] * 3 + [(seat_config("rollout", **{name: value}), None, None)]
    with pytest.raises(BaseException) as raised:  # noqa: PT011 - the internal stop is checked below
        play_match(0, seats)
    stop = raised.value
    assert not isinstance(stop, Exception)
    assert stop.args[0].startswith(f"invalid configuration of seat 3: <class 'TypeError'>: "
                                   f"TypeError('failed to extract field Config.{name}')")
    assert f"caused by <class '{conversion.__name__}'>: {conversion.__name__}({message!r})" in stop.args[0]
    assert type(stop.__cause__.__cause__) is conversion


class RaisingPlayer:
    @property
    def player(self):
        raise LookupError("no player here")


@pytest.mark.parametrize(("config", "cause", "text"), [
    (types.SimpleNamespace(player="human"), ValueError, "seat 1: config.player must be 'network', 'rollout'"),
    (RaisingPlayer(), LookupError, "no player here"),
])
def test_an_unknown_or_unreadable_player_is_an_invalid_configuration_of_its_seat(config, cause, text):
    with pytest.raises(BaseException) as raised:  # noqa: PT011 - the internal stop is checked below
        play_match(0, [GREEDY, (config, None, None), GREEDY, GREEDY])
    stop = raised.value
    assert not isinstance(stop, Exception)
    assert stop.args[0].startswith(f"invalid configuration of seat 1: <class '{cause.__name__}'>:")
    assert text in stop.args[0]
    assert type(stop.__cause__) is cause


def test_a_seat_setting_the_search_cannot_run_with_stops_the_match_before_any_move():
    log = []
    asked = Seat(0, log)
    seats = [(seat_config(), asked.queue, asked.pipe), GREEDY,
             (seat_config(exploration_fraction=1.5), asked.queue, asked.pipe), GREEDY]
    with pytest.raises(BaseException) as raised:  # noqa: PT011 - the internal stop is checked below
        play_match(0, seats)
    assert not isinstance(raised.value, Exception)
    assert raised.value.args == ("invalid configuration: exploration_fraction must be from 0 to 1, got 1.5",)
    assert log == []


def network_seat_with(failure, fail_on):
    queue = FakeQueue()
    return (seat_config(sims_per_move=5), queue, FakePipe(queue, fail_on=fail_on, failure=raising(failure)))


def test_a_failed_evaluation_names_the_seat_and_keeps_its_cause():
    error = KeyError("no network here")
    with pytest.raises(BaseException) as raised:  # noqa: PT011 - the internal stop is checked below
        play_match(0, [GREEDY] * 2 + [network_seat_with(error, 0)] + [GREEDY])
    assert raised.value.args[0].startswith("seat 2: Error evaluating root node: ")
    assert raised.value.__cause__ is error


@pytest.mark.parametrize("fail_on", [0, 2], ids=["root", "leaf"])
@pytest.mark.parametrize("error", [KeyboardInterrupt(), SystemExit(2)], ids=["KeyboardInterrupt", "SystemExit"])
def test_an_interruption_in_a_seats_network_leaves_as_itself(error, fail_on):
    with pytest.raises(type(error)) as raised:
        play_match(0, [GREEDY, network_seat_with(error, fail_on), GREEDY, GREEDY])
    assert raised.value is error


def quiet_network_seat(requests):
    """A network seat whose queue and pipe are built-in callables: its search never runs Python code, so it
    never lets another thread in."""
    reply = ([0.0] * 400, [0.25] * 4)
    return (seat_config(sims_per_move=2), types.SimpleNamespace(put=requests.append),
            types.SimpleNamespace(recv=itertools.repeat(reply).__next__))


def match_with_built_in_seats(requests):
    return play_match(0, [quiet_network_seat(requests)] + [(seat_config("rollout", sims_per_move=10), None, None)] * 3,
                      seed=1)


def test_other_threads_run_while_built_in_seats_think():
    requests = []
    finished = threading.Event()
    match = threading.Thread(target=lambda: (match_with_built_in_seats(requests), finished.set()))
    seen = set()  # the network seat's request counts this thread saw
    match.start()
    while not finished.wait(0.0005):
        seen.add(len(requests))
    match.join()
    # Between the network seat's first and last requests the match thread holds the lock but for the
    # built-in seats' moves: a count in between was seen during one of them.
    assert any(0 < count < len(requests) for count in seen)


class Interrupted(Exception):
    """Raised by the test's SIGINT handler: unlike KeyboardInterrupt, one that came late fails this test alone."""


def test_a_pending_signal_stops_a_match_before_the_next_move():
    full = []
    match_with_built_in_seats(full)

    requests = []

    def interrupt_once_the_match_runs():
        while not requests:
            time.sleep(0.0005)
        _thread.interrupt_main()  # Ctrl-C, as far as the main thread can tell

    def on_signal(signum, frame):
        raise Interrupted

    previous = signal.signal(signal.SIGINT, on_signal)
    interrupter = threading.Thread(target=interrupt_once_the_match_runs)
    interrupter.start()
    try:
        with pytest.raises(Interrupted):
            match_with_built_in_seats(requests)
    finally:
        try:
            interrupter.join()
        finally:
            signal.signal(signal.SIGINT, previous)
    assert 0 < len(requests) < len(full)
