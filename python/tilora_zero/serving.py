"""Serving a network to the games: packed positions, the evaluation cache, transports.

``generate_game_data`` evaluates a position by calling ``put((id, planes))`` on
its queue object and then ``recv()`` on its pipe object. The toolkit asks for
the planes packed, 5 x 400 zeros and ones in 250 bytes; the games of a worker
run as greenlets on a :class:`~tilora_zero.hub.GameHub`, which looks each
position up in an :class:`EvaluationCache` keyed on those bytes and sends the
misses of all its games to the network in one batch.

A batch reaches the network through a :class:`Transport`: in-process
(:class:`LocalTransport`, best for cheap networks and the CPU), or an inference
server process per network (:class:`ConnectionTransport` to
:func:`serve_connections`, whose :class:`~tilora_zero.merger.BatchMerger`
merges the batches of every worker: for a GPU). Other transports (a cluster)
plug in behind the same two methods.

Replies are ``(logits, values)`` rows of contiguous float32 arrays, which the
module reads directly.
"""

from __future__ import annotations

import functools
import threading
import traceback
from collections import OrderedDict
from multiprocessing.connection import Connection, wait
from typing import TYPE_CHECKING, Any, Callable, Protocol

import numpy as np

from . import _engine
from .board import BOARD_CELLS, BOARD_SIDE, PACKED_BYTES, PLANES, PLAYERS

if TYPE_CHECKING:
    from .merger import BatchMerger

pack_planes = _engine.pack_planes

Reply = tuple[np.ndarray, np.ndarray]


def unpack_planes(packed: np.ndarray) -> np.ndarray:
    """Packed planes ``uint8[B, 250]`` to the network's ``float32[B, 5, 20, 20]``."""
    packed = np.asarray(packed, dtype=np.uint8).reshape(-1, PACKED_BYTES)
    bits = np.unpackbits(packed, axis=1)
    return bits.reshape(-1, PLANES, BOARD_SIDE, BOARD_SIDE).astype(np.float32)


def pack_batch(planes: np.ndarray) -> np.ndarray:
    """The inverse of :func:`unpack_planes`: ``[B, 5, 20, 20]`` (0/1) to ``uint8[B, 250]``."""
    planes = np.asarray(planes)
    return np.packbits(planes.reshape(planes.shape[0], -1) != 0, axis=1)


def call_network(network: Callable[[np.ndarray], Reply], packed: np.ndarray) -> Reply:
    """Runs ``network`` on packed planes and checks the shapes of its answer."""
    batch = packed.shape[0]
    logits, values = network(unpack_planes(packed))
    logits = np.ascontiguousarray(logits, dtype=np.float32)
    values = np.ascontiguousarray(values, dtype=np.float32)
    if logits.shape != (batch, BOARD_CELLS) or values.shape != (batch, PLAYERS):
        raise ValueError(
            f"network returned logits {logits.shape} and values {values.shape} for a batch of "
            f"{batch}; expected ({batch}, {BOARD_CELLS}) and ({batch}, {PLAYERS})"
        )
    return logits, values


class EvaluationCache:
    """Least-recently-used map from packed planes to the network's reply."""

    def __init__(self, capacity: int):
        if capacity < 0:
            raise ValueError(f"cache capacity must be >= 0, got {capacity}")
        self.capacity = capacity
        self._entries: OrderedDict[bytes, Reply] = OrderedDict()

    def __len__(self) -> int:
        return len(self._entries)

    def get(self, key: bytes) -> Reply | None:
        reply = self._entries.get(key)
        if reply is not None:
            self._entries.move_to_end(key)
        return reply

    def put(self, key: bytes, reply: Reply) -> None:
        if self.capacity == 0:
            return
        self._entries[key] = reply
        self._entries.move_to_end(key)
        while len(self._entries) > self.capacity:
            self._entries.popitem(last=False)


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
