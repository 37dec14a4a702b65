"""The batching client, the evaluation cache and the inference server, driven by scripted games."""

from __future__ import annotations

import multiprocessing as mp
import threading
import time

import numpy as np
import pytest

from tilora_zero import Game
from tilora_zero.hub import GameHub
from tilora_zero.serving import (
    BatchingClient,
    ConnectionTransport,
    EvaluationCache,
    InferenceServer,
    LocalTransport,
    RemoteError,
    call_network,
    pack_batch,
    unpack_planes,
)


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


def play_scripted(client: BatchingClient, seed: int, moves: int, asks_per_move: int, errors: list) -> None:
    """A game that asks about its position a few times before each random move."""
    rng = np.random.default_rng(seed)
    channel, game = client.channel(), Game()
    client.game_started()
    try:
        for _ in range(moves):
            for _ in range(asks_per_move):
                channel.put(request(game, seed))
                check_reply(game, channel.recv())
            game.apply(int(rng.choice(game.legal_tiles())))
    except BaseException as error:  # reported to the test thread
        errors.append(error)
    finally:
        client.game_finished()


def run_threads(targets) -> None:
    threads = [threading.Thread(target=t) for t in targets]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(30)
        assert not thread.is_alive(), "a game thread hung"


def test_every_game_gets_the_reply_to_its_own_position():
    transport = RecordingTransport()
    client = BatchingClient(transport, max_batch=4, max_wait=5.0)
    errors: list = []
    run_threads([lambda s=s: play_scripted(client, s, moves=30, asks_per_move=2, errors=errors) for s in range(6)])
    assert errors == []
    stats = client.stats
    assert stats.evaluations == 6 * 30 * 2
    # Each position's second request, and every first move's repeat of the start, come from the cache.
    assert stats.positions + stats.cache_hits == stats.evaluations
    assert stats.cache_hits >= 6 * 30
    assert sum(transport.sizes) == stats.positions and max(transport.sizes) <= 4
    assert stats.batches == len(transport.sizes)


def test_a_repeated_position_is_answered_from_the_cache():
    transport = RecordingTransport()
    client = BatchingClient(transport)
    channel, game = client.channel(), Game()
    client.game_started()
    for _ in range(3):
        channel.put(request(game))
        check_reply(game, channel.recv())
    assert transport.sizes == [1]
    assert (client.stats.evaluations, client.stats.cache_hits, client.stats.positions) == (3, 2, 1)
    assert client.stats.hit_rate == pytest.approx(2 / 3)


def test_without_a_cache_every_request_goes_to_the_network():
    transport = RecordingTransport()
    client = BatchingClient(transport, cache_size=0)
    channel, game = client.channel(), Game()
    client.game_started()
    for _ in range(3):
        channel.put(request(game))
        check_reply(game, channel.recv())
    assert transport.sizes == [1, 1, 1] and client.stats.cache_hits == 0


def test_games_waiting_for_the_same_position_share_one_evaluation():
    transport = RecordingTransport()
    client = BatchingClient(transport, max_wait=5.0)
    for _ in range(3):
        client.game_started()
    replies = []

    def ask():
        channel = client.channel()
        channel.put(request(Game()))
        replies.append(channel.recv())
        client.game_finished()

    run_threads([ask] * 3)
    assert transport.sizes == [1]
    assert len(replies) == 3 and all(r is replies[0] for r in replies)
    assert (client.stats.evaluations, client.stats.cache_hits) == (3, 2)


def positions(count: int) -> list[Game]:
    games, game = [], Game()
    for cell in [0, 1, 2, 3, 4, 19, 18, 17, 16, 15][:count]:
        game.apply(cell)
        games.append(game.copy())
    return games


def test_the_batch_goes_out_when_every_running_game_waits():
    transport = RecordingTransport()
    client = BatchingClient(transport, max_batch=100, max_wait=30.0)
    games = positions(3)
    for _ in games:
        client.game_started()

    def ask(game):
        channel = client.channel()
        channel.put(request(game))
        check_reply(game, channel.recv())
        client.game_finished()

    start = time.monotonic()
    run_threads([lambda g=g: ask(g) for g in games])
    assert transport.sizes == [3]
    assert time.monotonic() - start < 10  # long before max_wait


def test_a_full_batch_goes_out_at_once():
    transport = RecordingTransport()
    client = BatchingClient(transport, max_batch=2, max_wait=30.0)
    games = positions(3)
    for _ in games:
        client.game_started()

    def ask(game):
        channel = client.channel()
        channel.put(request(game))
        check_reply(game, channel.recv())
        client.game_finished()

    run_threads([lambda g=g: ask(g) for g in games])
    assert transport.sizes == [2, 1]


def test_a_lone_request_goes_out_after_max_wait():
    transport = RecordingTransport()
    client = BatchingClient(transport, max_wait=0.05)
    client.game_started()
    client.game_started()  # a second game that never asks
    channel, game = client.channel(), Game()
    channel.put(request(game))
    check_reply(game, channel.recv())
    assert transport.sizes == [1]


def test_a_finishing_game_releases_the_batch_of_the_others():
    transport = RecordingTransport()
    client = BatchingClient(transport, max_wait=30.0)
    client.game_started()
    client.game_started()
    replies = []
    channel = client.channel()
    channel.put(request(Game()))
    waiter = threading.Thread(target=lambda: replies.append(channel.recv()))
    waiter.start()
    time.sleep(0.05)
    assert replies == []
    client.game_finished()
    waiter.join(10)
    assert len(replies) == 1 and transport.sizes == [1]


