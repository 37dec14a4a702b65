"""A page's server in a background thread, JSON requests to it, and an opponent that thinks until told."""
from __future__ import annotations

import json
import threading
import urllib.error
import urllib.request
from contextlib import contextmanager

from tilora_zero import Game
from tilora_zero.web.opponent import Opponent
from tilora_zero.web.server import make_server, url_of


@contextmanager
def serving(app):
    server = make_server(app, 0)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield url_of(server)
    finally:
        server.shutdown()
        server.server_close()


def request(url: str, path: str, body: bytes | dict | None = None) -> tuple[int, dict]:
    """(status, JSON answer) of a GET, or of a POST when ``body`` is given."""
    data = body if isinstance(body, bytes) or body is None else json.dumps(body).encode()
    req = urllib.request.Request(url + path.lstrip("/"), data=data, method="GET" if body is None else "POST")
    try:
        with urllib.request.urlopen(req, timeout=60) as reply:
            return reply.status, json.loads(reply.read())
    except urllib.error.HTTPError as error:
        return error.code, json.loads(error.read())


class GatedOpponent(Opponent):
    """Greedy, each turn waiting until the test opens the gate."""

    def __init__(self):
        super().__init__("greedy", 4)
        self.asked, self.gate = threading.Event(), threading.Event()

    def turn(self, cells, seed):
        self.asked.set()
        assert self.gate.wait(30)
        return super().turn(cells, seed)


def replayed(moves) -> Game:
    """The engine's game after the (player, cell) moves of a state."""
    game = Game()
    for _, cell in moves:
        game.apply(cell)
    return game
