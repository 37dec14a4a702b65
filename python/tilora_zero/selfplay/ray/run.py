"""One self-play run on a Ray cluster: hands out games, collects records, survives failures.

The run starts the actors (inference servers first, then the workers, spread
over the nodes), gives every worker as many games as its hubs hold, and, as
records come back, hands each to ``on_record`` (the only writer) and the
worker its next game. Game numbers come from the local backend's
:class:`~tilora_zero.selfplay.scheduling.GameScheduler`, so a number is handed
out again only after its game was lost, and a record is accepted at most once
per number.

Failures:

* A worker actor that dies loses its unfinished games; they go back to the
  front of the queue and the run starts a replacement worker.
* An inference server that dies is restarted by Ray (``server_restarts``
  times); its workers wait and send their batches again meanwhile. A game
  whose batch still found no server ends with the module's error and is
  played again.
* A game is tried at most ``max_attempts`` times; a failure that is not for
  want of a server (a broken network, an invalid record) ends the run at
  once, as does an actor that cannot start or be placed within
  ``startup_timeout`` seconds. The run then raises
  :class:`~tilora_zero.selfplay.scheduling.RunError` with the cause.
"""

from __future__ import annotations

import collections
import time
from collections.abc import Callable
from typing import Any

from ...data.records import GameRecord
from ...settings import SearchSettings, ServingOptions
from ..scheduling import GameScheduler, RunError, RunStats
from .options import RayRunStats

_POLL_SECONDS = 0.25  # longest wait for an event before the progress is refreshed
_COUNTS_SECONDS = 0.5  # how often the workers are asked for their counts


class _Slot:
    """One worker actor and the games it holds."""

    def __init__(self, index: int, actor: Any, capacities: list[int]):
        self.index = index
        self.actor = actor
        self.info_ref = actor.info.remote()
        self.created = time.monotonic()
        self.ready = False
        self.node: str | None = None
        self.capacities = capacities  # games held per lane
        self.held = [0] * len(capacities)
        self.sequence = 0  # the next call's number, for the worker to take them in order
        self.unended = False  # games handed out since the last end_lanes
        self.outstanding: dict[Any, tuple[int, int]] = {}  # play call -> (game number, lane)
        self.counts_ref: Any = None
        self.counts = (0, 0, 0, 0)

    def play(self, number: int, lane: int) -> Any:
        ref = self.actor.play.remote(number, lane, self.sequence)
        self.sequence += 1
        self.held[lane] += 1
        self.outstanding[ref] = (number, lane)
        self.unended = True
        return ref

    def end_lanes(self) -> None:
        self.actor.end_lanes.remote(self.sequence)
        self.sequence += 1
        self.unended = False

    def returned(self, ref: Any) -> int:
        number, lane = self.outstanding.pop(ref)
        self.held[lane] -= 1
        return number

    def take_counts(self, counts: tuple) -> None:
        # Replies may overtake each other; a worker's counts only grow.
        self.counts = tuple(max(a, b) for a, b in zip(self.counts, counts))


