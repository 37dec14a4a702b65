"""Shared pieces of the toolkit's tests: random games, and networks for the runner's tests (module-level so
that worker processes can import them)."""

from __future__ import annotations

import os

import numpy as np

from tilora_zero import Game


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


def uniform_network():
    def network(planes):
        batch = len(planes)
        return np.zeros((batch, 400), np.float32), np.zeros((batch, 4), np.float32)

    network.name = "zeros"
    return network
