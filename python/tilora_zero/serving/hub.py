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

Batches reach each network through a :class:`~tilora_zero.serving.transports.Transport`.
"""

from __future__ import annotations

import collections
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

import greenlet
import numpy as np

from ..board import PACKED_BYTES
from .cache import EvaluationCache
from .codec import pack_planes
from .transports import Transport

_START = object()  # the value that starts a game's greenlet


@dataclass
class ServingStats:
    """Counts since the hub was made, all its routes together."""

    evaluations: int = 0  # requests put by the games
    cache_hits: int = 0  # answered from the cache or joined to an identical request of the same round
    batches: int = 0  # batches sent to the transports
    positions: int = 0  # positions in those batches


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


class HubChannel:
    """A game's channel to one route of a hub: the ``inference_queue`` and the ``pipe`` of its game.

    The module calls ``put`` with one request and then ``recv`` for its
    reply; a reply that came at once (a cache hit) waits in ``_reply``, any
    other is what the hub resumes the game with. The last error raised to the
    game is kept in ``error``."""

    __slots__ = ("_game", "_route", "_reply", "_asked", "error")

    def __init__(self, game: HubGame, route: _Route):
        self._game = game
        self._route = route
        self._reply: Any = None
        self._asked = False  # a request is waiting for its recv
        self.error: BaseException | None = None

    def put(self, request: tuple[int, Any]) -> None:
        try:
            if self._asked:
                raise RuntimeError("put() called twice without recv()")
            _, planes = request
            # The toolkit asks the module for packed planes; other planes are packed here.
            key = planes if type(planes) is bytes and len(planes) == PACKED_BYTES else pack_planes(planes)
            self._game._hub._request(self._route, self, key)
        except BaseException as error:
            self.error = error
            raise
        self._asked = True

    def recv(self) -> Any:
        if not self._asked:
            self.error = RuntimeError("recv() called without a request")
            raise self.error
        self._asked = False
        reply, self._reply = self._reply, None
        if reply is None:
            reply = self._game._hub._main.switch()  # back to the hub until the batch is answered
        if isinstance(reply, BaseException):
            self.error = reply
            raise reply
        return reply


Play = Callable[[HubGame], Any]
Finished = Callable[[HubGame, Any, "BaseException | None"], None]


class GameHub:
    """Runs games as greenlets on the calling thread and batches their requests per network."""

    def __init__(self, transports: Sequence[Transport], max_batch: int = 256, cache_size: int = 32768):
        if max_batch < 1:
            raise ValueError(f"max_batch must be >= 1, got {max_batch}")
        self.max_batch = max_batch
        self.stats = ServingStats()
        self._routes = [_Route(transport, cache_size) for transport in transports]
        self._main: greenlet.greenlet | None = None

    def _request(self, route: _Route, channel: HubChannel, key: bytes) -> None:
        self.stats.evaluations += 1
        reply = route.cache.get(key)
        if reply is not None:
            self.stats.cache_hits += 1
            channel._reply = reply
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
