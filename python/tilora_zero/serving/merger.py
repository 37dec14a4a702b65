"""Merging the batches of several senders into network calls.

The local backend's inference server process and the Ray inference server
actor submit every batch they receive to one :class:`BatchMerger`. Its network
thread takes the batches waiting, up to ``max_batch`` positions, as soon as
every sender has one waiting (a sender, a worker's hub, has one batch on its
way at a time), or else once the oldest has waited ``max_wait`` seconds, and
answers each batch with its rows of the network's reply. While the network
runs new batches queue, so a busy server merges more.
"""

from __future__ import annotations

import collections
import threading
import time
from collections.abc import Callable
from typing import Any

import numpy as np

from .codec import Reply, call_network

Done = Callable[[Any], None]  # called with the Reply, or with the exception that stopped it


class _Batch:
    __slots__ = ("packed", "done", "since")

    def __init__(self, packed: np.ndarray, done: Done):
        self.packed = packed
        self.done = done
        self.since = time.monotonic()


class BatchMerger:
    """Serves one network to batches submitted from any thread.

    ``senders`` is how many send batches; None when unknown, and then only
    ``max_batch`` or ``max_wait`` send a call on its way."""

    def __init__(self, network: Callable[[np.ndarray], Reply], max_batch: int = 1024, max_wait: float = 0.002,
                 senders: int | None = None):
        if max_batch < 1:
            raise ValueError(f"max_batch must be >= 1, got {max_batch}")
        if max_wait < 0:
            raise ValueError(f"max_wait must be >= 0, got {max_wait}")
        self.network = network
        self.max_batch = max_batch
        self.max_wait = max_wait
        self.requests = 0  # batches submitted
        self.calls = 0  # network calls made
        self.positions = 0  # positions evaluated
        self._senders = senders
        self._cond = threading.Condition()
        self._queue: collections.deque[_Batch] = collections.deque()
        self._queued_positions = 0
        self._closed = False
        self._thread = threading.Thread(target=self._serve, name="network", daemon=True)
        self._thread.start()

    def submit(self, packed: np.ndarray, done: Done) -> None:
        """Queues ``uint8[B, 250]``; ``done`` gets the ``(logits, values)`` rows or an exception."""
        packed = np.ascontiguousarray(packed, dtype=np.uint8)
        with self._cond:
            if self._closed:
                raise RuntimeError("the inference server is closed")
            self._queue.append(_Batch(packed, done))
            self._queued_positions += len(packed)
            self.requests += 1
            self._cond.notify()

    def sender_left(self) -> None:
        """One sender fewer: the others no longer wait for its batches."""
        with self._cond:
            if self._senders is not None:
                self._senders -= 1
            self._cond.notify()

    def close(self) -> None:
        """Stops the network thread; batches still queued end with an error."""
        with self._cond:
            self._closed = True
            self._cond.notify()
        self._thread.join(5)

    def _all_sent(self) -> bool:
        return self._senders is not None and len(self._queue) >= self._senders

    def _take(self) -> list[_Batch] | None:
        with self._cond:
            while not self._queue and not self._closed:
                self._cond.wait()
            if self._closed:
                left, self._queue = list(self._queue), collections.deque()
                for batch in left:
                    batch.done(RuntimeError("the inference server is closed"))
                return None
            deadline = self._queue[0].since + self.max_wait
            while self._queued_positions < self.max_batch and not self._all_sent() and not self._closed:
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    break
                self._cond.wait(remaining)
            taken = [self._queue.popleft()]
            size = len(taken[0].packed)
            while self._queue and size + len(self._queue[0].packed) <= self.max_batch:
                size += len(self._queue[0].packed)
                taken.append(self._queue.popleft())
            self._queued_positions -= size
            return taken

    def _serve(self) -> None:
        while (taken := self._take()) is not None:
            packed = taken[0].packed if len(taken) == 1 else np.concatenate([b.packed for b in taken])
            try:
                logits, values = call_network(self.network, packed)
            except Exception as error:  # every batch of the call ends with it
                for batch in taken:
                    batch.done(error)
                continue
            self.calls += 1
            self.positions += len(packed)
            start = 0
            for batch in taken:
                end = start + len(batch.packed)
                batch.done((logits[start:end], values[start:end]))
                start = end
