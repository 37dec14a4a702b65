"""The runner: many games at once, across worker processes.

A run plays self-play games (:class:`SelfPlay`: one network searches for
every seat) or the games of a match (:class:`~tilora_zero.matches.Match`:
each seat searched by its own player); both describe the networks their games
ask, the *routes*, and how to play one game on a channel per route.

Layout (the fastest on a few cores with a cheap network, and still right for
a large one on a GPU):

* ``workers`` processes, each running ``games_per_worker`` games at a time.
  The self-play module holds the interpreter lock while it searches, so a
  process uses one core whatever it does; its games take turns at each
  network request. By default they are greenlets on one thread
  (:class:`~tilora_zero.hub.GameHub`: a turn costs a few microseconds); with
  ``concurrency="threads"`` they are threads sharing a
  :class:`~tilora_zero.serving.BatchingClient` (a turn costs a thread switch).
* Each network runs inside each worker (:class:`~tilora_zero.serving.LocalTransport`)
  or, with ``ServingOptions.server``, in a central
  :class:`~tilora_zero.serving.InferenceServer` process per network that
  merges the workers' batches (for a GPU).
* The parent hands out game numbers (:class:`GameScheduler`), receives each
  finished game as a :class:`~tilora_zero.records.GameRecord` and passes it to
  ``on_record``; it is the only process that writes anything.

Workers send their standard output (the module's summary lines) to the null
device and their standard error to a log file, which is not a terminal, so the
module draws no progress bars of its own; the parent shows the log's end when
a worker fails.
"""

from __future__ import annotations

import collections
import itertools
import math
import multiprocessing as mp
import os
import queue
import signal
import sys
import tempfile
import threading
import time
import traceback
from collections.abc import Callable, Iterable, Sequence
from dataclasses import asdict, dataclass, field, replace
from pathlib import Path
from typing import Any, Protocol

import numpy as np

from .records import GameRecord

NetworkFactory = Callable[[], Callable[[np.ndarray], tuple[np.ndarray, np.ndarray]]]


SEARCH_RULES = ("puct", "classic")


@dataclass
class SearchSettings:
    """The settings the self-play module reads; pass an instance as its ``config``."""

    sims_per_move: int = 100
    sample_moves: int = 30
    c_base: float = 19652.0
    c_init: float = 1.25
    dirichlet_alpha: float = 0.3
    exploration_fraction: float = 0.25
    search: str = "puct"  # the selection rule: "puct" (values as payoff shares) or "classic"
    first_play_value: float | None = None  # PUCT: the Q of an unvisited child (None: the module's)
    seed: int | None = None  # a run's seed: game n's random draws are seeded by game_seed(seed, n)

    def __post_init__(self) -> None:
        # The module reads the floats as 32-bit floats: what it refuses is judged on the narrowed values. A
        # search with no simulations has no visit shares to record, so the toolkit asks for at least one.
        for name, lowest in (("sims_per_move", 1), ("sample_moves", 0)):
            value = getattr(self, name)
            if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or not lowest <= value < 2**32:
                raise ValueError(f"{name} must be an integer from {lowest} to 4294967295, got {value!r}")
        numbers = ("c_base", "c_init", "dirichlet_alpha", "exploration_fraction")
        for name in numbers if self.first_play_value is None else (*numbers, "first_play_value"):
            value = getattr(self, name)
            if not isinstance(value, (int, float, np.floating)) or not math.isfinite(value):
                raise ValueError(f"{name} must be a finite number, got {value!r}")
            with np.errstate(over="ignore"):
                if not np.isfinite(np.float32(value)):
                    raise ValueError(f"{name} {value!r} is beyond the range of a 32-bit float")
        if not np.float32(self.c_base) > 0:
            raise ValueError(f"c_base must be positive as a 32-bit float, got {self.c_base!r}")
        if not np.float32(self.dirichlet_alpha) > 0:
            raise ValueError(f"dirichlet_alpha must be positive as a 32-bit float, got {self.dirichlet_alpha!r}")
        if not 0 <= self.exploration_fraction <= 1:
            raise ValueError(f"exploration_fraction must be from 0 to 1, got {self.exploration_fraction!r}")
        if self.search not in SEARCH_RULES:
            raise ValueError(f"search must be 'puct' or 'classic', got {self.search!r}")
        seed = self.seed
        if seed is not None and (isinstance(seed, bool) or not isinstance(seed, (int, np.integer))
                                 or not 0 <= seed < 2**64):
            raise ValueError(f"seed must be an integer from 0 to 2**64 - 1, got {seed!r}")

    # Read by the module: requests carry the planes as 250 packed bytes, which the
    # serving side uses as they are (no lists of floats to build and to pack again).
    packed_planes = True

    def as_dict(self) -> dict[str, Any]:
        return asdict(self)


