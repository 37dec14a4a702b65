"""Shared pieces of the toolkit's tests: random games, and networks for the runner's and the Ray backend's
tests (module-level so that worker processes can import them; the Ray tests pickle this module by value,
so that actors need not import it)."""

from __future__ import annotations

import os
import signal
import time
from pathlib import Path

import numpy as np

from tilora_zero import Game


def assert_replays_to_its_payoff(record) -> None:
    """Replays a game record through the engine: its moves, its payoff and scores, and its visit shares. A
    searched move's shares cover the legal cells (under the placement tree: of a turn's start, where alone
    it searches) and sum to 1."""
    placements = record.metadata.get("settings", {}).get("tree") == "placements"
    game = Game()
    for move, (player, cell) in enumerate(zip(record.players.tolist(), record.cells.tolist())):
        assert game.current_player == player
        cells, shares = record.policy(move)
        if record.searched[move]:
            assert sorted(cells.tolist()) == game.legal_tiles().tolist()
            assert abs(float(shares.sum()) - 1.0) < 1e-5
            assert not (placements and game.turn_started)
        game.apply(cell)
    assert game.is_over and record.searched.any()
    assert record.payoff.tolist() == game.payoff() and record.scores.tolist() == game.score()


def random_game(seed: int, moves: int | None = None) -> list[int]:
    """The cells of a game of uniformly random legal tiles (to the end, or `moves` long)."""
    rng = np.random.default_rng(seed)
    game = Game()
    cells: list[int] = []
    while not game.is_over and (moves is None or len(cells) < moves):
        cell = int(rng.choice(game.legal_tiles()))
        game.apply(cell)
        cells.append(cell)
    return cells


class FailingNetwork:
    name = "failing"

    def __call__(self, planes):
        raise RuntimeError("the network is broken")


def failing_network() -> FailingNetwork:
    return FailingNetwork()


def dying_network():
    """Ends its process on its first evaluation, as a crash would."""

    def network(planes):
        os._exit(3)

    return network


class ZeroNetwork:
    """The uniform network's answer, under a name of its own."""

    name = "zeros"

    def __call__(self, planes):
        batch = len(planes)
        return np.zeros((batch, 400), np.float32), np.zeros((batch, 4), np.float32)


def uniform_network() -> ZeroNetwork:
    return ZeroNetwork()


def unbuildable_network():
    raise OSError("no weights here")


class CrashOnce:
    """Builds networks whose process is killed (SIGKILL) at its ``after``-th network call.

    Only one process in all is killed: the first to create ``marker``. Every
    network built after that, a restarted server's, takes ``rebuild_delay``
    seconds to build."""

    def __init__(self, marker: Path, after: int, rebuild_delay: float = 0.0):
        self.marker = Path(marker)
        self.after = after
        self.rebuild_delay = rebuild_delay

    def __call__(self) -> "_CrashingNetwork":
        if self.marker.exists():
            time.sleep(self.rebuild_delay)
        return _CrashingNetwork(self.marker, self.after)


class _CrashingNetwork(ZeroNetwork):
    def __init__(self, marker: Path, after: int):
        self.marker = marker
        self.after = after
        self.calls = 0

    def __call__(self, planes):
        self.calls += 1
        if self.calls == self.after:
            try:
                os.close(os.open(self.marker, os.O_CREAT | os.O_EXCL))
            except FileExistsError:
                pass  # another process was the one
            else:
                os.kill(os.getpid(), signal.SIGKILL)
        return super().__call__(planes)
