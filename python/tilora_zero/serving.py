"""Inference serving: batching the requests of many concurrent games.

``generate_game_data`` evaluates a position by calling ``put((id, planes))`` on
its queue object and then ``recv()`` on its pipe object, holding the
interpreter lock while it searches. A thread blocked inside ``recv`` lets the
lock go, so one process can run several games, one per thread, that share a
:class:`BatchingClient` (the runner's workers use the cheaper
:class:`~tilora_zero.hub.GameHub` instead, which runs its games as greenlets on
one thread with the same cache and transports):

* ``put`` packs the 5 x 400 planes into 250 bytes (they are 0/1) and looks
  them up in an :class:`EvaluationCache` keyed on those exact bytes. A hit, or
  a position already on its way to the network for another game, costs no
  network call and ``recv`` returns at once.
* Misses wait in a batch. The batch goes to the network when it holds
  ``max_batch`` positions, when every running game of the process is waiting
  for a reply, or when its oldest request has waited ``max_wait`` seconds. The
  thread that completes the batch sends it, so nothing but the games runs.
* A batch reaches the network through a :class:`Transport`: in-process
  (:class:`LocalTransport`, best for cheap networks and CPU) or a central
  :class:`InferenceServer` process that merges the batches of several workers
  (:class:`ConnectionTransport`, for a GPU). Other transports (a cluster) plug
  in behind the same two methods.

Replies are ``(logits, values)`` rows of contiguous float32 arrays, which the
module reads directly.
"""

from __future__ import annotations

import itertools
import threading
import time
import traceback
from collections import OrderedDict
from dataclasses import dataclass
from multiprocessing.connection import Connection, wait
from typing import Any, Callable, Protocol

import numpy as np

from . import _engine

