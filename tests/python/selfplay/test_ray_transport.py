"""The worker's transport to an inference server, against scripted Ray outcomes (no cluster)."""

from __future__ import annotations

import numpy as np
import pytest

ray = pytest.importorskip("ray")

from ray.exceptions import ActorDiedError, ActorUnavailableError  # noqa: E402
from tilora_zero.selfplay.ray import transport as transport_module  # noqa: E402
from tilora_zero.selfplay.ray.transport import RayTransport, ServerUnavailable  # noqa: E402
from tilora_zero.serving.transports import RemoteError  # noqa: E402

REPLY = (np.zeros((1, 400), np.float32), np.zeros((1, 4), np.float32))
DIED = ActorDiedError()
RESTARTING = ActorUnavailableError("The actor is restarting.", None)
TICK = 0.1  # seconds each call takes to come back


class ScriptedServer:
    """Stands for the server actor: each call's ``ray.get`` gives the script's next outcome."""

    def __init__(self, outcomes: list):
        self.outcomes = list(outcomes)
        self.evaluate = self

    def remote(self, packed):
        return self.outcomes.pop(0)


class FakeTime:
    """The transport's clock: each call's reply takes TICK seconds; sleeping takes none."""

    def __init__(self):
        self.now = 0.0

    def monotonic(self) -> float:
        return self.now

    def sleep(self, seconds: float) -> None:
        pass


@pytest.fixture
def scripted(monkeypatch):
    def make(outcomes: list, server_wait: float) -> RayTransport:
        clock = FakeTime()
        monkeypatch.setattr(transport_module, "time", clock)

        def get(outcome, timeout=None):
            clock.now += TICK
            if isinstance(outcome, BaseException):
                raise outcome
            return outcome

        monkeypatch.setattr(ray, "get", get)
        return RayTransport(ScriptedServer(outcomes), server_wait=server_wait)

    return make


def batch() -> np.ndarray:
    return np.zeros((1, 250), np.uint8)


def test_a_crash_then_a_restart_is_waited_out_and_the_batch_sent_again(scripted):
    transport = scripted([DIED, RESTARTING, RESTARTING, REPLY], server_wait=60.0)
    assert transport.evaluate(batch()) is REPLY
    assert (transport.calls, transport.retries) == (4, 3)


@pytest.mark.parametrize("outcomes", [[DIED] * 10, [DIED, RESTARTING] * 5], ids=["died", "restarting"])
def test_a_server_down_past_server_wait_ends_the_batch_as_unavailable_not_as_gone(scripted, outcomes):
    """A short server_wait gives up on the batch, but a crash is not yet a server gone for good."""
    transport = scripted(outcomes, server_wait=0.35)
    with pytest.raises(ServerUnavailable, match="did not answer within 0.35 s"):
        transport.evaluate(batch())


def test_a_server_that_keeps_saying_died_across_batches_is_gone_for_good(scripted):
    transport = scripted([DIED] * 200, server_wait=0.35)
    unavailable = 0
    with pytest.raises(RemoteError, match="the inference server is gone for good") as raised:
        while True:
            try:
                transport.evaluate(batch())
            except ServerUnavailable:
                unavailable += 1  # the game would be played again, and its batch would say "died" again
    assert not isinstance(raised.value, ServerUnavailable)
    assert unavailable >= 2  # the grace outlasts one batch's server_wait


def test_a_restart_between_deaths_starts_the_grace_again(scripted):
    grace_calls = int(transport_module.DEATH_GRACE / TICK)
    outcomes = [DIED] * (grace_calls - 5) + [RESTARTING] + [DIED] * (grace_calls - 5) + [REPLY]
    transport = scripted(outcomes, server_wait=1000.0)
    assert transport.evaluate(batch()) is REPLY


def test_the_network_raising_on_the_server_is_a_plain_remote_error_at_once(scripted):
    class NetworkFailed(ray.exceptions.RayTaskError):
        def __init__(self):
            Exception.__init__(self, "boom")
            self.cause = ValueError("bad planes")

    transport = scripted([NetworkFailed(), REPLY], server_wait=60.0)
    with pytest.raises(RemoteError, match="inference server: ValueError: bad planes"):
        transport.evaluate(batch())
    assert transport.calls == 1
