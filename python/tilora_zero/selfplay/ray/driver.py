"""The driver of Ray self-play: a connection to the cluster that plays runs, from where the command runs.

:class:`RaySelfPlay` joins a cluster (or starts a local instance), puts the
network's weights into the object store once per version (:mod:`.weights`)
and plays each run (:class:`~.run.ClusterRun`) with the local backend's
arguments and records.
"""

from __future__ import annotations

import logging
import math
import socket
from collections.abc import Callable, Iterable
from typing import Any

from ...data.records import GameRecord
from ...settings import SearchSettings, ServingOptions
from ..games import NetworkFactory
from ..scheduling import RunError, RunStats
from .options import RayOptions, RayRunStats
from .run import ClusterRun
from .weights import WeightsStore


def check_reachable(address: str, timeout: float = 5.0) -> None:
    """Raises ConnectionError unless something listens at a "HOST:PORT" cluster address."""
    host, _, port = address.removeprefix("ray://").rpartition(":")
    if not host or not port.isdigit():
        raise ConnectionError(f"{address!r} is not a HOST:PORT address")
    try:
        socket.create_connection((host, int(port)), timeout=timeout).close()
    except OSError as error:
        raise ConnectionError(f"nothing answers at {address}: {error.strerror or error}") from None


class RaySelfPlay:
    """A connection to a Ray cluster that plays self-play runs; use as a context manager.

    Network weights published by one run stay in the object store for the
    next, so a loop that plays several runs with one network puts it once."""

    def __init__(self, options: RayOptions | None = None):
        self.options = options or RayOptions()
        self.weights = WeightsStore()
        self._owns_connection = False
        self.worker_handles: list[Any] = []  # the current run's worker actors (tests kill them)
        self.server_handles: list[Any] = []

    def connect(self) -> None:
        """Joins the cluster at ``options.address``, or starts a local instance.

        Raises ConnectionError with the cause when that fails. An existing
        connection of this process is used as it is."""
        import ray

        address = self.options.address
        if address and address != "auto":
            check_reachable(address)
        if ray.is_initialized():
            return
        common = {"log_to_driver": False, "logging_level": logging.WARNING}
        try:
            if address:
                ray.init(address=address, **common)
            else:
                ray.init(include_dashboard=False, num_cpus=self.options.num_cpus,
                         object_store_memory=self.options.object_store_memory, **common)
        except (ConnectionError, RuntimeError, ValueError, TimeoutError) as error:
            where = f"the Ray cluster at {address}" if address else "a local Ray instance"
            raise ConnectionError(f"cannot start or join {where}: {error}") from None
        self._owns_connection = True

    def close(self) -> None:
        self.weights.clear()
        if self._owns_connection:
            import ray

            ray.shutdown()
            self._owns_connection = False

    def __enter__(self) -> RaySelfPlay:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def play_games(self, network_factory: NetworkFactory, game_numbers: Iterable[int], settings: SearchSettings,
                   workers: int, on_record: Callable[[GameRecord], None],
                   progress: Callable[[RunStats], None] | None = None,
                   options: ServingOptions | None = None) -> RayRunStats:
        """The local backend's ``play_games`` on the cluster: same arguments, same records.

        ``workers`` worker actors play ``options.games_per_worker`` games each
        at a time. With ``options.server`` the network runs in inference server
        actors, else in every worker. Raises :class:`RunError` when the run
        cannot go on, and ``KeyboardInterrupt`` on Ctrl-C after the records
        already handed to ``on_record``; the actors are stopped either way.
        """
        options = options or ServingOptions()
        numbers = list(game_numbers)
        if workers < 1:
            raise ValueError(f"workers must be >= 1, got {workers}")
        if not numbers:
            return RayRunStats()
        try:
            self.connect()
        except ConnectionError as error:
            raise RunError(str(error)) from None
        try:
            factory = self.weights.publish(network_factory)
        except FileNotFoundError as error:
            raise RunError(str(error)) from None
        workers = min(workers, len(numbers))
        games = min(options.games_per_worker, math.ceil(len(numbers) / workers))
        run = ClusterRun(self, factory, numbers, settings, workers, games, on_record, progress, options)
        return run.execute()


def play_games(network_factory: NetworkFactory, game_numbers: Iterable[int], settings: SearchSettings,
               workers: int, on_record: Callable[[GameRecord], None],
               progress: Callable[[RunStats], None] | None = None, options: ServingOptions | None = None,
               ray_options: RayOptions | None = None) -> RayRunStats:
    """One run on a cluster of its own connection: :meth:`RaySelfPlay.play_games`."""
    with RaySelfPlay(ray_options) as session:
        return session.play_games(network_factory, game_numbers, settings, workers, on_record, progress, options)
