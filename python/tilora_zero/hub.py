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

A hub serves one or more networks, its *routes*: self-play has one; a match
has one per distinct network among its seats. A game opens a channel on the
route of each network it asks, and every round sends one batch per route, of
the positions that every waiting game asked of that network. Each route keeps
its own evaluation cache, since two networks answer the same position
differently.

Requests go through the same evaluation cache as the threaded
:class:`~tilora_zero.serving.BatchingClient`, and batches through the same
:class:`~tilora_zero.serving.Transport`.
"""

from __future__ import annotations

import collections
from collections.abc import Callable, Sequence
from typing import Any

import greenlet
import numpy as np

from .serving import PACKED_BYTES, Channel, EvaluationCache, ServingStats, Transport, answer_from_cache

_START = object()  # the value that starts a game's greenlet


class _Route:
    """One network of the hub: its transport, its cache and this round's requests."""

    __slots__ = ("transport", "cache", "waiting")

    def __init__(self, transport: Transport, cache_size: int):
        self.transport = transport
        self.cache = EvaluationCache(cache_size)
        self.waiting: dict[bytes, list[HubChannel]] = {}  # position -> the channels asking for it


class HubGame:
    """A game running on a hub; ``tag`` is what ``next_game`` gave for it."""

    __slots__ = ("_hub", "_greenlet", "tag")

    def __init__(self, hub: GameHub, tag: Any):
        self._hub = hub
        self._greenlet: greenlet.greenlet | None = None
        self.tag = tag

    def channel(self, route: int = 0) -> HubChannel:
        """A channel to network ``route``: pass it as both ``inference_queue`` and ``pipe``."""
        return HubChannel(self, self._hub._routes[route])


class HubChannel(Channel):
    """A game's channel to one route of a hub."""

    __slots__ = ("_game", "_route")

    def __init__(self, game: HubGame, route: _Route):
        super().__init__()
        self._game = game
        self._route = route

    def _submit(self, key: bytes) -> None:
        self._game._hub._request(self._route, self, key)

    def _wait(self) -> Any:
        return self._game._hub._main.switch()  # back to the hub until the batch is answered


Play = Callable[[HubGame], Any]
Finished = Callable[[HubGame, Any, "BaseException | None"], None]


class GameHub:
    """Runs games as greenlets on the calling thread and batches their requests per network."""

    def __init__(self, transports: Sequence[Transport], max_batch: int = 256, cache_size: int = 32768):
        if max_batch < 1:
            raise ValueError(f"max_batch must be >= 1, got {max_batch}")
        self.max_batch = max_batch
        self.stats = ServingStats()  # all routes together
        self._routes = [_Route(transport, cache_size) for transport in transports]
        self._main: greenlet.greenlet | None = None

    def _request(self, route: _Route, channel: HubChannel, key: bytes) -> None:
        if answer_from_cache(route.cache, self.stats, channel, key):
            return
        waiting = route.waiting.get(key)
        if waiting is None:
            route.waiting[key] = [channel]
        else:  # another game asked this network for the same position in this round
            self.stats.cache_hits += 1
            waiting.append(channel)

    def run(self, next_game: Callable[[], tuple[Any, Play] | None], concurrency: int, on_finished: Finished,
            on_batch: Callable[[], None] | None = None) -> None:
        """Plays games until ``next_game()`` returns None and every game has finished.

        ``next_game()`` gives ``(tag, play)``; ``play(game)`` plays one game on
        the channels it opens with ``game.channel(route)`` (normally
        ``generate_game_data(id, config, channel, channel)``) and its result or
        exception goes to ``on_finished(game, result, error)``, ``game.tag``
        being the tag. At most ``concurrency`` games run at once.
        ``on_batch()`` is called after every round of batches."""
        if concurrency < 1:
            raise ValueError(f"concurrency must be >= 1, got {concurrency}")
        self._main = greenlet.getcurrent()
        ready: collections.deque[tuple[HubGame, Any]] = collections.deque()
        more = True

        def launch() -> None:
            nonlocal more
            item = next_game() if more else None
            if item is None:
                more = False
                return
            tag, play = item
            game = HubGame(self, tag)

            def body() -> tuple[Any, BaseException | None]:
                try:
                    return play(game), None
                except greenlet.GreenletExit:
                    raise
                except BaseException as error:  # the module's internal stop derives from BaseException
                    return None, error

            game._greenlet = greenlet.greenlet(body, parent=self._main)
            ready.append((game, _START))

        for _ in range(concurrency):
            launch()
        while True:
            while ready:
                game, value = ready.popleft()
                runner = game._greenlet
                outcome = runner.switch() if value is _START else runner.switch(value)
                if runner.dead:
                    game._greenlet = None
                    on_finished(game, *outcome)
                    launch()
            asked = [route for route in self._routes if route.waiting]
            if not asked:
                return
            for route in asked:
                self._answer(route, ready)
            if on_batch is not None:
                on_batch()

    def _answer(self, route: _Route, ready: collections.deque) -> None:
        waiting, route.waiting = route.waiting, {}
        keys = list(waiting)
        for start in range(0, len(keys), self.max_batch):
            chunk = keys[start : start + self.max_batch]
            packed = np.frombuffer(b"".join(chunk), dtype=np.uint8).reshape(len(chunk), PACKED_BYTES)
            self.stats.batches += 1
            self.stats.positions += len(chunk)
            try:
                logits, values = route.transport.evaluate(packed)
            except Exception as error:  # every game of the batch ends with it
                for key in chunk:
                    ready.extend((channel._game, error) for channel in waiting[key])
                continue
            for i, key in enumerate(chunk):
                reply = (logits[i], values[i])
                route.cache.put(key, reply)
                ready.extend((channel._game, reply) for channel in waiting[key])
