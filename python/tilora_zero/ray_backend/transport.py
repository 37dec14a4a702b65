"""The worker's side of the wire: a :class:`~tilora_zero.serving.Transport` over Ray actor calls.

A batch of packed positions (``uint8[B, 250]``) goes to the inference server
actor as the argument of one call and comes back as two float32 arrays. Ray
passes values up to 100 KiB inline with the call instead of through the object
store; a position's reply takes 1,616 bytes, so batches are cut into chunks of
at most ``inline_positions`` positions (60 by default: 97 KiB of reply), sent
together and joined again.

While the server is restarting (Ray restarts it after a crash) a call fails
with "actor unavailable"; the transport waits and sends the chunk again, for
up to ``server_wait`` seconds. Past that, or when the server is gone for good,
it raises :class:`ServerUnavailable`, which ends the games of the batch; the
driver plays them again.
"""

from __future__ import annotations

import threading
import time
from typing import Any

import numpy as np

from ..serving import RemoteError, Reply

REPLY_BYTES_PER_POSITION = (400 + 4) * 4  # float32 logits and values
INLINE_BYTES = 100 * 1024  # Ray's largest value passed inline with a call
DEFAULT_INLINE_POSITIONS = 60


class ServerUnavailable(RemoteError):
    """The inference server died and did not come back in time."""


class RayTransport:
    """Sends batches to an inference server actor; safe to call from many threads."""

    def __init__(self, server: Any, server_wait: float = 60.0, inline_positions: int = DEFAULT_INLINE_POSITIONS,
                 call_timeout: float = 300.0):
        if inline_positions < 1:
            raise ValueError(f"inline_positions must be >= 1, got {inline_positions}")
        self.server = server
        self.server_wait = server_wait
        self.inline_positions = inline_positions
        self.call_timeout = call_timeout
        self.calls = 0  # chunks sent, retries included
        self.retries = 0  # chunks sent again after the server was unavailable
        self._lock = threading.Lock()

    def evaluate(self, packed: np.ndarray) -> Reply:
        packed = np.ascontiguousarray(packed, dtype=np.uint8)
        step = self.inline_positions
        chunks = [packed[i : i + step] for i in range(0, len(packed), step)]
        refs = [self._send(chunk) for chunk in chunks]
        replies = [self._receive(ref, chunk) for ref, chunk in zip(refs, chunks)]
        if len(replies) == 1:
            return replies[0]
        return np.concatenate([r[0] for r in replies]), np.concatenate([r[1] for r in replies])

    def close(self) -> None:
        pass

    def _send(self, chunk: np.ndarray) -> Any:
        with self._lock:
            self.calls += 1
        return self.server.evaluate.remote(chunk)

    def _receive(self, ref: Any, chunk: np.ndarray) -> Reply:
        import ray
        from ray.exceptions import ActorDiedError, ActorUnavailableError, GetTimeoutError, RayActorError, RayTaskError

        deadline = None
        delay = 0.05
        while True:
            try:
                return ray.get(ref, timeout=self.call_timeout)
            except RayTaskError as error:  # the network raised: no point in asking again
                cause = error.cause if error.cause is not None else error
                raise RemoteError(f"inference server: {type(cause).__name__}: {cause}") from None
            except ActorDiedError as error:
                raise ServerUnavailable(f"the inference server is gone: {_first_line(error)}") from None
            except (ActorUnavailableError, RayActorError, GetTimeoutError) as error:
                now = time.monotonic()
                if deadline is None:
                    deadline = now + self.server_wait
                if now >= deadline:
                    raise ServerUnavailable(
                        f"the inference server did not answer within {self.server_wait:g} s: {_first_line(error)}"
                    ) from None
                time.sleep(min(delay, deadline - now))
                delay = min(2 * delay, 1.0)
                with self._lock:
                    self.retries += 1
                ref = self._send(chunk)


def _first_line(error: BaseException) -> str:
    text = str(error).strip()
    return text.splitlines()[0] if text else type(error).__name__