class ClusterRun:
    """The games of one ``RaySelfPlay.play_games`` call on the cluster of ``session`` (a
    :class:`~.driver.RaySelfPlay`, whose options place the actors and which shows their handles)."""

    def __init__(self, session: Any, factory: Any, numbers: list[int], settings: SearchSettings,
                 workers: int, games: int, on_record: Callable[[GameRecord], None],
                 progress: Callable[[RunStats], None] | None, options: ServingOptions):
        import ray

        self.ray = ray
        self.session = session
        self.ray_options = session.options
        self.factory = factory
        self.settings = settings
        self.workers = workers
        self.games = games  # concurrent games per worker
        self.on_record = on_record
        self.progress = progress
        self.options = options
        self.scheduler = GameScheduler(numbers)
        self.attempts: collections.Counter[int] = collections.Counter()
        self.stats = RayRunStats()
        self.start = time.monotonic()
        self.slots: list[_Slot] = []
        self.servers: list[Any] = []
        self.network_name = ""  # the servers' network
        self.owner: dict[Any, _Slot] = {}  # play call -> its worker
        self.retired_counts = (0, 0, 0, 0)  # counts of workers that died
        self.last_counts_poll = 0.0

    # The run.

    def execute(self) -> RayRunStats:
        try:
            self._check_resources()
            if self.options.server:
                self._start_servers()
            for i in range(self.workers):
                self.slots.append(self._new_slot(i))
            self.session.worker_handles = [slot.actor for slot in self.slots]
            self._await_workers()
            self._fill()
            while not self.scheduler.done:
                self._step()
            self._refresh()
            return self.stats
        finally:
            self._stop()

    def _check_resources(self) -> None:
        ro = self.ray_options
        total = self.ray.cluster_resources()
        servers = self._server_count(total) if self.options.server else 0
        need_cpus = self.workers * ro.worker_cpus + servers * ro.server_cpus
        need_gpus = servers * ro.server_gpus
        have_cpus, have_gpus = total.get("CPU", 0.0), total.get("GPU", 0.0)
        if need_cpus > have_cpus + 1e-9 or need_gpus > have_gpus + 1e-9:
            raise RunError(
                f"the Ray cluster has {have_cpus:g} CPUs and {have_gpus:g} GPUs, but {self.workers} workers "
                f"and {servers} inference servers need {need_cpus:g} CPUs and {need_gpus:g} GPUs; "
                "use fewer workers or add nodes"
            )

    def _server_count(self, total: dict[str, float]) -> int:
        ro = self.ray_options
        if ro.servers is not None:
            count = ro.servers
        elif ro.server_gpus > 0:
            count = max(1, int(total.get("GPU", 0.0) // ro.server_gpus))
        else:
            count = 1
        return min(count, self.workers)

    def _start_servers(self) -> None:
        from .actors import InferenceServer, lane_sizes

        ro = self.ray_options
        server_class = self.ray.remote(InferenceServer).options(
            num_cpus=ro.server_cpus, num_gpus=ro.server_gpus, max_restarts=ro.server_restarts)
        count = self._server_count(self.ray.cluster_resources())
        # Worker i sends to server i mod count, from each of its hubs.
        hubs = len(lane_sizes(self.games, ro.in_flight, served=True))
        self.servers = [server_class.remote(self.factory, self.options.server_max_batch, self.options.server_max_wait,
                                            hubs * len(range(s, self.workers, count)))
                        for s in range(count)]
        self.session.server_handles = list(self.servers)
        try:
            infos = self.ray.get([server.info.remote() for server in self.servers], timeout=ro.startup_timeout)
            self.network_name = infos[0][2]
        except self.ray.exceptions.GetTimeoutError:
            raise RunError(f"the inference servers did not start within {ro.startup_timeout:g} s (each needs "
                           f"{ro.server_cpus:g} CPUs and {ro.server_gpus:g} GPUs)") from None
        except self.ray.exceptions.RayError as error:
            raise RunError(f"the inference server failed to start:\n{_cause_text(error)}") from None

    def _new_slot(self, index: int) -> _Slot:
        from .actors import SelfPlayWorker, lane_capacities

        ro = self.ray_options
        capacities = lane_capacities(self.games, ro.in_flight, bool(self.servers))
        worker_class = self.ray.remote(SelfPlayWorker).options(
            num_cpus=ro.worker_cpus, max_concurrency=sum(capacities) + 3, max_restarts=0,
            scheduling_strategy="SPREAD")
        server = self.servers[index % len(self.servers)] if self.servers else None
        actor = worker_class.remote(self.network_name if server else self.factory, server, self.settings,
                                    self.options, self.games, ro.in_flight, ro.server_wait, ro.inline_positions)
        return _Slot(index, actor, capacities)

    def _fill(self) -> None:
        # Breadth first, so that a short run still spreads over every worker and lane. A worker gets
        # games only once it has answered its first call: a worker that dies holding games had started.
        ready = [slot for slot in self.slots if slot.ready]
        if not ready:
            return
        for level in range(1, max(max(slot.capacities) for slot in ready) + 1):
            for slot in ready:
                for lane, capacity in enumerate(slot.capacities):
                    if slot.held[lane] < min(level, capacity) and self.scheduler.remaining:
                        self.owner[slot.play(self.scheduler.next(), lane)] = slot
        if not self.scheduler.remaining:
            # Nothing left to hand out: a worker's lanes must not wait for another game.
            for slot in ready:
                if slot.unended:
                    slot.end_lanes()

    def _step(self, hand_out: bool = True) -> None:
        now = time.monotonic()
        if now - self.last_counts_poll >= _COUNTS_SECONDS:
            self.last_counts_poll = now
            for slot in self.slots:
                if slot.ready and slot.counts_ref is None:
                    slot.counts_ref = slot.actor.counts.remote()
        waiting = list(self.owner)
        waiting += [slot.info_ref for slot in self.slots if not slot.ready]
        waiting += [slot.counts_ref for slot in self.slots if slot.counts_ref is not None]
        ready = self.ray.wait(waiting, num_returns=1, timeout=_POLL_SECONDS)[0] if waiting else []
        for ref in ready:
            self._handle(ref)
        for slot in self.slots:
            if not slot.ready and time.monotonic() - slot.created > self.ray_options.startup_timeout:
                raise RunError(f"worker {slot.index} was not placed or did not start within "
                               f"{self.ray_options.startup_timeout:g} s (it needs {self.ray_options.worker_cpus:g} "
                               "CPUs); the cluster may have lost nodes")
        if hand_out:
            self._fill()
        self._refresh()

    def _await_workers(self) -> None:
        """Waits until every worker is up, so that the first games spread over all of them."""
        while not all(slot.ready for slot in self.slots):
            self._step(hand_out=False)

    def _handle(self, ref: Any) -> None:
        slot = self.owner.pop(ref, None)
        if slot is not None:
            self._game_returned(slot, ref)
            return
        for slot in self.slots:
            if ref == slot.info_ref and not slot.ready:
                self._mark_ready(slot)
            elif ref == slot.counts_ref:
                slot.counts_ref = None
                try:
                    slot.take_counts(self.ray.get(ref))
                except self.ray.exceptions.RayError:
                    pass  # a dying worker; its play calls tell

    def _mark_ready(self, slot: _Slot) -> None:
        try:
            pid, node, _ = self.ray.get(slot.info_ref)
        except self.ray.exceptions.RayError as error:
            raise RunError(f"worker {slot.index} failed to start:\n{_cause_text(error)}") from None
        slot.ready, slot.node = True, node

    def _game_returned(self, slot: _Slot, ref: Any) -> None:
        number = slot.returned(ref)
        try:
            result = self.ray.get(ref)
        except self.ray.exceptions.RayActorError as error:
            self._lose_worker(slot, number, error)
            return
        except self.ray.exceptions.RayError as error:
            raise RunError(f"worker {slot.index} failed in game {number}:\n{_cause_text(error)}") from None
        if result[0] == "record":
            _, record, counts = result
            slot.take_counts(counts)
            if self.scheduler.finish(record.game_number):
                self.stats.add_game(record)
                self.stats.games_per_node[slot.node] = self.stats.games_per_node.get(slot.node, 0) + 1
                self.on_record(record)
        else:
            _, number, text, retry, counts = result
            slot.take_counts(counts)
            if not retry:
                raise RunError(f"worker {slot.index} failed in game {number}:\n{text.rstrip()}")
            self._retry(number, text)

    def _lose_worker(self, slot: _Slot, number: int, error: BaseException) -> None:
        lost = [number, *(game for game, _ in slot.outstanding.values())]
        for ref in slot.outstanding:
            self.owner.pop(ref, None)
        slot.outstanding.clear()
        self.stats.lost_workers += 1
        self.retired_counts = tuple(a + b for a, b in zip(self.retired_counts, slot.counts))
        why = f"worker {slot.index} on node {slot.node} died: {_cause_text(error).splitlines()[0]}"
        for game in lost:
            self._retry(game, why)
        _kill(self.ray, slot.actor)
        replacement = self._new_slot(slot.index)
        self.slots[self.slots.index(slot)] = replacement
        self.session.worker_handles = [s.actor for s in self.slots]

    def _retry(self, number: int, why: str) -> None:
        self.attempts[number] += 1
        if self.attempts[number] >= self.ray_options.max_attempts:
            raise RunError(f"game {number} failed {self.attempts[number]} times; the last time:\n{why.rstrip()}")
        self.scheduler.retry(number)
        self.stats.retried_games += 1

    def _refresh(self) -> None:
        totals = [sum(c) for c in zip(self.retired_counts, *(slot.counts for slot in self.slots))]
        self.stats.evaluations, self.stats.cache_hits, self.stats.batches, self.stats.positions = totals
        self.stats.wall_time = time.monotonic() - self.start
        if self.progress:
            self.progress(self.stats)

    def _stop(self) -> None:
        for slot in self.slots:
            _kill(self.ray, slot.actor)
        for server in self.servers:
            _kill(self.ray, server)
        self.session.worker_handles = []
        self.session.server_handles = []


def _kill(ray: Any, actor: Any) -> None:
    try:
        ray.kill(actor, no_restart=True)
    except Exception:  # already gone, or the connection is closing
        pass


def _cause_text(error: BaseException) -> str:
    """The remote error's own text, without Ray's wrapping when it has one."""
    cause = getattr(error, "cause", None)
    if isinstance(cause, BaseException):
        return f"{type(cause).__name__}: {cause}"
    return str(error).strip() or type(error).__name__
