"""Networks for the toolkit's runner tests; module-level so that worker processes can import them."""

from __future__ import annotations

import os

import numpy as np


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
