"""Fakes for calling tilora_self_play.generate_game_data in-process.

A FakeQueue keeps every request put on it; a FakePipe answers each recv with
a reply computed from the last request (or raises on a chosen call).
"""

from __future__ import annotations

import dataclasses
from typing import Any, Callable

BOARD_CELLS = 400
LEGAL_PLANE = 4


@dataclasses.dataclass
class SearchConfig:
    sims_per_move: Any = 4
    sample_moves: Any = 30
    c_base: Any = 19652.0
    c_init: Any = 1.25
    dirichlet_alpha: Any = 0.3
    exploration_fraction: Any = 0.25


def uniform_reply(request) -> list:
    """Logit 0 on every cell, values [0.1, 0.2, 0.3, 0.4]."""
    return [[0.0] * BOARD_CELLS, [0.1, 0.2, 0.3, 0.4]]


class FakeQueue:
    def __init__(self) -> None:
        self.requests: list = []

    def put(self, request) -> None:
        self.requests.append(request)


class FakePipe:
    """Answers from `respond(request)`; on call number `fail_on` (0-based)
    returns `failure(request)` instead, which may raise."""

    def __init__(
        self,
        queue: FakeQueue,
        respond: Callable = uniform_reply,
        fail_on: int | None = None,
        failure: Callable | None = None,
    ) -> None:
        self.queue = queue
        self.respond = respond
        self.fail_on = fail_on
        self.failure = failure
        self.calls = 0

    def recv(self):
        call = self.calls
        self.calls += 1
        request = self.queue.requests[-1]
        if call == self.fail_on:
            return self.failure(request)
        return self.respond(request)


def raising(exception: BaseException) -> Callable:
    def fail(request):
        raise exception

    return fail


def returning(reply) -> Callable:
    return lambda request: reply


def legal_cells(request) -> list[int]:
    """The cells marked on the legal-tile plane of a request."""
    return [k for k, v in enumerate(request[1][LEGAL_PLANE]) if v == 1.0]