def game_seed(seed: int, number: int) -> int:
    """The seed of game ``number`` of a run seeded with ``seed``: distinct games, unrelated draws."""
    return int(np.random.SeedSequence([seed, number]).generate_state(1, np.uint64)[0])


@dataclass
class ServingOptions:
    """How the games of a run are served."""

    games_per_worker: int = 8  # concurrent games per worker process
    concurrency: str = "greenlets"  # how a worker runs its games: "greenlets" on one thread, or "threads"
    max_batch: int = 256  # positions per batch of a worker
    max_wait: float = 0.05  # threads only: seconds a request may wait for its batch to fill
    cache_size: int = 32768  # evaluations kept per worker
    server: bool = False  # one central inference process instead of a network per worker
    server_max_batch: int = 1024  # positions per batch of the inference process
    server_max_wait: float = 0.002  # seconds it waits for the workers that have not sent yet

    def __post_init__(self) -> None:
        if self.concurrency not in ("greenlets", "threads"):
            raise ValueError(f"concurrency must be 'greenlets' or 'threads', got {self.concurrency!r}")
        if self.games_per_worker < 1:
            raise ValueError(f"games_per_worker must be >= 1, got {self.games_per_worker}")
        if self.max_batch < 1 or self.server_max_batch < 1:
            raise ValueError("batch sizes must be >= 1")
        if self.max_wait < 0 or self.server_max_wait < 0:
            raise ValueError("waiting times must be >= 0")
        if self.cache_size < 0:
            raise ValueError(f"cache_size must be >= 0, got {self.cache_size}")


@dataclass
class RunStats:
    """What a run did; live while it runs."""

    games: int = 0
    moves: int = 0
    evaluations: int = 0  # requests made by the searches
    cache_hits: int = 0  # requests answered without a network call
    batches: int = 0
    positions: int = 0  # positions evaluated by the network
    wall_time: float = 0.0
    payoff_sums: list[float] = field(default_factory=lambda: [0.0] * 4)  # wins per seat, ties shared
    wins: list[int] = field(default_factory=lambda: [0] * 4)  # games with a share of the win, per seat

    @property
    def evaluations_per_second(self) -> float:
        return self.evaluations / self.wall_time if self.wall_time > 0 else 0.0

    @property
    def moves_per_second(self) -> float:
        return self.moves / self.wall_time if self.wall_time > 0 else 0.0

    @property
    def hit_rate(self) -> float:
        return self.cache_hits / self.evaluations if self.evaluations else 0.0

    @property
    def mean_game_length(self) -> float:
        return self.moves / self.games if self.games else 0.0

    def add_game(self, record: GameRecord) -> None:
        self.games += 1
        self.moves += record.num_moves
        for seat in range(4):
            self.payoff_sums[seat] += float(record.payoff[seat])
            self.wins[seat] += int(record.payoff[seat] > 0)


class RunError(RuntimeError):
    """A run that cannot go on: a failed game, a dead worker or server."""


class GameScheduler:
    """Hands out game numbers; a failed game's number goes back to the front."""

    def __init__(self, numbers: Iterable[int]):
        self._queue = collections.deque(int(n) for n in numbers)
        if len(set(self._queue)) != len(self._queue):
            raise ValueError("game numbers must be unique")
        self.outstanding: set[int] = set()
        self.finished: set[int] = set()

    def next(self) -> int | None:
        """The next number to play, or None when every number is handed out."""
        if not self._queue:
            return None
        number = self._queue.popleft()
        self.outstanding.add(number)
        return number

    def finish(self, number: int) -> bool:
        """Marks a game done; False when it was not outstanding (a duplicate)."""
        if number not in self.outstanding:
            return False
        self.outstanding.remove(number)
        self.finished.add(number)
        return True

    def retry(self, number: int) -> None:
        """Puts an outstanding game back to be played again."""
        self.outstanding.discard(number)
        self._queue.appendleft(number)

    @property
    def remaining(self) -> int:
        return len(self._queue)

    @property
    def done(self) -> bool:
        return not self._queue and not self.outstanding


