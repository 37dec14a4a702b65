"""The local backend: many games at once, across worker processes on this machine.

A run plays :class:`~tilora_zero.selfplay.games.SelfPlay` games or the games of a
:class:`~tilora_zero.selfplay.matches.Match` (:mod:`tilora_zero.selfplay.games`). Layout (the
fastest on a few cores with a cheap network, and still right for a large one
on a GPU):

* ``workers`` processes, each running ``games_per_worker`` games at a time.
  The self-play module holds the interpreter lock while it searches, so a
  process uses one core whatever it does; its games are greenlets on one
  thread (:class:`~tilora_zero.serving.hub.GameHub`) that take turns at each network
  request, a turn costing a few microseconds.
* Each network runs inside each worker (:class:`~tilora_zero.serving.transports.LocalTransport`)
  or, with ``ServingOptions.server``, in an inference server process per
  network (:func:`~tilora_zero.serving.transports.serve_connections`) whose
  :class:`~tilora_zero.serving.merger.BatchMerger` merges the workers' batches (for a GPU).
* The parent hands out game numbers (:class:`~tilora_zero.selfplay.scheduling.GameScheduler`),
  receives each finished game as a :class:`~tilora_zero.data.records.GameRecord`
  and passes it to ``on_record``; it is the only process that writes anything.

Workers send their standard output (the module's summary lines) to the null
device and their standard error to a log file, which is not a terminal, so the
module draws no progress bars of its own; the parent shows the log's end when
a worker fails.
"""

from __future__ import annotations

import itertools
import math
import multiprocessing as mp
import os
import queue
import signal
import tempfile
import time
import traceback
from collections.abc import Callable, Iterable
from pathlib import Path
from typing import Any

from ..data.records import GameRecord
from ..settings import SearchSettings, ServingOptions
from .games import GameFailed, Games, NetworkFactory, Route, SelfPlay, game_seed
from .processes import die_with_parent, limit_torch_threads, quiet
from .scheduling import GameScheduler, RunError, RunStats

__all__ = ["GameScheduler", "NetworkFactory", "RunError", "RunStats", "SearchSettings", "ServingOptions",
           "game_seed", "play_games", "run_games"]


def _server_main(route: Route, connections: list, options: ServingOptions, log_path: str) -> None:
    from ..networks import check_serves, network_name
    from ..serving.merger import BatchMerger
    from ..serving.transports import serve_connections

    die_with_parent()
    quiet(log_path)
    try:
        network = route.network()
        check_serves(network, route.search)
    except BaseException:  # the workers wait for the network and report this
        for connection in connections:
            connection.send(("failed", traceback.format_exc()))
        raise
    limit_torch_threads((os.cpu_count() or 1) - len(connections))
    for connection in connections:
        connection.send(("ready", network_name(network)))
    merger = BatchMerger(network, options.server_max_batch, options.server_max_wait, senders=len(connections))
    serve_connections(merger, connections)


