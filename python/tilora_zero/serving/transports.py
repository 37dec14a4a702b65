"""How a batch reaches a network: in the calling thread, or over a connection to an inference server process.

A :class:`~tilora_zero.serving.hub.GameHub` sends each batch through a
:class:`Transport`: in-process (:class:`LocalTransport`, best for cheap
networks and the CPU), or to an inference server process per network
(:class:`ConnectionTransport` to :func:`serve_connections`, whose
:class:`~tilora_zero.serving.merger.BatchMerger` merges the batches of every
worker: for a GPU). Other transports (a cluster) plug in behind the same two
methods.
"""

from __future__ import annotations

import functools
import threading
import traceback
from multiprocessing.connection import Connection, wait
from typing import Any, Callable, Protocol

import numpy as np

from .codec import Reply, call_network
from .merger import BatchMerger


class Transport(Protocol):
    """Carries a batch of packed positions to a network and back."""

    def evaluate(self, packed: np.ndarray) -> Reply:
        """``uint8[B, 250]`` -> ``(logits float32[B, 400], values float32[B, 4])``.

        Blocking and safe to call from several threads at once."""

    def close(self) -> None:
        """Releases what the transport holds."""


class LocalTransport:
    """Runs the network in the calling thread."""

    def __init__(self, network: Callable[[np.ndarray], Reply]):
        self.network = network
        self._lock = threading.Lock()

    def evaluate(self, packed: np.ndarray) -> Reply:
        with self._lock:
            return call_network(self.network, packed)

    def close(self) -> None:
        pass


class RemoteError(RuntimeError):
    """The inference server failed to evaluate a batch."""


class ConnectionTransport:
    """Sends batches to an inference server process (:func:`serve_connections`) over a connection.

    One batch at a time travels on a connection, as a hub sends one per round."""

    def __init__(self, connection: Connection):
        self._connection = connection
        self._lock = threading.Lock()

    def evaluate(self, packed: np.ndarray) -> Reply:
        with self._lock:
            try:
                self._connection.send(np.ascontiguousarray(packed, dtype=np.uint8))
                reply = self._connection.recv()
            except (EOFError, OSError) as error:
                raise RemoteError(f"the inference server closed the connection ({type(error).__name__})") from None
        if isinstance(reply, str):
            raise RemoteError(f"inference server: {reply}")
        return reply

    def close(self) -> None:
        """Says goodbye to the server and closes our end."""
        try:
            self._connection.send(None)
        except (OSError, ValueError):
            pass
        self._connection.close()


def serve_connections(merger: BatchMerger, connections: list[Connection]) -> None:
    """Answers the batches sent by :class:`ConnectionTransport` on each of ``connections`` through
    ``merger``, until every worker has said goodbye or gone; then closes the merger and the connections."""
    open_connections = list(connections)
    while open_connections:
        for connection in wait(open_connections):
            try:
                packed = connection.recv()
            except (EOFError, OSError):
                packed = None
            if packed is None:
                open_connections.remove(connection)
                merger.sender_left()
            else:
                merger.submit(packed, functools.partial(_send_reply, connection))
    merger.close()
    for connection in connections:
        connection.close()


def _send_reply(connection: Connection, reply: Any) -> None:
    if isinstance(reply, BaseException):  # reported to the worker, which ends the games of the batch with it
        reply = "".join(traceback.format_exception(reply, limit=4))
    try:
        connection.send(reply)
    except (OSError, ValueError):  # the worker is gone; its end of the connection tells
        pass
