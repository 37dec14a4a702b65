"""Serving: the evaluation cache, the hub's batches, the merger and the inference server over connections."""

from __future__ import annotations

import multiprocessing as mp
import threading

import numpy as np
import pytest

from tilora_zero import Game
from tilora_zero.serving.cache import EvaluationCache
from tilora_zero.serving.codec import call_network, pack_batch, unpack_planes
from tilora_zero.serving.hub import GameHub, HubGame
from tilora_zero.serving.merger import BatchMerger
from tilora_zero.serving.transports import ConnectionTransport, LocalTransport, RemoteError, serve_connections

FOREVER = 3600.0  # a wait that no test outlasts: reaching it is the fault


def echo_network(planes: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Logits: the legal plane; values: the tile count of planes 0-3, then 0, 1, 2."""
    batch = planes.shape[0]
    logits = planes[:, 4].reshape(batch, 400).copy()
    tiles = planes[:, :4].reshape(batch, -1).sum(axis=1)
    values = np.stack([tiles, np.zeros(batch), np.ones(batch), np.full(batch, 2.0)], axis=1)
    return logits, values


class RecordingTransport(LocalTransport):
    """Runs echo_network and keeps the size of every batch."""

    def __init__(self, network=echo_network):
        super().__init__(network)
        self.sizes: list[int] = []

    def evaluate(self, packed):
        self.sizes.append(len(packed))
        return super().evaluate(packed)


def request(game: Game, game_id: int = 0) -> tuple[int, list]:
    return game_id, game.planes().reshape(5, 400).tolist()


def check_reply(game: Game, reply) -> None:
    logits, values = reply
    planes = game.planes()
    assert logits.dtype == np.float32 and logits.flags.c_contiguous
    assert np.array_equal(logits, planes[4].reshape(400))
    assert values.tolist() == [float(planes[:4].sum()), 0.0, 1.0, 2.0]


def positions(count: int) -> list[Game]:
    games, game = [], Game()
    for cell in [0, 1, 2, 3, 4, 19, 18, 17, 16, 15][:count]:
        game.apply(cell)
        games.append(game.copy())
    return games


def packed(games: list[Game]) -> np.ndarray:
    return pack_batch(np.stack([game.planes() for game in games]))


def test_a_network_with_wrong_shapes_is_reported():
    def wrong(planes):
        return np.zeros((len(planes), 399)), np.zeros((len(planes), 4))

    with pytest.raises(ValueError, match=r"logits \(1, 399\).*expected \(1, 400\) and \(1, 4\)"):
        call_network(wrong, pack_batch(Game().planes()[None]))


def test_pack_and_unpack_are_inverse():
    planes = np.stack([g.planes() for g in positions(4)])
    packed_planes = pack_batch(planes)
    assert packed_planes.shape == (4, 250) and packed_planes.dtype == np.uint8
    unpacked = unpack_planes(packed_planes)
    assert unpacked.dtype == np.float32 and np.array_equal(unpacked, planes)


def test_cache_evicts_the_least_recently_used_entry():
    cache = EvaluationCache(2)
    cache.put(b"a", (1, 1))
    cache.put(b"b", (2, 2))
    assert cache.get(b"a") == (1, 1)  # b is now the oldest
    cache.put(b"c", (3, 3))
    assert cache.get(b"b") is None and cache.get(b"a") == (1, 1) and cache.get(b"c") == (3, 3)
    assert len(cache) == 2
    empty = EvaluationCache(0)
    empty.put(b"a", (1, 1))
    assert len(empty) == 0 and empty.get(b"a") is None


# The hub: games as greenlets, batched at every round.


def scripted_play(seed: int, moves: int, asks_per_move: int):
    """A game that asks about its position a few times before each random move."""
    def play(channel):
        rng = np.random.default_rng(seed)
        game = Game()
        for _ in range(moves):
            for _ in range(asks_per_move):
                channel.put(request(game, seed))
                check_reply(game, channel.recv())
            game.apply(int(rng.choice(game.legal_tiles())))
        return seed
    return play


def run_hub(hub: GameHub, plays: list, concurrency: int) -> list:
    """Runs each ``play(channel)`` as a game on route 0; the outcomes are (index, result, error)."""
    queue = [(i, lambda game, play=play: play(game.channel())) for i, play in enumerate(plays)]
    outcomes = []

    def next_game():
        return queue.pop(0) if queue else None

    hub.run(next_game, concurrency, lambda game, result, error: outcomes.append((game.tag, result, error)))
    return outcomes


def test_hub_games_get_their_own_replies_in_batches_of_the_waiting_games():
    transport = RecordingTransport()
    hub = GameHub([transport], max_batch=64)
    outcomes = run_hub(hub, [scripted_play(s, moves=20, asks_per_move=2) for s in range(5)], concurrency=3)
    assert sorted(outcomes) == [(s, s, None) for s in range(5)]
    assert hub.stats.evaluations == 5 * 20 * 2
    # Each position's second request comes from the cache, as do the repeats of the start position.
    assert hub.stats.positions + hub.stats.cache_hits == hub.stats.evaluations
    assert hub.stats.cache_hits >= 5 * 20
    assert max(transport.sizes) == 3  # never more games in a batch than run at once
    assert transport.sizes[0] == 1  # the three first requests are the same start position
    assert hub.stats.batches == len(transport.sizes) and sum(transport.sizes) == hub.stats.positions


@pytest.mark.parametrize("cache_size, sizes", [(32768, [1]), (0, [1, 1, 1])])
def test_a_repeated_position_is_answered_from_the_cache_unless_there_is_none(cache_size, sizes):
    transport = RecordingTransport()
    hub = GameHub([transport], cache_size=cache_size)
    run_hub(hub, [scripted_play(0, moves=1, asks_per_move=3)], concurrency=1)
    assert transport.sizes == sizes
    assert (hub.stats.evaluations, hub.stats.cache_hits) == (3, 3 - len(sizes))


def test_hub_splits_a_round_larger_than_max_batch():
    transport = RecordingTransport()
    hub = GameHub([transport], max_batch=2)
    plays = []
    for game in positions(5):
        def play(channel, game=game):
            channel.put(request(game))
            check_reply(game, channel.recv())
        plays.append(play)
    run_hub(hub, plays, concurrency=5)
    assert transport.sizes == [2, 2, 1]


def test_hub_ends_the_waiting_games_with_a_network_error_and_goes_on():
    calls = []

    def failing(planes):
        calls.append(len(planes))
        if len(calls) == 1:
            raise ValueError("network exploded")
        return echo_network(planes)

    def play(channel, game):
        channel.put(request(game))
        try:
            channel.recv()
        except ValueError as error:
            assert channel.error is error
            raise
        return "ok"

    games = positions(3)
    hub = GameHub([LocalTransport(failing)])
    outcomes = run_hub(hub, [lambda c, g=g: play(c, g) for g in games], concurrency=2)
    assert [(tag, result, str(error)) for tag, result, error in outcomes] == [
        (0, None, "network exploded"), (1, None, "network exploded"), (2, "ok", "None")]
    assert calls == [2, 1]  # the failed positions were not cached


def test_hub_reports_base_exceptions_of_a_game_without_stopping_the_others():
    class Stop(BaseException):
        pass

    def stopping(channel):
        raise Stop("internal stop")

    outcomes = run_hub(GameHub([RecordingTransport()]), [stopping, scripted_play(1, moves=2, asks_per_move=1)], 2)
    assert isinstance(outcomes[0][2], Stop) and outcomes[1] == (1, 1, None)


def test_a_channel_refuses_recv_without_put_and_put_twice():
    channel = HubGame(GameHub([RecordingTransport()]), tag=0).channel()
    with pytest.raises(RuntimeError, match="recv\\(\\) called without a request"):
        channel.recv()
    channel.put(request(Game()))
    with pytest.raises(RuntimeError, match="put\\(\\) called twice"):
        channel.put(request(Game()))
    assert isinstance(channel.error, RuntimeError)


# The merger: the batches of several senders in one network call.


class TaggingNetwork:
    """Answers each position with its tag (the first packed byte, read back from the planes); records batch
    sizes. With a gate, a call waits for it to open; ``entered`` tells that a call has begun."""

    def __init__(self, gate: threading.Event | None = None):
        self.sizes: list[int] = []
        self.gate = gate
        self.entered = threading.Event()

    def __call__(self, planes):
        self.entered.set()
        if self.gate is not None:
            assert self.gate.wait(30)
        self.sizes.append(len(planes))
        bits = planes.reshape(len(planes), -1)[:, :8].astype(np.int64)
        tags = (bits * (1 << np.arange(7, -1, -1))).sum(axis=1)
        logits = np.repeat(tags[:, None], 400, axis=1).astype(np.float32)
        return logits, np.repeat(tags[:, None], 4, axis=1).astype(np.float32)


def tagged(*tags: int) -> np.ndarray:
    """One packed position per tag, its first byte being the tag."""
    rows = np.zeros((len(tags), 250), np.uint8)
    rows[:, 0] = tags
    return rows


class Reply:
    """What the merger answers one batch, and the event of its arrival."""

    def __init__(self):
        self.arrived = threading.Event()
        self.value = None

    def __call__(self, value) -> None:
        self.value = value
        self.arrived.set()

    def get(self):
        assert self.arrived.wait(30), "no reply"
        return self.value


def submit(merger: BatchMerger, *batches: np.ndarray) -> list[Reply]:
    replies = [Reply() for _ in batches]
    for reply, batch in zip(replies, batches):
        merger.submit(batch, reply)
    return replies


def test_batches_queued_while_the_network_runs_are_merged_and_answered_row_by_row():
    gate = threading.Event()
    network = TaggingNetwork(gate)
    merger = BatchMerger(network, max_batch=64, max_wait=0.0)
    replies = submit(merger, tagged(1))
    assert network.entered.wait(30)
    replies += submit(merger, tagged(2, 3), tagged(4), tagged(5, 6, 7))
    gate.set()
    for reply, tags in zip(replies, [[1], [2, 3], [4], [5, 6, 7]]):
        logits, values = reply.get()
        assert logits.shape == (len(tags), 400) and values.shape == (len(tags), 4)
        assert logits[:, 0].tolist() == tags and values[:, 3].tolist() == tags
    assert network.sizes == [1, 6]
    assert (merger.requests, merger.calls, merger.positions) == (4, 2, 7)
    merger.close()


@pytest.mark.parametrize("max_batch, sizes, calls", [
    (4, [3, 3, 1], [3, 4]),  # the second batch does not fit beside the first
    (4, [6, 1], [6, 1]),  # a batch larger than max_batch goes alone
    (8, [2, 2, 2, 2, 2], [8, 2]),
])
def test_a_network_call_holds_at_most_max_batch_positions_unless_one_batch_is_larger(max_batch, sizes, calls):
    gate = threading.Event()
    network = TaggingNetwork(gate)
    merger = BatchMerger(network, max_batch=max_batch, max_wait=0.0)
    blocker = submit(merger, tagged(0))
    assert network.entered.wait(30)
    tag = iter(range(1, 100))
    replies = submit(merger, *(tagged(*(next(tag) for _ in range(n))) for n in sizes))
    gate.set()
    for reply in blocker + replies:
        reply.get()
    assert network.sizes == [1, *calls]
    merger.close()


@pytest.mark.parametrize("senders, max_batch, max_wait, batches, calls", [
    (2, 64, FOREVER, [1, 1], [2]),  # both senders have sent: the call goes
    (None, 3, FOREVER, [3], [3]),  # a full batch goes
    (2, 64, 0.01, [1], [1]),  # a lone batch goes once max_wait has passed
])
def test_the_merger_waits_for_every_sender_until_max_batch_or_max_wait(senders, max_batch, max_wait, batches,
                                                                       calls):
    network = TaggingNetwork()
    merger = BatchMerger(network, max_batch=max_batch, max_wait=max_wait, senders=senders)
    for reply in submit(merger, *(tagged(*range(n)) for n in batches)):
        reply.get()
    assert network.sizes == calls
    merger.close()


def test_a_sender_that_leaves_is_no_longer_waited_for():
    network = TaggingNetwork()
    merger = BatchMerger(network, max_wait=FOREVER, senders=2)
    reply = submit(merger, tagged(1))[0]
    merger.sender_left()
    assert reply.get()[0][:, 0].tolist() == [1]
    merger.close()


def test_a_network_error_ends_every_batch_of_its_call_and_the_merger_serves_on():
    gate = threading.Event()
    network = TaggingNetwork(gate)
    calls = []

    def failing(planes):
        calls.append(len(planes))
        if len(calls) == 1:
            network.entered.set()
            assert gate.wait(30)
            raise RuntimeError("the network is broken")
        return network(planes)

    merger = BatchMerger(failing, max_batch=8, max_wait=0.0)
    first = submit(merger, tagged(1))
    assert network.entered.wait(30)
    merged = submit(merger, tagged(2), tagged(3))
    gate.set()
    assert [str(reply.get()) for reply in first] == ["the network is broken"]
    assert [reply.get()[0][:, 0].tolist() for reply in merged] == [[2], [3]]
    assert calls == [1, 2]
    merger.close()


def test_closing_the_merger_ends_waiting_batches_and_refuses_new_ones():
    gate = threading.Event()
    network = TaggingNetwork(gate)
    merger = BatchMerger(network, max_batch=1, max_wait=0.0)
    first = submit(merger, tagged(1))[0]
    assert network.entered.wait(30)
    queued = submit(merger, tagged(2))[0]
    closer = threading.Thread(target=merger.close)
    closer.start()
    gate.set()
    closer.join(30)
    assert first.get()[0][:, 0].tolist() == [1]
    assert isinstance(queued.get(), RuntimeError) and "closed" in str(queued.get())
    with pytest.raises(RuntimeError, match="the inference server is closed"):
        merger.submit(tagged(3), lambda reply: None)


# The inference server process's loop, here on a thread, and the workers' transports.


@pytest.fixture
def server():
    """An inference server for two workers, which never waits for a worker that has not sent: its
    transports, and the sizes of its network calls."""
    pairs = [mp.Pipe() for _ in range(2)]
    network_calls: list[int] = []

    def counted(planes):
        network_calls.append(len(planes))
        if planes[:, 4].sum() == 0:
            raise RuntimeError("no legal cells")
        return echo_network(planes)

    merger = BatchMerger(counted, max_batch=64, max_wait=FOREVER, senders=2)
    thread = threading.Thread(target=serve_connections, args=(merger, [s for s, _ in pairs]), daemon=True)
    thread.start()
    transports = [ConnectionTransport(w) for _, w in pairs]
    yield transports, network_calls
    for transport in transports:
        transport.close()
    thread.join(30)
    assert not thread.is_alive()


def run_threads(targets) -> None:
    threads = [threading.Thread(target=t) for t in targets]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(30)
        assert not thread.is_alive(), "a request hung"


def test_the_server_merges_the_batches_of_the_workers_as_soon_as_every_worker_has_sent(server):
    transports, network_calls = server
    games = positions(5)
    chosen = [games[:2], games[2:]]
    replies = {}
    run_threads([lambda i=i: replies.__setitem__(i, transports[i].evaluate(packed(chosen[i]))) for i in range(2)])
    for i in range(2):
        logits, values = replies[i]
        assert logits.shape == (len(chosen[i]), 400)
        for row, game in enumerate(chosen[i]):
            check_reply(game, (logits[row], values[row]))
    assert network_calls == [5]


def test_a_server_side_error_is_raised_in_the_worker_and_a_departed_worker_is_not_waited_for(server):
    transports, network_calls = server
    transports[1].close()
    with pytest.raises(RemoteError, match="no legal cells"):
        transports[0].evaluate(pack_batch(np.zeros((1, 5, 20, 20), dtype=np.float32)))
    logits, values = transports[0].evaluate(packed([Game()]))
    check_reply(Game(), (logits[0], values[0]))
    assert network_calls == [1, 1]


def test_a_closed_server_connection_raises_instead_of_hanging():
    ours, theirs = mp.Pipe()
    transport = ConnectionTransport(ours)
    theirs.close()
    with pytest.raises(RemoteError, match="the inference server closed the connection"):
        transport.evaluate(pack_batch(Game().planes()[None]))