def _worker_main(index: int, workers: int, games: Games, connections: list, options: ServingOptions,
                 concurrency: int, tasks: Any, results: Any, log_path: str) -> None:
    """``connections[r]`` reaches the server of route r, or is None where the worker runs the network itself."""
    die_with_parent()
    quiet(log_path)
    try:
        from ..networks import check_serves, network_name
        from ..serving.transports import ConnectionTransport, LocalTransport

        transports, names = [], []
        for route, connection in zip(games.routes, connections):
            if connection is not None:
                kind, name = connection.recv()
                if kind == "failed":
                    raise RunError(f"the inference server could not start:\n{name}")
                transports.append(ConnectionTransport(connection))
            else:
                network = route.network()
                check_serves(network, route.search)
                name = network_name(network)
                transports.append(LocalTransport(network))
            names.append(name)
        limit_torch_threads((os.cpu_count() or 1) // workers)
    except BaseException as error:
        results.put(("error", index, (None, str(error) if isinstance(error, RunError) else traceback.format_exc())))
        return
    _play_on_hub(index, games, transports, names, options, concurrency, tasks, results)
    results.put(("done", index, None))


def _report(results: Any, index: int, stats: Any) -> None:
    results.put(("stats", index, (stats.evaluations, stats.cache_hits, stats.batches, stats.positions)))


def _failure_text(error: BaseException) -> str:
    if isinstance(error, GameFailed):
        return str(error)
    return "".join(traceback.format_exception(error))


def _play_on_hub(index: int, games: Games, transports: list, names: list[str], options: ServingOptions,
                 concurrency: int, tasks: Any, results: Any) -> None:
    from ..serving.hub import GameHub

    hub = GameHub(transports, options.max_batch, options.cache_size)
    last_report = time.monotonic()

    def next_game() -> tuple[int, Callable] | None:
        number = tasks.get()
        if number is None:
            return None
        return number, lambda game: games.play(number, game.channel, names)

    def finished(game: Any, record: GameRecord | None, error: BaseException | None) -> None:
        if error is not None:
            results.put(("error", index, (game.tag, _failure_text(error))))
            return
        _report(results, index, hub.stats)
        results.put(("record", index, record))

    def batch_done() -> None:
        nonlocal last_report
        if time.monotonic() - last_report >= 0.5:
            last_report = time.monotonic()
            _report(results, index, hub.stats)

    hub.run(next_game, concurrency, finished, batch_done)
    _report(results, index, hub.stats)


def _log_tail(path: str, lines: int = 15) -> str:
    try:
        text = Path(path).read_text(errors="replace").strip().splitlines()
    except OSError:
        return ""
    return "\n".join(text[-lines:])


def play_games(network_factory: NetworkFactory, game_numbers: Iterable[int], settings: SearchSettings,
               workers: int, on_record: Callable[[GameRecord], None],
               progress: Callable[[RunStats], None] | None = None,
               options: ServingOptions | None = None) -> RunStats:
    """Plays self-play games: :func:`run_games` of :class:`SelfPlay`.

    ``network_factory()`` must serve the value convention that ``settings.search``
    reads, as the factory of a :class:`~tilora_zero.networks.ServedNetwork` does."""
    return run_games(SelfPlay(network_factory, settings), game_numbers, workers, on_record, progress, options)


def run_games(games: Games, game_numbers: Iterable[int], workers: int, on_record: Callable[[GameRecord], None],
              progress: Callable[[RunStats], None] | None = None,
              options: ServingOptions | None = None) -> RunStats:
    """Plays the games numbered ``game_numbers`` and hands each record to ``on_record``.

    Each network of ``games.routes`` is built inside the process that serves
    it, so its factory must be picklable (``functools.partial(load_network,
    source, device)``); a worker batches the requests of all its games per
    network. ``progress(stats)`` is called whenever the live counts change. A
    failed game, a dead worker or a dead server ends the run with
    :class:`RunError`; Ctrl-C stops every process and raises
    ``KeyboardInterrupt`` after the records already handed to ``on_record``.
    """
    options = options or ServingOptions()
    numbers = list(game_numbers)
    if workers < 1:
        raise ValueError(f"workers must be >= 1, got {workers}")
    routes = list(games.routes)
    stats = RunStats()
    if not numbers:
        return stats
    scheduler = GameScheduler(numbers)
    workers = min(workers, len(numbers))
    concurrency = min(options.games_per_worker, math.ceil(len(numbers) / workers))
    context = mp.get_context("spawn")
    tasks = context.Queue()
    results = context.Queue()
    log_dir = tempfile.mkdtemp(prefix="tilora-selfplay-")
    logs = [os.path.join(log_dir, f"worker-{i}.log") for i in range(workers)]
    server_logs = [os.path.join(log_dir, f"server-{r}.log") for r in range(len(routes))]
    processes: list[Any] = []
    servers: list[Any] = []
    start = time.monotonic()
    worker_counts = [(0, 0, 0, 0)] * workers
    finished_workers: set[int] = set()

    def hand_out(count: int) -> None:
        for _ in range(count):
            number = scheduler.next()
            if number is None:
                break
            tasks.put(number)
        if scheduler.remaining == 0 and not hand_out.closed:
            hand_out.closed = True
            for _ in range(workers * concurrency):
                tasks.put(None)

    hand_out.closed = False

    def refresh() -> None:
        stats.evaluations, stats.cache_hits, stats.batches, stats.positions = (
            int(sum(c[i] for c in worker_counts)) for i in range(4))
        stats.wall_time = time.monotonic() - start
        if progress:
            progress(stats)

    # Children start with Ctrl-C blocked (they ignore it for good once running): the parent stops them.
    blocked = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        connections: list[list[Any]] = [[None] * len(routes) for _ in range(workers)]  # [worker][route]
        if options.server:
            for r, route in enumerate(routes):
                pairs = [context.Pipe() for _ in range(workers)]
                for i, (_, worker_end) in enumerate(pairs):
                    connections[i][r] = worker_end
                server = context.Process(target=_server_main, name=f"tilora-inference-{r}",
                                         args=(route, [s for s, _ in pairs], options, server_logs[r]), daemon=True)
                server.start()
                servers.append(server)
                for server_end, _ in pairs:
                    server_end.close()
        for i in range(workers):
            process = context.Process(
                target=_worker_main, name=f"tilora-worker-{i}", daemon=True,
                args=(i, workers, games, connections[i], options, concurrency, tasks, results, logs[i]))
            process.start()
            processes.append(process)
        signal.pthread_sigmask(signal.SIG_SETMASK, blocked)
        for connection in itertools.chain.from_iterable(connections):
            if connection is not None:
                connection.close()
        hand_out(2 * workers * concurrency)
        while len(finished_workers) < workers:
            try:
                kind, index, payload = results.get(timeout=0.25)
            except queue.Empty:
                _check_alive(processes, finished_workers, logs, servers, server_logs)
                refresh()
                continue
            if kind == "record":
                if scheduler.finish(payload.game_number):
                    stats.add_game(payload)
                    on_record(payload)
                    hand_out(1)
            elif kind == "stats":
                worker_counts[index] = payload
            elif kind == "done":
                finished_workers.add(index)
            elif kind == "error":
                raise RunError(_failure_message(index, payload, logs[index]))
            refresh()
        if not scheduler.done:
            raise RunError(f"the workers stopped with {len(scheduler.outstanding) + scheduler.remaining} "
                           "games unplayed")
        for process in processes:
            process.join()
        refresh()
        return stats
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, blocked)
        for process in processes + servers:
            if process.is_alive():
                process.terminate()
        for process in processes + servers:
            process.join(5)
            if process.is_alive():
                process.kill()
                process.join()
        for q in (tasks, results):
            q.cancel_join_thread()
            q.close()
        for path in logs + server_logs:
            Path(path).unlink(missing_ok=True)
        os.rmdir(log_dir)


def _failure_message(index: int, payload: tuple[int | None, str], log_path: str) -> str:
    number, text = payload
    where = f"game {number}" if number is not None else "start-up"
    message = f"worker {index} failed in {where}:\n{text.rstrip()}"
    tail = _log_tail(log_path)
    return f"{message}\n{tail}" if tail else message


def _check_alive(processes: list[Any], finished: set[int], logs: list[str], servers: list[Any],
                 server_logs: list[str]) -> None:
    for server, log in zip(servers, server_logs):
        if not server.is_alive():
            tail = _log_tail(log)
            raise RunError(f"the inference server stopped (exit code {server.exitcode})"
                           + (f":\n{tail}" if tail else ""))
    for i, process in enumerate(processes):
        if i not in finished and not process.is_alive() and process.exitcode not in (None, 0):
            tail = _log_tail(logs[i])
            raise RunError(f"worker {i} stopped (exit code {process.exitcode})" + (f":\n{tail}" if tail else ""))
