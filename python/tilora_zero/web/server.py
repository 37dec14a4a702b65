"""The page's HTTP server: its two static files and a JSON API, on 127.0.0.1 only.

Both:
    GET  /api/board      the board, the pieces and the page's mode ("play" or "view")
Play (:class:`~.session.PlaySession`):
    GET  /api/state      the game as the page draws it
    POST /api/place      {"cells": [...]}: the person lays a whole placement
    POST /api/lay        {"cell": N}: the person lays one cell
    POST /api/opponent   {"version": V} (optional): the opponent lays one placement for the seat to move
    GET  /api/hint       a checkpoint opponent's network on the position
    POST /api/undo, /api/new
View (:class:`~.replays.RecordedGames`):
    GET  /api/games, /api/game?number=K

A refused request answers 400, 404 or 413 with {"error": text} and changes nothing; an unexpected failure
answers 500 with one line, never a traceback. A page closed before its answer is written costs nothing
but the answer.
"""
from __future__ import annotations

import json
from functools import partial
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from importlib import resources
from typing import Any
from urllib.parse import parse_qs, urlparse

from ..board import BOARD_SIDE, START_CORNERS
from ..data.records import RecordError
from ..data.viewer import COLOUR_NAMES, EMPTY_RGB, RGB
from .coordinates import COLUMN_LETTERS
from .pieces import CATALOGUE_ROWS
from .session import PlayError, PlaySession

HOST = "127.0.0.1"
SCRIPTS = ("page.js", "calls.js", "board.js", "tray.js", "play.js", "view.js")
STATIC = {"/": ("page.html", "text/html; charset=utf-8"),
          **{f"/{name}": (name, "text/javascript; charset=utf-8") for name in SCRIPTS}}
MOST_BODY_BYTES = 4096


class RequestError(Exception):
    def __init__(self, status: HTTPStatus, text: str):
        super().__init__(text)
        self.status = status


def board_info(app: Any) -> dict[str, Any]:
    """What the page needs to draw any board (the side, colours, start corners and the pieces) and whether it
    plays a game or shows recorded ones."""
    return {"mode": "play" if isinstance(app, PlaySession) else "view", "side": BOARD_SIDE, "colours": list(RGB),
            "colour_names": list(COLOUR_NAMES), "empty": EMPTY_RGB, "start_corners": START_CORNERS.tolist(),
            "pieces": list(CATALOGUE_ROWS), "columns": COLUMN_LETTERS}


class Handler(BaseHTTPRequestHandler):
    server_version = "tilora-zero"

    def __init__(self, *args, app, **kwargs):
        self.app = app  # a PlaySession or RecordedGames
        super().__init__(*args, **kwargs)

    def log_message(self, format: str, *args: Any) -> None:  # the terminal stays the person's
        pass

    def do_GET(self) -> None:
        self._answer(self._get)

    def do_POST(self) -> None:
        self._answer(self._post)

    def _answer(self, route) -> None:
        url = urlparse(self.path)
        try:
            if self.command == "GET" and url.path == "/favicon.ico":  # the page has none; browsers ask anyway
                self._send(HTTPStatus.NO_CONTENT, b"", "image/x-icon")
                return
            if self.command == "GET" and url.path in STATIC:
                name, kind = STATIC[url.path]
                self._send(HTTPStatus.OK, resources.files(__package__).joinpath(name).read_bytes(), kind)
                return
            body = route(url.path, parse_qs(url.query))
            status = HTTPStatus.OK
        except RequestError as error:
            status, body = error.status, {"error": str(error)}
        except (PlayError, RecordError) as error:
            status, body = HTTPStatus.BAD_REQUEST, {"error": str(error)}
        except Exception as error:  # the page shows one line, never a traceback
            status, body = HTTPStatus.INTERNAL_SERVER_ERROR, {"error": f"internal error: {error}"}
        self._send(status, json.dumps(body).encode(), "application/json")

    def _send(self, status: HTTPStatus, data: bytes, kind: str) -> None:
        try:
            self.send_response(status)
            self.send_header("Content-Type", kind)
            self.send_header("Content-Length", str(len(data)))
            self.send_header("Cache-Control", "no-store")
            self.end_headers()
            self.wfile.write(data)
        except ConnectionError:  # the page was closed or reloaded while its answer was made
            self.close_connection = True

    def _play(self) -> PlaySession:
        if not isinstance(self.app, PlaySession):
            raise RequestError(HTTPStatus.NOT_FOUND, f"{self.path}: this server shows recorded games")
        return self.app

    def _get(self, path: str, query: dict) -> Any:
        if path == "/api/board":
            return board_info(self.app)
        if path == "/api/state":
            return self._play().state()
        if path == "/api/hint":
            if not self._play().can_hint:
                raise RequestError(HTTPStatus.NOT_FOUND, f"no hint: the opponent {self.app.opponent.label} has no network")
            return self.app.hint()
        if isinstance(self.app, PlaySession):
            raise RequestError(HTTPStatus.NOT_FOUND, f"no such page: {path}")
        if path == "/api/games":
            return self.app.listing()
        if path == "/api/game":
            try:
                number = int(query["number"][0])
                return self.app.game(number)
            except (KeyError, ValueError):
                raise RequestError(HTTPStatus.NOT_FOUND, f"no game {query.get('number', [''])[0]!r} here") from None
        raise RequestError(HTTPStatus.NOT_FOUND, f"no such page: {path}")

    def _post(self, path: str, query: dict) -> Any:
        session = self._play()
        if path == "/api/lay":
            return session.lay(self._json().get("cell"))
        if path == "/api/place":
            return session.place(self._json().get("cells"))
        if path == "/api/opponent":
            return session.opponent_turn(self._json().get("version"))
        actions = {"/api/undo": session.undo, "/api/new": session.new_game}
        if path not in actions:
            raise RequestError(HTTPStatus.NOT_FOUND, f"no such action: {path}")
        return actions[path]()

    def _json(self) -> dict:
        length = self.headers.get("Content-Length") or "0"
        if not (length.isascii() and length.isdigit()):  # a negative one would read until the client hangs up
            raise RequestError(HTTPStatus.BAD_REQUEST, f"Content-Length is a number of bytes, got {length!r}")
        if int(length) > MOST_BODY_BYTES:
            raise RequestError(HTTPStatus.REQUEST_ENTITY_TOO_LARGE, f"a request body is at most {MOST_BODY_BYTES} bytes")
        try:
            body = json.loads(self.rfile.read(int(length)) or b"{}")
        except ValueError:
            raise RequestError(HTTPStatus.BAD_REQUEST, "the request body is not JSON") from None
        except RecursionError:
            raise RequestError(HTTPStatus.BAD_REQUEST, "the request body's JSON nests too deep") from None
        if not isinstance(body, dict):
            raise RequestError(HTTPStatus.BAD_REQUEST, "the request body is a JSON object")
        return body


def make_server(app: Any, port: int) -> ThreadingHTTPServer:
    """A server for ``app`` on 127.0.0.1:``port`` (0: any free port); OSError when the port is taken."""
    server = ThreadingHTTPServer((HOST, port), partial(Handler, app=app))
    server.daemon_threads = True
    return server


def url_of(server: ThreadingHTTPServer) -> str:
    return f"http://{HOST}:{server.server_address[1]}/"
