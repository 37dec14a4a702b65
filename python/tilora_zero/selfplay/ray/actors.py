"""The two actors of a Ray self-play run (plain classes; the driver makes them remote).

:class:`SelfPlayWorker` plays games exactly as a worker process of the local
backend does, as greenlets on :class:`~tilora_zero.serving.hub.GameHub` s; each ``play``
call is one game. Its batches go to an :class:`InferenceServer` actor through
a :class:`~.transport.RayTransport`, or to a network of its own.

:class:`InferenceServer` is an async actor: each ``evaluate`` call waits on a
future while its batch sits in the :class:`~tilora_zero.serving.merger.BatchMerger`
that the local backend's inference server uses too, so thousands of calls in
flight cost no threads.
"""

from __future__ import annotations

import asyncio
import os
import queue
import threading
import time
import traceback
from collections.abc import Callable
from typing import Any

import numpy as np

from ...networks import network_name
from ...serving.codec import Reply
from ...serving.hub import GameHub
from ...serving.merger import BatchMerger
from ...serving.transports import LocalTransport
from ...settings import SearchSettings, ServingOptions
from ..games import GameFailed, play_on_channel
from ..processes import quiet
from .transport import DEFAULT_INLINE_POSITIONS, RayTransport, ServerUnavailable


def _node_id() -> str:
    import ray

    return ray.get_runtime_context().get_node_id()


class InferenceServer:
    """Runs one network for the batches of ``senders`` hubs (None: unknown)."""

    def __init__(self, network_factory: Any, max_batch: int, max_wait: float, senders: int | None = None):
        quiet()
        network = network_factory()
        self.network_name = network_name(network)
        self.merger = BatchMerger(network, max_batch, max_wait, senders)

    async def info(self) -> tuple[int, str, str]:
        """(process id, node id, network name)."""
        return os.getpid(), _node_id(), self.network_name

    async def evaluate(self, packed: np.ndarray) -> Reply:
        loop = asyncio.get_running_loop()
        future = loop.create_future()

        def done(reply: Any) -> None:
            loop.call_soon_threadsafe(_settle, future, reply)

        self.merger.submit(packed, done)
        return await future

    async def counts(self) -> tuple[int, int, int, float]:
        """(batches received, network calls, positions evaluated, CPU seconds of this process)."""
        return self.merger.requests, self.merger.calls, self.merger.positions, time.process_time()


def _settle(future: asyncio.Future, reply: Any) -> None:
    if future.done():
        return
    if isinstance(reply, BaseException):
        future.set_exception(reply)
    else:
        future.set_result(reply)


def lane_sizes(games: int, in_flight: int, served: bool) -> list[int]:
    """The concurrent games of each hub of a worker that plays ``games`` at a time.

    A worker has one hub, or ``in_flight`` hubs when the network is on a
    server: each hub has one batch travelling at a time, so the games of one
    search while the batch of another travels."""
    hubs = min(in_flight, games) if served else 1
    return [games // hubs + (i < games % hubs) for i in range(hubs)]


def lane_capacities(games: int, in_flight: int, served: bool) -> list[int]:
    """Games the driver keeps in each lane: a hub holds one more, waiting, so it never idles between games."""
    return [size + 1 for size in lane_sizes(games, in_flight, served)]


class SelfPlayWorker:
    """Plays games as the local backend's workers do, one hub thread per lane (:func:`lane_sizes`);
    each ``play`` call is one game and waits for its outcome.

    A hub asks for its next game whenever one ends and waits for it then,
    holding up its other games; so the driver keeps one game waiting in every
    lane, and once it has nothing left to hand out every lane gets an end
    marker after its games (:meth:`end_lanes`). Calls reach the lanes in the
    driver's order (``sequence``) whatever order their threads run in, so no
    end marker overtakes a game."""

    def __init__(self, network: Any, server: Any, settings: SearchSettings, options: ServingOptions,
                 games: int, in_flight: int, server_wait: float, inline_positions: int = DEFAULT_INLINE_POSITIONS):
        """``network`` is the server's network name when ``server`` is given, else the network's factory."""
        quiet()
        self.settings = settings
        served = server is not None
        if served:
            self.network_name = str(network)
            transport: Any = RayTransport(server, server_wait)
            max_batch = min(options.max_batch, inline_positions)
        else:
            network = network()
            self.network_name = network_name(network)
            transport = LocalTransport(network)
            max_batch = options.max_batch
        sizes = lane_sizes(games, in_flight, served)
        self.lanes: list[queue.SimpleQueue] = [queue.SimpleQueue() for _ in sizes]  # games, None: end marker
        self.hubs = [GameHub([transport], max_batch, options.cache_size) for _ in sizes]
        self._order = threading.Lock()
        self._next_sequence = 0
        self._early: dict[int, tuple] = {}  # calls that overtook an earlier one
        for lane, size in enumerate(sizes):
            threading.Thread(target=self._run_lane, args=(lane, size), name=f"hub-{lane}", daemon=True).start()

    def info(self) -> tuple[int, str, str]:
        """(process id, node id, network name)."""
        return os.getpid(), _node_id(), self.network_name

    def counts(self) -> tuple[int, int, int, int]:
        """(evaluations, cache hits, batches, positions) of this worker so far."""
        return tuple(sum(getattr(hub.stats, name) for hub in self.hubs)  # type: ignore[return-value]
                     for name in ("evaluations", "cache_hits", "batches", "positions"))

    def play(self, number: int, lane: int, sequence: int) -> tuple:
        """Plays game ``number`` in ``lane``; ``sequence`` numbers the driver's calls to
        ``play`` and ``end_lanes`` of this worker (0, 1, ...).

        Returns ``("record", record, counts)``, or ``("failed", number, text,
        retry, counts)`` where ``retry`` says the game failed for want of a
        server and may be played again."""
        box: list[Any] = []
        done = threading.Event()
        self._deliver(sequence, lane, (number, box, done))
        done.wait()
        outcome = box[0]
        if isinstance(outcome, GameFailed):
            retry = isinstance(outcome.cause, ServerUnavailable)
            return "failed", number, str(outcome), retry, self.counts()
        if isinstance(outcome, BaseException):
            raise outcome
        return "record", outcome, self.counts()

    def end_lanes(self, sequence: int) -> None:
        """The driver has no more games for now: the lanes start none after those given so far."""
        self._deliver(sequence, None, None)

    def _deliver(self, sequence: int, lane: int | None, game: tuple | None) -> None:
        """Puts a game into its lane, or (lane None) an end marker into every lane, in sequence order."""
        with self._order:
            self._early[sequence] = (lane, game)
            while self._next_sequence in self._early:
                lane, game = self._early.pop(self._next_sequence)
                for games in self.lanes if lane is None else [self.lanes[lane]]:
                    games.put(game)
                self._next_sequence += 1

    def _run_lane(self, lane: int, size: int) -> None:
        games = self.lanes[lane]
        while True:
            first = games.get()
            if first is None:  # an end marker with no game before it
                continue
            pending = [first]

            def next_game() -> tuple[Any, Callable[[Any], Any]] | None:
                game = pending.pop() if pending else games.get()
                if game is None:
                    return None
                return game, lambda hub_game: play_on_channel(hub_game.channel(), game[0], self.settings,
                                                              self.network_name)

            try:
                self.hubs[lane].run(next_game, size, _finished)
            except BaseException:  # the hub is broken: end the worker, whose games the driver plays again
                traceback.print_exc()
                os._exit(70)


def _finished(game: Any, record: Any, error: BaseException | None) -> None:
    _, box, done = game.tag
    box.append(error if error is not None else record)
    done.set()
