"""The two actors of a Ray self-play run (plain classes; the driver makes them remote).

:class:`SelfPlayWorker` plays one game per concurrent ``play`` call, each in
its own thread, over one :class:`~tilora_zero.serving.BatchingClient`, exactly
as a worker process of the local runner does. Its batches go to an
:class:`InferenceServer` actor through a :class:`RayTransport`, or to a
network of its own (``serve local``).

:class:`InferenceServer` is an async actor: each ``evaluate`` call waits on a
future while its batch sits in a :class:`BatchMerger`, so thousands of calls
in flight cost no threads.
"""

from __future__ import annotations

import asyncio
import os
import signal
import threading
from typing import Any

import numpy as np

from ..runner import GameFailed, SearchSettings, ServingOptions, play_game
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

    async def counts(self) -> tuple[int, int, int]:
        """(batches received, network calls, positions evaluated)."""
        return self.merger.requests, self.merger.calls, self.merger.positions


def _settle(future: asyncio.Future, reply: Any) -> None:
    if future.done():
        return
    if isinstance(reply, BaseException):
        future.set_exception(reply)
    else:
        future.set_result(reply)


class SelfPlayWorker:
    """Plays games in threads; each ``play`` call is one game."""

    def __init__(self, network_factory: Any, server: Any, settings: SearchSettings, options: ServingOptions,
                 threads: int, in_flight: int, server_wait: float, inline_positions: int = DEFAULT_INLINE_POSITIONS):
        _quiet_actor()
        self.settings = settings
        if server is not None:
            import ray

            self.network_name = ray.get(server.info.remote())[2]
            transport: Any = RayTransport(server, server_wait)
            # A batch leaves once 1 / in_flight of the games wait, so the others search while it travels.
            max_batch = max(1, min(options.max_batch, -(-threads // in_flight), inline_positions))
        else:
            network = network_factory()
            self.network_name = _network_name(network)
            transport = LocalTransport(network)
            max_batch = options.max_batch
        self.client = BatchingClient(transport, max_batch, options.max_wait, options.cache_size)

    def info(self) -> tuple[int, str, str]:
        """(process id, node id, network name)."""
        return os.getpid(), _node_id(), self.network_name

    def counts(self) -> tuple[int, int, int, int]:
        """(evaluations, cache hits, batches, positions) of this worker so far."""
        s = self.client.stats
        return s.evaluations, s.cache_hits, s.batches, s.positions

    def play(self, number: int) -> tuple:
        """``("record", record, counts)``, or ``("failed", number, text, retry, counts)`` where
        ``retry`` says the game failed for want of a server and may be played again."""
        try:
            record = play_game(self.client, number, self.settings, self.network_name)
        except GameFailed as failure:
            retry = isinstance(failure.cause, ServerUnavailable)
            return "failed", number, str(failure), retry, self.counts()
        return "record", record, self.counts()