def build_record(number: int, result: Any, metadata: dict[str, Any], wall_time: float) -> GameRecord:
    """Checks a game returned by the module by replaying it, and makes its record with ``metadata``."""
    from . import Game, __version__

    history, _, payoff = result
    game = Game()
    for i, (player, cell) in enumerate(history):
        if game.current_player != player:
            raise RunError(f"game {number}: move {i} was made by player {player} but player "
                           f"{game.current_player} was to move")
        game.apply(cell)
    if not game.is_over:
        raise RunError(f"game {number}: the record ends before the game does")
    if [np.float32(p) for p in payoff] != [np.float32(p) for p in game.payoff()]:
        raise RunError(f"game {number}: payoff {list(payoff)} differs from the replay's {game.payoff()}")
    metadata = {
        "game": number,
        **metadata,
        "toolkit_version": __version__,
        "wall_time": round(wall_time, 3),
        "finished": round(time.time(), 3),
    }
    return GameRecord.from_result(result, game.score(), metadata)


class GameFailed(RunError):
    """The module ended a game with an error; ``cause`` is what the game's evaluation raised, if anything."""

    def __init__(self, number: int, text: str, cause: BaseException | None):
        super().__init__(text)
        self.number = number
        self.cause = cause


def game_failed(number: int, error: BaseException, cause: BaseException | None) -> GameFailed:
    """The failure of game ``number``: the module's ``error``, and the evaluation's ``cause`` when there is one."""
    text = f"{type(error).__name__}: {error}"
    if cause is not None:
        text = f"{text}\nthe network's evaluation failed:\n{''.join(traceback.format_exception(cause, limit=-3))}"
    return GameFailed(number, text, cause)


def play_on_channel(channel: Any, number: int, settings: SearchSettings, network_name: str) -> GameRecord:
    """Plays self-play game ``number`` with ``channel`` as queue and pipe and returns its checked record.

    Raises :class:`GameFailed` when the module ends the game with an error;
    its text names the evaluation's error when that was the cause."""
    import tilora_self_play

    metadata: dict[str, Any] = {"settings": settings.as_dict(), "network": network_name}
    if settings.seed is not None:
        metadata["seed"] = game_seed(settings.seed, number)
        settings = replace(settings, seed=metadata["seed"])
    start = time.monotonic()
    try:
        result = tilora_self_play.generate_game_data(number, settings, channel, channel)
    except BaseException as error:
        raise game_failed(number, error, channel.error) from error
    return build_record(number, result, metadata, time.monotonic() - start)


def play_game(client: Any, number: int, settings: SearchSettings, network_name: str) -> GameRecord:
    """:func:`play_on_channel` on a channel of ``client`` (a BatchingClient), as one of its games."""
    channel = client.channel()
    client.game_started()
    try:
        return play_on_channel(channel, number, settings, network_name)
    finally:
        client.game_finished()


@dataclass(frozen=True)
class Route:
    """A network that a run's games ask: a picklable factory, and the rule of the searches it serves."""

    network: NetworkFactory
    search: str


class Games(Protocol):
    """What a run plays: the networks its games ask, and how to play one game."""

    @property
    def routes(self) -> Sequence[Route]: ...

    def play(self, number: int, channel: Callable[[int], Any], names: Sequence[str]) -> GameRecord:
        """Plays game ``number``, asking network r through ``channel(r)`` (a queue-and-pipe object);
        ``names[r]`` is that network's name."""


@dataclass
class SelfPlay:
    """Self-play: one network searches for every seat, in one tree (``generate_game_data``)."""

    network: NetworkFactory
    settings: SearchSettings

    @property
    def routes(self) -> tuple[Route]:
        return (Route(self.network, self.settings.search),)

    def play(self, number: int, channel: Callable[[int], Any], names: Sequence[str]) -> GameRecord:
        return play_on_channel(channel(0), number, self.settings, names[0])


def _network_name(network: Any) -> str:
    return str(getattr(network, "name", type(network).__name__))


def _die_with_parent() -> None:
    """Asks Linux to end this process when its parent ends, however the parent ends."""
    try:
        import ctypes

        libc = ctypes.CDLL(None, use_errno=True)
        pr_set_pdeathsig = 1
        libc.prctl(pr_set_pdeathsig, signal.SIGKILL)
    except (OSError, AttributeError):  # not Linux: the parent's clean-up is all there is
        pass
    parent = mp.parent_process()
    if parent is not None and os.getppid() != parent.pid:  # it ended before we asked
        os._exit(1)


