"""Fakes for calling tilora_self_play.generate_game_data in-process.

A FakeQueue keeps every request put on it; a FakePipe answers each recv with
a reply computed from the last request (or raises on a chosen call).
"""

from __future__ import annotations

import dataclasses
from typing import Any, Callable

from tilora_zero.settings import SearchSettings

BOARD_CELLS = 400
LEGAL_PLANE = 4

# The settings the module requires; the others (rule, seed, first-play value, packed planes) are opt-in.
FIELDS = ("sims_per_move", "sample_moves", "c_base", "c_init", "dirichlet_alpha", "exploration_fraction")

# A config of the required settings alone, holding any value (the module's checks are under test), with
# the toolkit's defaults but four simulations.
SearchConfig = dataclasses.make_dataclass(
    "SearchConfig", [(name, Any, dataclasses.field(default=getattr(SearchSettings(sims_per_move=4), name)))
                     for name in FIELDS])


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
