"""One game and its network in the calling thread: each position answered the moment it is asked.

For a person waiting on one search, or a study timing one game: no batching, no cache, no other games.
"""
from __future__ import annotations

from typing import Callable

import numpy as np

from .codec import Reply, call_network


class DirectChannel:
    """The module's inference queue and pipe in one object: ``put`` keeps the packed planes of the position,
    ``recv`` answers them with ``network`` (a batch of one)."""

    def __init__(self, network: Callable[[np.ndarray], Reply]):
        self.network = network
        self.planes: np.ndarray | None = None

    def put(self, request: tuple) -> None:
        self.planes = np.frombuffer(request[1], dtype=np.uint8).reshape(1, -1)

    def recv(self) -> Reply:
        logits, values = call_network(self.network, self.planes)
        return logits[0], values[0]