PLANES = _engine.PLANES
BOARD_SIDE = _engine.BOARD_SIDE
BOARD_CELLS = _engine.BOARD_CELLS
PACKED_BYTES = _engine.PACKED_PLANE_BYTES

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
    if logits.shape != (batch, BOARD_CELLS) or values.shape != (batch, 4):
        raise ValueError(
            f"network returned logits {logits.shape} and values {values.shape} for a batch of "
            f"{batch}; expected ({batch}, {BOARD_CELLS}) and ({batch}, 4)"
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
    """Sends batches to an :class:`InferenceServer` over a connection.

    Several batches may be in flight; a reader thread routes each reply to the
    thread that sent its batch."""

    def __init__(self, connection: Connection):
        self._connection = connection
        self._send_lock = threading.Lock()
        self._replies: dict[int, Any] = {}
        self._arrived = threading.Condition()
        self._batch_ids = itertools.count()
        self._broken: str | None = None
        self._reader = threading.Thread(target=self._read_replies, name="transport-reader", daemon=True)
        self._reader.start()

    def _read_replies(self) -> None:
        try:
            while True:
                batch_id, reply = self._connection.recv()
                with self._arrived:
                    self._replies[batch_id] = reply
                    self._arrived.notify_all()
        except (EOFError, OSError) as error:
            with self._arrived:
                self._broken = f"the inference server closed the connection ({type(error).__name__})"
                self._arrived.notify_all()

    def evaluate(self, packed: np.ndarray) -> Reply:
        batch_id = next(self._batch_ids)
        with self._send_lock:
            if self._broken:
                raise RemoteError(self._broken)
            try:
                self._connection.send((batch_id, np.ascontiguousarray(packed, dtype=np.uint8)))
            except OSError as error:
                raise RemoteError(f"cannot reach the inference server ({type(error).__name__})") from None
        with self._arrived:
            while batch_id not in self._replies:
                if self._broken:
                    raise RemoteError(self._broken)
                self._arrived.wait()
            reply = self._replies.pop(batch_id)
        if isinstance(reply, str):
            raise RemoteError(f"inference server: {reply}")
        return reply

    def close(self) -> None:
        """Says goodbye to the server, which closes its end, and closes ours."""
        try:
            with self._send_lock:
                self._connection.send(None)
        except (OSError, ValueError):
            pass
        self._reader.join(5)
        self._connection.close()


class InferenceServer:
    """Serves one network to the batches sent by several worker connections.

    Requests that arrive together are merged up to ``max_batch`` positions.
    Once one has arrived, the server waits at most ``max_wait`` seconds for
    the workers that have not sent anything yet; when every worker has, the
    batch goes at once."""

    def __init__(self, network: Callable[[np.ndarray], Reply], connections: list[Connection],
                 max_batch: int = 1024, max_wait: float = 0.002):
        self.network = network
        self.connections = list(connections)
        self.max_batch = max_batch
        self.max_wait = max_wait
        self.batches = 0
        self.positions = 0

    def _receive(self, ready: list[Connection], waiting: list[tuple[Connection, int, np.ndarray]]) -> None:
        for connection in ready:
            try:
                message = connection.recv()
            except (EOFError, OSError):
                message = None
            if message is None:  # the worker is gone or said goodbye
                self.connections.remove(connection)
                connection.close()
                continue
            batch_id, packed = message
            waiting.append((connection, batch_id, packed))

    def serve_forever(self) -> None:
        """Answers until every connection is closed."""
        while self.connections:
            waiting: list[tuple[Connection, int, np.ndarray]] = []
            self._receive(wait(self.connections), waiting)
            deadline = time.monotonic() + self.max_wait
            while sum(len(p) for _, _, p in waiting) < self.max_batch:
                heard = {id(c) for c, _, _ in waiting}
                silent = [c for c in self.connections if id(c) not in heard]
                remaining = deadline - time.monotonic()
                if not silent or remaining <= 0:
                    break
                ready = wait(silent, timeout=remaining)
                if not ready:
                    break
                self._receive(ready, waiting)
            if waiting:
                self._answer(waiting)

    def _answer(self, waiting: list[tuple[Connection, int, np.ndarray]]) -> None:
        packed = np.concatenate([p for _, _, p in waiting])
        try:
            logits, values = call_network(self.network, packed)
        except Exception:  # reported to every sender, which ends its games with it
            message = traceback.format_exc(limit=4)
            replies = [message] * len(waiting)
        else:
            bounds = np.cumsum([0] + [len(p) for _, _, p in waiting])
            replies = [(logits[a:b], values[a:b]) for a, b in itertools.pairwise(bounds)]
        self.batches += 1
        self.positions += len(packed)
        for (connection, batch_id, _), reply in zip(waiting, replies):
            try:
                connection.send((batch_id, reply))
            except (BrokenPipeError, OSError):
                if connection in self.connections:
                    self.connections.remove(connection)


@dataclass
class ServingStats:
    """Counts since the client was made."""

    evaluations: int = 0  # requests put by the games
    cache_hits: int = 0  # answered from the cache or joined to an identical request on its way
    batches: int = 0  # batches sent to the transport
    positions: int = 0  # positions in those batches

    @property
    def hit_rate(self) -> float:
        return self.cache_hits / self.evaluations if self.evaluations else 0.0


class _Pending:
    """A position on its way to the network, and the games waiting for it."""

    __slots__ = ("key", "channels", "since")

    def __init__(self, key: bytes, channel: "GameChannel"):
        self.key = key
        self.channels = [channel]
        self.since = time.monotonic()


class BatchingClient:
    """Gathers the requests of the games of one process into batches."""

    def __init__(self, transport: Transport, max_batch: int = 256, max_wait: float = 0.05,
                 cache_size: int = 32768):
        if max_batch < 1:
            raise ValueError(f"max_batch must be >= 1, got {max_batch}")
        self.transport = transport
        self.max_batch = max_batch
        self.max_wait = max_wait
        self.cache = EvaluationCache(cache_size)
        self.stats = ServingStats()
        self._cond = threading.Condition(threading.Lock())
        self._queued: dict[bytes, _Pending] = {}  # not sent yet
        self._in_flight: dict[bytes, _Pending] = {}  # sent, reply not back
        self._waiting = 0  # games with a request in _queued or _in_flight
        self._active = 0  # games between game_started and game_finished

    def channel(self) -> GameChannel:
        """A queue-and-pipe object for one game at a time."""
        return GameChannel(self)

    # Game bookkeeping: a batch goes out as soon as every running game waits.

    def game_started(self) -> None:
        with self._cond:
            self._active += 1

    def game_finished(self) -> None:
        with self._cond:
            self._active -= 1
            batch = self._take_batch_if_due()
        if batch:
            self._send(batch)

    # Called by GameChannel.

    def _request(self, channel: GameChannel, key: bytes) -> None:
        with self._cond:
            if answer_from_cache(self.cache, self.stats, channel, key):
                return
            self._waiting += 1
            pending = self._queued.get(key) or self._in_flight.get(key)
            if pending is not None:
                self.stats.cache_hits += 1
                pending.channels.append(channel)
            else:
                self._queued[key] = _Pending(key, channel)
            batch = self._take_batch_if_due()
        if batch:
            self._send(batch)

    def _await(self, channel: GameChannel) -> Reply:
        with self._cond:
            while channel._reply is None:
                batch = None
                if self._queued:
                    oldest = next(iter(self._queued.values())).since
                    remaining = oldest + self.max_wait - time.monotonic()
                    if remaining <= 0:
                        batch = self._take_batch()
                else:
                    remaining = None
                if batch:
                    self._cond.release()
                    try:
                        self._send(batch)
                    finally:
                        self._cond.acquire()
                    continue
                self._cond.wait(remaining)
            reply, channel._reply = channel._reply, None
        if isinstance(reply, BaseException):
            raise reply
        return reply

    def _take_batch_if_due(self) -> list[_Pending] | None:
        if not self._queued:
            return None
        if len(self._queued) >= self.max_batch or self._waiting >= self._active:
            return self._take_batch()
        return None

    def _take_batch(self) -> list[_Pending]:
        batch = list(itertools.islice(self._queued.values(), self.max_batch))
        for pending in batch:
            del self._queued[pending.key]
            self._in_flight[pending.key] = pending
        return batch

    def _send(self, batch: list[_Pending]) -> None:
        packed = np.frombuffer(b"".join(p.key for p in batch), dtype=np.uint8).reshape(len(batch), PACKED_BYTES)
        try:
            logits, values = self.transport.evaluate(packed)
        except BaseException as error:  # every game of the batch ends with it
            self._deliver(batch, [error] * len(batch))
            if not isinstance(error, Exception):
                raise
            return
        self._deliver(batch, [(logits[i], values[i]) for i in range(len(batch))], cache=True)

    def _deliver(self, batch: list[_Pending], replies: list[Any], cache: bool = False) -> None:
        with self._cond:
            self.stats.batches += 1
            self.stats.positions += len(batch)
            for pending, reply in zip(batch, replies):
                del self._in_flight[pending.key]
                if cache:
                    self.cache.put(pending.key, reply)
                for channel in pending.channels:
                    channel._reply = reply
                self._waiting -= len(pending.channels)
            self._cond.notify_all()


def answer_from_cache(cache: EvaluationCache, stats: ServingStats, channel: "Channel", key: bytes) -> bool:
    """Counts a request and, when `cache` knows its position, leaves the reply on `channel`."""
    stats.evaluations += 1
    reply = cache.get(key)
    if reply is None:
        return False
    stats.cache_hits += 1
    channel._reply = reply
    return True


class Channel:
    """The ``inference_queue`` and the ``pipe`` of one game: pass it as both.

    The module calls ``put`` with one request and then ``recv`` for its reply.
    A subclass submits the packed position (``_submit``) and waits for a reply
    that is not there yet (``_wait``); a reply that came at once (a cache hit)
    is left in ``_reply``. The last error raised to the game is kept in
    ``error``.
    """

    __slots__ = ("_reply", "_asked", "error")

    def __init__(self) -> None:
        self._reply: Any = None
        self._asked = False  # a request is waiting for its recv
        self.error: BaseException | None = None

    def _submit(self, key: bytes) -> None:
        raise NotImplementedError

    def _wait(self) -> Any:
        raise NotImplementedError

    def put(self, request: tuple[int, Any]) -> None:
        try:
            if self._asked:
                raise RuntimeError("put() called twice without recv()")
            _, planes = request
            # The toolkit asks the module for packed planes; other planes are packed here.
            self._submit(planes if type(planes) is bytes and len(planes) == PACKED_BYTES else pack_planes(planes))
        except BaseException as error:
            self.error = error
            raise
        self._asked = True

    def recv(self) -> Reply:
        if not self._asked:
            self.error = RuntimeError("recv() called without a request")
            raise self.error
        self._asked = False
        reply = self._reply
        if reply is None:
            try:
                reply = self._wait()
            except BaseException as error:
                self.error = error
                raise
        self._reply = None
        if isinstance(reply, BaseException):
            self.error = reply
            raise reply
        return reply


class GameChannel(Channel):
    """A game's channel on a :class:`BatchingClient` (games on threads)."""

    __slots__ = ("_client",)

    def __init__(self, client: BatchingClient):
        super().__init__()
        self._client = client

    def _submit(self, key: bytes) -> None:
        self._client._request(self, key)

    def _wait(self) -> Reply:
        return self._client._await(self)