def _quiet_process(log_path: str) -> None:
    """Stdout to the null device, stderr to a log file; Ctrl-C is the parent's."""
    _die_with_parent()
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    os.close(devnull)
    log = os.open(log_path, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o600)
    os.dup2(log, 2)
    os.close(log)


def _limit_torch_threads(threads: int) -> None:
    """Keeps a torch network on the CPU from crowding out the games: its thread pool would otherwise
    take every core, next to the worker processes that already do."""
    torch = sys.modules.get("torch")
    if torch is not None:
        torch.set_num_threads(max(1, threads))


def _server_main(route: Route, connections: list, options: ServingOptions, log_path: str) -> None:
    from .networks import check_serves
    from .serving import InferenceServer

    _quiet_process(log_path)
    try:
        network = route.network()
        check_serves(network, route.search)
    except BaseException:  # the workers wait for the network and report this
        for connection in connections:
            connection.send(("failed", traceback.format_exc()))
        raise
    _limit_torch_threads((os.cpu_count() or 1) - len(connections))
    for connection in connections:
        connection.send(("ready", _network_name(network)))
    InferenceServer(network, connections, options.server_max_batch, options.server_max_wait).serve_forever()


def _worker_main(index: int, workers: int, games: Games, connections: list, options: ServingOptions,
                 threads: int, tasks: Any, results: Any, log_path: str) -> None:
    """``connections[r]`` reaches the server of route r, or is None where the worker runs the network itself."""
    _quiet_process(log_path)
    try:
        from .networks import check_serves
        from .serving import ConnectionTransport, LocalTransport

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
                name = _network_name(network)
                transports.append(LocalTransport(network))
            names.append(name)
        _limit_torch_threads((os.cpu_count() or 1) // workers)
    except BaseException as error:
        results.put(("error", index, (None, str(error) if isinstance(error, RunError) else traceback.format_exc())))
        return
    if options.concurrency == "greenlets":
        _play_on_hub(index, games, transports, names, options, threads, tasks, results)
    else:
        _play_on_threads(index, games, transports[0], names[0], options, threads, tasks, results)
    results.put(("done", index, None))


def _report(results: Any, index: int, stats: Any) -> None:
    results.put(("stats", index, (stats.evaluations, stats.cache_hits, stats.batches, stats.positions)))


def _failure_text(error: BaseException) -> str:
    if isinstance(error, GameFailed):
        return str(error)
    return "".join(traceback.format_exception(error))


def _play_on_hub(index: int, games: Games, transports: list, names: list[str], options: ServingOptions,
                 concurrency: int, tasks: Any, results: Any) -> None:
    from .hub import GameHub

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


def _play_on_threads(index: int, games: SelfPlay, transport: Any, network_name: str, options: ServingOptions,
                     threads: int, tasks: Any, results: Any) -> None:
    from .serving import BatchingClient

    client = BatchingClient(transport, options.max_batch, options.max_wait, options.cache_size)

    def play() -> None:
        while True:
            number = tasks.get()
            if number is None:
                return
            try:
                record = play_game(client, number, games.settings, network_name)
            except Exception as error:
                results.put(("error", index, (number, _failure_text(error))))
                return
            _report(results, index, client.stats)
            results.put(("record", index, record))

    players = [threading.Thread(target=play, name=f"game-{i}", daemon=True) for i in range(threads)]
    for thread in players:
        thread.start()
    while alive := [thread for thread in players if thread.is_alive()]:
        alive[0].join(0.5)
        _report(results, index, client.stats)
    _report(results, index, client.stats)


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
    reads (:func:`~tilora_zero.networks.served_convention`)."""
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
    if options.concurrency == "threads" and not isinstance(games, SelfPlay):
        raise ValueError("matches run their games as greenlets; concurrency='threads' is for self-play only")
    stats = RunStats()
    if not numbers:
        return stats
    scheduler = GameScheduler(numbers)
    workers = min(workers, len(numbers))
    threads = min(options.games_per_worker, math.ceil(len(numbers) / workers))
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
            for _ in range(workers * threads):
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
                args=(i, workers, games, connections[i], options, threads, tasks, results, logs[i]))
            process.start()
            processes.append(process)
        signal.pthread_sigmask(signal.SIG_SETMASK, blocked)
        for connection in itertools.chain.from_iterable(connections):
            if connection is not None:
                connection.close()
        hand_out(2 * workers * threads)
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
