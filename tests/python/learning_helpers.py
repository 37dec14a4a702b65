"""Shared pieces of the learning tests: in-process serving, stub networks.

The stub networks live here (not in a test module) so that the runner's spawned
worker processes can unpickle them.
"""
from __future__ import annotations

import numpy as np

from tilora_zero.board import START_CORNERS
from tilora_zero.board.frames import mover_to_absolute, movers_from_planes
from tilora_zero.networks import check_planes, serve_values


class InProcessChannel:
    """The module's queue and pipe in one object, answering each request with `network`."""

    def __init__(self, network):
        self.network = network
        self.pending = None
        self.requests = 0

    def put(self, request) -> None:
        from tilora_zero.serving.codec import unpack_planes

        planes = request[1]
        if isinstance(planes, bytes):  # the toolkit's settings ask for packed planes
            self.pending = unpack_planes(np.frombuffer(planes, dtype=np.uint8))
        else:
            self.pending = np.asarray(planes, dtype=np.float32).reshape(1, 5, 20, 20)
        self.requests += 1

    def recv(self):
        logits, values = self.network(self.pending)
        return logits[0], values[0]


class BelowParNetwork:
    """Uniform policy; believes the player to move gets a 0.1 share and the others 0.3 each."""

    MOVER_FRAME_SHARES = np.array([0.3, 0.1, 0.3, 0.3], dtype=np.float32)

    def __init__(self, value_convention: str = "centred"):
        self.value_convention = value_convention
        self.name = f"below-par[{value_convention}]"

    def __call__(self, planes):
        batch = check_planes(planes)
        shares = np.broadcast_to(self.MOVER_FRAME_SHARES, (len(batch), 4))
        values = mover_to_absolute(shares, movers_from_planes(batch))
        return np.zeros((len(batch), 400), dtype=np.float32), serve_values(values, self.value_convention)


class CrampedNetwork:
    """A deliberately bad player: lays the legal cell nearest its own start corner, preferring
    cells with few legal neighbours (small pieces packed into its corner); values at par."""

    name = "cramped"

    def __call__(self, planes):
        batch = check_planes(planes)
        movers = movers_from_planes(batch)
        rows, cols = np.divmod(np.arange(400), 20)
        corner_rows, corner_cols = np.divmod(START_CORNERS[movers], 20)
        distance = np.abs(rows[None, :] - corner_rows[:, None]) + np.abs(cols[None, :] - corner_cols[:, None])
        legal = np.pad(batch[:, 4], ((0, 0), (1, 1), (1, 1)))
        neighbours = legal[:, :-2, 1:-1] + legal[:, 2:, 1:-1] + legal[:, 1:-1, :-2] + legal[:, 1:-1, 2:]
        logits = -1.0 * distance - 2.0 * neighbours.reshape(len(batch), 400)
        return logits.astype(np.float32), np.zeros((len(batch), 4), dtype=np.float32)