def test_a_network_error_ends_every_waiting_game_with_it_and_is_not_cached():
    calls = []

    def failing(planes):
        calls.append(len(planes))
        if len(calls) == 1:
            raise ValueError("network exploded")
        return echo_network(planes)

    client = BatchingClient(LocalTransport(failing), max_wait=30.0)
    for _ in range(2):
        client.game_started()
    raised = []

    def ask(game):
        channel = client.channel()
        channel.put(request(game))
        try:
            channel.recv()
        except ValueError as error:
            raised.append(str(error))

    run_threads([lambda g=g: ask(g) for g in positions(2)])
    assert raised == ["network exploded", "network exploded"]
    client.game_finished()
    channel, game = client.channel(), positions(1)[0]
    channel.put(request(game))
    check_reply(game, channel.recv())
    assert calls == [2, 1]


def test_a_network_with_wrong_shapes_is_reported():
    def wrong(planes):
        return np.zeros((len(planes), 399)), np.zeros((len(planes), 4))

    with pytest.raises(ValueError, match=r"logits \(1, 399\).*expected \(1, 400\) and \(1, 4\)"):
        call_network(wrong, pack_batch(Game().planes()[None]))


def test_pack_and_unpack_are_inverse():
    games = positions(4)
    planes = np.stack([g.planes() for g in games])
    packed = pack_batch(planes)
    assert packed.shape == (4, 250) and packed.dtype == np.uint8
    unpacked = unpack_planes(packed)
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


@pytest.fixture
def server_pair(request):
    """An inference server thread with two connected transports."""
    max_wait = getattr(request, "param", 0.2)
    pairs = [mp.Pipe() for _ in range(2)]
    network_calls: list[int] = []

    def counted(planes):
        network_calls.append(len(planes))
        if planes[:, 4].sum() == 0:
            raise RuntimeError("no legal cells")
        return echo_network(planes)

    server = InferenceServer(counted, [s for s, _ in pairs], max_batch=64, max_wait=max_wait)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    transports = [ConnectionTransport(w) for _, w in pairs]
    yield transports, server, network_calls
    for transport in transports:
        transport.close()
    thread.join(10)
    assert not thread.is_alive()


@pytest.mark.parametrize("server_pair", [30.0], indirect=True)  # both send, so it never waits this long
def test_the_server_merges_batches_of_several_workers(server_pair):
    transports, server, network_calls = server_pair
    games = positions(5)
    replies = {}

    def send(i, chosen):
        replies[i] = transports[i].evaluate(pack_batch(np.stack([g.planes() for g in chosen])))

    run_threads([lambda: send(0, games[:2]), lambda: send(1, games[2:])])
    for i, chosen in ((0, games[:2]), (1, games[2:])):
        logits, values = replies[i]
        assert logits.shape == (len(chosen), 400)
        for row, game in enumerate(chosen):
            check_reply(game, (logits[row], values[row]))
    assert sum(network_calls) == 5 and server.positions == 5
    assert network_calls == [5]


@pytest.mark.parametrize("server_pair", [30.0], indirect=True)
def test_the_server_waits_no_longer_once_every_worker_has_sent(server_pair):
    transports, _, network_calls = server_pair
    games = positions(2)
    start = time.monotonic()
    run_threads([lambda i=i: transports[i].evaluate(pack_batch(games[i].planes()[None])) for i in range(2)])
    assert time.monotonic() - start < 10  # long before max_wait
    assert network_calls == [2]


def test_a_server_side_error_is_raised_in_the_worker(server_pair):
    transports, _, _ = server_pair
    planes = np.zeros((1, 5, 20, 20), dtype=np.float32)
    with pytest.raises(RemoteError, match="no legal cells"):
        transports[0].evaluate(pack_batch(planes))
    logits, values = transports[0].evaluate(pack_batch(Game().planes()[None]))
    check_reply(Game(), (logits[0], values[0]))


def test_a_closed_server_connection_raises_instead_of_hanging():
    ours, theirs = mp.Pipe()
    transport = ConnectionTransport(ours)
    theirs.close()
    with pytest.raises(RemoteError, match="inference server"):
        transport.evaluate(pack_batch(Game().planes()[None]))


# The greenlet hub: the same guarantees without threads.


def scripted_play(seed: int, moves: int, asks_per_move: int):
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
    assert hub.stats.positions + hub.stats.cache_hits == hub.stats.evaluations
    assert max(transport.sizes) == 3  # never more games in a batch than run at once
    assert transport.sizes[0] == 1  # the three first requests are the same start position


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
    assert calls == [2, 1]


def test_hub_reports_base_exceptions_of_a_game_without_stopping_the_others():
    class Stop(BaseException):
        pass

    def stopping(channel):
        raise Stop("internal stop")

    outcomes = run_hub(GameHub([RecordingTransport()]), [stopping, scripted_play(1, moves=2, asks_per_move=1)], 2)
    assert isinstance(outcomes[0][2], Stop) and outcomes[1] == (1, 1, None)


@pytest.mark.parametrize("make_channel", ["client", "hub"])
def test_a_channel_refuses_recv_without_put_and_put_twice(make_channel):
    transport = RecordingTransport()
    if make_channel == "client":
        client = BatchingClient(transport)
        client.game_started()
        channel = client.channel()
    else:
        from tilora_zero.hub import HubGame

        channel = HubGame(GameHub([transport]), tag=0).channel()
    with pytest.raises(RuntimeError, match="recv\\(\\) called without a request"):
        channel.recv()
    channel.put(request(Game()))
    with pytest.raises(RuntimeError, match="put\\(\\) called twice"):
        channel.put(request(Game()))
    if make_channel == "client":
        check_reply(Game(), channel.recv())
        assert transport.sizes == [1]
