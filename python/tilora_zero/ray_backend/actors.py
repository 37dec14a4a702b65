"""The two actors of a Ray self-play run (plain classes; the driver makes them remote).

:class:`SelfPlayWorker` plays games exactly as a worker process of the local
runner does, as greenlets on a :class:`~tilora_zero.hub.GameHub` or as
threads over a :class:`~tilora_zero.serving.BatchingClient`; each ``play``
call is one game. Its batches go to an :class:`InferenceServer` actor through
a :class:`RayTransport`, or to a network of its own.

:class:`InferenceServer` is an async actor: each ``evaluate`` call waits on a
future while its batch sits in a :class:`BatchMerger`, so thousands of calls
in flight cost no threads.
"""

from __future__ import annotations

import asyncio
import os
import queue
import signal
import threading
import time
import traceback
from collections.abc import Callable
from typing import Any

import numpy as np

from ..hub import GameHub
from ..runner import GameFailed, SearchSettings, ServingOptions, play_game, play_on_channel
from ..serving import BatchingClient, LocalTransport, Reply
from .merger import BatchMerger
from .transport import DEFAULT_INLINE_POSITIONS, RayTransport, ServerUnavailable


def _quiet_actor() -> None:
    """The module's summary lines go nowhere; Ctrl-C belongs to the driver."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    os.close(devnull)
    if threading.current_thread() is threading.main_thread():
        signal.signal(signal.SIGINT, signal.SIG_IGN)


def _network_name(network: Any) -> str:
    return str(getattr(network, "name", type(network).__name__))


def _node_id() -> str:
    import ray

    return ray.get_runtime_context().get_node_id()


class InferenceServer:
    """Runs one network for the batches of several workers."""

    def __init__(self, network_factory: Any, max_batch: int, max_wait: float):
        _quiet_actor()
        network = network_factory()
        self.network_name = _network_name(network)
        self.merger = BatchMerger(network, max_batch, max_wait)

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


def lane_sizes(options: ServingOptions, threads: int, in_flight: int, served: bool) -> list[int]:
    """The concurrent games of each lane of a worker: the games of one hub, or all its threads.

    With greenlets a worker has one hub, or ``in_flight`` hubs when the network
    is on a server (each hub has one batch travelling at a time, so the games
    of one search while the batch of another travels). With threads it has
    one lane whose batches leave once 1 / ``in_flight`` of the games wait."""
    if options.concurrency != "greenlets":
        return [threads]
    hubs = min(in_flight, threads) if served else 1
    return [threads // hubs + (i < threads % hubs) for i in range(hubs)]


def lane_capacities(options: ServingOptions, threads: int, in_flight: int, served: bool) -> list[int]:
    """Games the driver keeps in each lane: a hub holds one more, waiting, so it never idles between games."""
    spare = 1 if options.concurrency == "greenlets" else 0
    return [size + spare for size in lane_sizes(options, threads, in_flight, served)]


class SelfPlayWorker:
    """Plays games as the local runner's workers do; each ``play`` call is one game.

    The games run in lanes (:func:`lane_sizes`): hubs of greenlets
    (:class:`~tilora_zero.hub.GameHub`, ``options.concurrency == "greenlets"``)
    or threads over one :class:`~tilora_zero.serving.BatchingClient`."""

    def __init__(self, network: Any, server: Any, settings: SearchSettings, options: ServingOptions,
                 threads: int, in_flight: int, server_wait: float, inline_positions: int = DEFAULT_INLINE_POSITIONS):
        """``network`` is the server's network name when ``server`` is given, else the network's factory."""
        _quiet_actor()
        self.settings = settings
        served = server is not None
        if served:
            self.network_name = str(network)
            transport: Any = RayTransport(server, server_wait)
            max_batch = min(options.max_batch, inline_positions)
        else:
            network = network()
            self.network_name = _network_name(network)
            transport = LocalTransport(network)
            max_batch = options.max_batch
        sizes = lane_sizes(options, threads, in_flight, served)
        if options.concurrency == "greenlets":
            self.games: Any = _HubGames(transport, max_batch, options.cache_size, sizes, self._play_on)
        else:
            if served:
                max_batch = max(1, min(max_batch, -(-threads // in_flight)))
            client = BatchingClient(transport, max_batch, options.max_wait, options.cache_size)
            self.games = _ThreadGames(client, self.settings, self.network_name)

    def _play_on(self, channel: Any, number: int) -> Any:
        return play_on_channel(channel, number, self.settings, self.network_name)

    def info(self) -> tuple[int, str, str]:
        """(process id, node id, network name)."""
        return os.getpid(), _node_id(), self.network_name

    def counts(self) -> tuple[int, int, int, int]:
        """(evaluations, cache hits, batches, positions) of this worker so far."""
        return self.games.counts()

    def play(self, number: int, lane: int, sequence: int) -> tuple:
        """Plays game ``number`` in ``lane``; ``sequence`` numbers the driver's calls to
        ``play`` and ``end_lanes`` of this worker (0, 1, ...).

        Returns ``("record", record, counts)``, or ``("failed", number, text,
        retry, counts)`` where ``retry`` says the game failed for want of a
        server and may be played again."""
        try:
            record = self.games.play(number, lane, sequence)
        except GameFailed as failure:
            retry = isinstance(failure.cause, ServerUnavailable)
            return "failed", number, str(failure), retry, self.counts()
        return "record", record, self.counts()

    def end_lanes(self, sequence: int) -> None:
        """The driver has no more games for now: the lanes start none after those given so far."""
        self.games.end_lanes(sequence)


class _ThreadGames:
    """Each game on the thread of its ``play`` call, over one BatchingClient."""

    def __init__(self, client: BatchingClient, settings: SearchSettings, network_name: str):
        self.client = client
        self.settings = settings
        self.network_name = network_name

    def play(self, number: int, lane: int, sequence: int) -> Any:
        return play_game(self.client, number, self.settings, self.network_name)

    def end_lanes(self, sequence: int) -> None:
        pass  # a thread plays one game and asks for none

    def counts(self) -> tuple[int, int, int, int]:
        s = self.client.stats
        return s.evaluations, s.cache_hits, s.batches, s.positions


class _HubGames:
    """Games as greenlets, one hub thread per lane; a ``play`` call waits for its game's outcome.

    A hub asks for its next game whenever one ends and waits for it then,
    holding up its other games; so the driver keeps one game waiting in every
    lane, and once it has nothing left to hand out every lane gets an end
    marker after its games (:meth:`end_lanes`). Calls reach the lanes in the
    driver's order (``sequence``) whatever order their threads run in, so no
    end marker overtakes a game."""

    def __init__(self, transport: Any, max_batch: int, cache_size: int, sizes: list[int],
                 play_on: Callable[[Any, int], Any]):
        self.play_on = play_on
        self.lanes: list[queue.SimpleQueue] = [queue.SimpleQueue() for _ in sizes]  # games, None: end marker
        self.hubs = [GameHub([transport], max_batch, cache_size) for _ in sizes]
        self._order = threading.Lock()
        self._next_sequence = 0
        self._early: dict[int, tuple] = {}  # calls that overtook an earlier one
        for lane, size in enumerate(sizes):
            threading.Thread(target=self._run_lane, args=(lane, size), name=f"hub-{lane}", daemon=True).start()

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
                return game, lambda hub_game: self.play_on(hub_game.channel(), game[0])

            try:
                self.hubs[lane].run(next_game, size, self._finished)
            except BaseException:  # the hub is broken: end the worker, whose games the driver plays again
                traceback.print_exc()
                os._exit(70)

    @staticmethod
    def _finished(game: Any, record: Any, error: BaseException | None) -> None:
        _, box, done = game.tag
        box.append(error if error is not None else record)
        done.set()

    def play(self, number: int, lane: int, sequence: int) -> Any:
        box: list[Any] = []
        done = threading.Event()
        self._deliver(sequence, lane, (number, box, done))
        done.wait()
        if isinstance(box[0], BaseException):
            raise box[0]
        return box[0]

    def end_lanes(self, sequence: int) -> None:
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

    def counts(self) -> tuple[int, int, int, int]:
        return tuple(sum(getattr(hub.stats, name) for hub in self.hubs)  # type: ignore[return-value]
                     for name in ("evaluations", "cache_hits", "batches", "positions"))
