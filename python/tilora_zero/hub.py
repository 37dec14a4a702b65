"""Many games on one thread: each game a greenlet, batched at every request.

The self-play module holds the interpreter lock for a whole game and lets go
only inside the Python methods it calls, so games on separate threads take
turns through the operating system: every request that waits for its batch
costs a thread switch and a hand-over of the lock. Here the games of a worker
are greenlets on one thread instead. A game's ``recv`` that has no answer yet
switches back to the hub, which resumes the next game; once every game waits,
the hub sends their positions to the network in one batch and resumes each
game with its answer. A switch is a few microseconds and no lock changes
hands, and a batch holds exactly the games that wait, with no timer.

Requests go through the same evaluation cache as the threaded
:class:`~tilora_zero.serving.BatchingClient`, and batches through the same
:class:`~tilora_zero.serving.Transport`.
"""

from __future__ import annotations

import collections
from collections.abc import Callable
from typing import Any

import greenlet
import numpy as np

from .serving import PACKED_BYTES, Channel, EvaluationCache, ServingStats, Transport, answer_from_cache

_START = object()  # the value that starts a game's greenlet


class HubChannel(Channel):
    """A game's channel on a hub: pass it as both ``inference_queue`` and ``pipe``."""

    __slots__ = ("_hub", "_greenlet", "tag")

    def __init__(self, hub: GameHub, tag: Any):
        super().__init__()
        self._hub = hub
        self._greenlet: greenlet.greenlet | None = None
        self.tag = tag

    def _submit(self, key: bytes) -> None:
        self._hub._request(self, key)

    def _wait(self) -> Any:
        return self._hub._main.switch()  # back to the hub until the batch is answered


Play = Callable[[HubChannel], Any]
Finished = Callable[[HubChannel, Any, "BaseException | None"], None]


class GameHub:
    """Runs games as greenlets on the calling thread and batches their requests."""

    def __init__(self, transport: Transport, max_batch: int = 256, cache_size: int = 32768):
        if max_batch < 1:
            raise ValueError(f"max_batch must be >= 1, got {max_batch}")
        self.transport = transport
        self.max_batch = max_batch
        self.cache = EvaluationCache(cache_size)
        self.stats = ServingStats()
        self._main: greenlet.greenlet | None = None
        self._waiting: dict[bytes, list[HubChannel]] = {}

    def _request(self, channel: HubChannel, key: bytes) -> None:
        if answer_from_cache(self.cache, self.stats, channel, key):
            return
        waiting = self._waiting.get(key)
        if waiting is None:
            self._waiting[key] = [channel]
        else:  # another game asked for the same position in this round
            self.stats.cache_hits += 1
            waiting.append(channel)

    def run(self, next_game: Callable[[], tuple[Any, Play] | None], concurrency: int, on_finished: Finished,
            on_batch: Callable[[], None] | None = None) -> None:
        """Plays games until ``next_game()`` returns None and every game has finished.

        ``next_game()`` gives ``(tag, play)``; ``play(channel)`` plays one game
        (normally ``generate_game_data(id, config, channel, channel)``) and its
        result or exception goes to ``on_finished(channel, result, error)``,
        ``channel.tag`` being the tag. At most ``concurrency`` games run at once.
        ``on_batch()`` is called after every batch."""
        if concurrency < 1:
            raise ValueError(f"concurrency must be >= 1, got {concurrency}")
        self._main = greenlet.getcurrent()
        ready: collections.deque[tuple[HubChannel, Any]] = collections.deque()
        more = True

        def launch() -> None:
            nonlocal more
            item = next_game() if more else None
            if item is None:
                more = False
                return
            tag, play = item
            channel = HubChannel(self, tag)

            def body() -> tuple[Any, BaseException | None]:
                try:
                    return play(channel), None
                except greenlet.GreenletExit:
                    raise
                except BaseException as error:  # the module's internal stop derives from BaseException
                    return None, error

            channel._greenlet = greenlet.greenlet(body, parent=self._main)
            ready.append((channel, _START))

        for _ in range(concurrency):
            launch()
        while ready or self._waiting:
            while ready:
                channel, value = ready.popleft()
                game = channel._greenlet
                outcome = game.switch() if value is _START else game.switch(value)
                if game.dead:
                    channel._greenlet = None
                    on_finished(channel, *outcome)
                    launch()
            if self._waiting:
                self._answer(ready)
                if on_batch is not None:
                    on_batch()

    def _answer(self, ready: collections.deque) -> None:
        waiting, self._waiting = self._waiting, {}
        keys = list(waiting)
        for start in range(0, len(keys), self.max_batch):
            chunk = keys[start : start + self.max_batch]
            packed = np.frombuffer(b"".join(chunk), dtype=np.uint8).reshape(len(chunk), PACKED_BYTES)
            self.stats.batches += 1
            self.stats.positions += len(chunk)
            try:
                logits, values = self.transport.evaluate(packed)
            except Exception as error:  # every game of the batch ends with it
                for key in chunk:
                    ready.extend((channel, error) for channel in waiting[key])
                continue
            for i, key in enumerate(chunk):
                reply = (logits[i], values[i])
                self.cache.put(key, reply)
                ready.extend((channel, reply) for channel in waiting[key])
