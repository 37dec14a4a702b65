"""The worker's side of the wire: a :class:`~tilora_zero.serving.transports.Transport` over Ray actor calls.

A batch of packed positions (``uint8[B, 250]``) goes to the inference server
actor as the argument of one call and comes back as two float32 arrays. Ray
passes values up to 100 KiB inline with the call instead of through the object
store; a position's reply takes 1,616 bytes, so the workers keep their batches
to at most ``DEFAULT_INLINE_POSITIONS`` positions (60: 97 KiB of reply).

While the server is restarting (Ray restarts it after a crash) a call fails
with "actor unavailable"; the transport waits and sends the batch again, for
up to ``server_wait`` seconds. Past that it raises :class:`ServerUnavailable`,
which ends the games of the batch; the driver plays them again. A server gone
for good (its restarts used up: calls say "died" for ``DEATH_GRACE`` seconds)
or a network that raises ends them with a
plain :class:`~tilora_zero.serving.transports.RemoteError`, which ends the run.
"""

from __future__ import annotations

import threading
import time
from typing import Any

import numpy as np

from ...board import BOARD_CELLS, PLAYERS
from ...serving.codec import Reply
from ...serving.transports import RemoteError

REPLY_BYTES_PER_POSITION = (BOARD_CELLS + PLAYERS) * 4  # float32 logits and values
INLINE_BYTES = 100 * 1024  # Ray's largest value passed inline with a call
DEFAULT_INLINE_POSITIONS = 60  # 60 replies: 96,960 bytes, with room for the framing
DEATH_GRACE = 5.0  # seconds a server may look dead for good before the transport believes it


class ServerUnavailable(RemoteError):
    """The inference server died and did not come back in time."""


class RayTransport:
    """Sends batches to an inference server actor; safe to call from many threads."""

    def __init__(self, server: Any, server_wait: float = 60.0, call_timeout: float = 300.0):
        self.server = server
        self.server_wait = server_wait
        self.call_timeout = call_timeout
        self.calls = 0  # batches sent, retries included
        self.retries = 0  # batches sent again after the server was unavailable
        self._lock = threading.Lock()
        self._dead_since: float | None = None  # when calls began to say "died", across every batch

    def evaluate(self, packed: np.ndarray) -> Reply:
        packed = np.ascontiguousarray(packed, dtype=np.uint8)
        return self._receive(self._send(packed), packed)

    def close(self) -> None:
        pass

    def _send(self, packed: np.ndarray) -> Any:
        with self._lock:
            self.calls += 1
        return self.server.evaluate.remote(packed)

    def _receive(self, ref: Any, packed: np.ndarray) -> Reply:
        import ray
        from ray.exceptions import GetTimeoutError, RayActorError, RayTaskError

        # Older Ray reports a dead or restarting actor as a plain RayActorError, which waits and retries.
        died = getattr(ray.exceptions, "ActorDiedError", ())
        start = time.monotonic()
        delay = 0.05
        while True:
            try:
                reply = ray.get(ref, timeout=self.call_timeout)
                self._dead_since = None
                return reply
            except RayTaskError as error:  # the network raised: no point in asking again
                cause = error.cause if error.cause is not None else error
                raise RemoteError(f"inference server: {type(cause).__name__}: {cause}") from None
            except died as error:
                # A call caught by the crash may say "died" while Ray restarts the server; one sent
                # after it says "restarting". Saying "died" for DEATH_GRACE seconds, whichever batches
                # asked meanwhile, is dead for good; short of that it is only unavailable.
                if self._dead_for() >= DEATH_GRACE:
                    raise RemoteError(f"the inference server is gone for good: {_first_line(error)}") from None
                last = error
            except (RayActorError, GetTimeoutError) as error:  # unavailable for now: restarting, or slow
                self._dead_since = None
                last = error
            if time.monotonic() - start >= self.server_wait:
                raise ServerUnavailable(
                    f"the inference server did not answer within {self.server_wait:g} s: {_first_line(last)}"
                ) from None
            time.sleep(delay)
            delay = min(2 * delay, 1.0)
            with self._lock:
                self.retries += 1
            ref = self._send(packed)

    def _dead_for(self) -> float:
        now = time.monotonic()
        with self._lock:
            if self._dead_since is None:
                self._dead_since = now
            return now - self._dead_since


def _first_line(error: BaseException) -> str:
    text = str(error).strip()
    return text.splitlines()[0] if text else type(error).__name__
