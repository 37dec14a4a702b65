"""What a person's browser or command line can get wrong: malformed requests, a page closed before its
answer, ports out of range, a misspelt opponent."""
from __future__ import annotations

import http.client
import socket
import struct
import threading
import urllib.request
from urllib.parse import urlparse

import pytest
from test_web_server import records, run_cli  # noqa: F401 (fixture)
from web_helpers import GatedOpponent, request, serving

from tilora_zero.web.opponent import Opponent
from tilora_zero.web.server import make_server, url_of
from tilora_zero.web.session import PlaySession


@pytest.fixture
def session():
    return PlaySession(Opponent("greedy", 4), 0, seed=1)


@pytest.mark.parametrize("headers, body, status, error", [
    ({}, b"[" * 1500 + b"]" * 1500, 400, "the request body's JSON nests too deep"),
    ({"Content-Length": "abc"}, b"", 400, "Content-Length is a number of bytes, got 'abc'"),
    ({"Content-Length": "-5"}, b"{}", 400, "Content-Length is a number of bytes, got '-5'"),
    ({"Content-Length": "5000"}, b"{}", 413, "a request body is at most 4096 bytes"),
])
def test_a_malformed_request_body_is_refused_with_the_cause(session, headers, body, status, error):
    with serving(session) as url:
        before = request(url, "/api/state")
        address = urlparse(url)
        connection = http.client.HTTPConnection(address.hostname, address.port, timeout=10)
        connection.putrequest("POST", "/api/lay")
        for name, value in {"Content-Length": str(len(body)), **headers}.items():
            connection.putheader(name, value)
        connection.endheaders(body)
        reply = connection.getresponse()
        assert (reply.status, reply.read()) == (status, f'{{"error": "{error}"}}'.encode())
        connection.close()
        assert request(url, "/api/state") == before


def test_a_page_closed_while_the_opponent_thinks_leaves_no_traceback(capfd):
    opponent = GatedOpponent()
    server = make_server(PlaySession(opponent, 1, seed=1), 0)
    server.daemon_threads = False  # so that closing the server waits for the answer to the closed page
    thread = threading.Thread(target=server.serve_forever)
    thread.start()
    try:
        page = socket.create_connection(("127.0.0.1", server.server_address[1]))
        page.sendall(b"POST /api/opponent HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\n{}")
        assert opponent.asked.wait(30)
        page.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        page.close()  # reset, as a browser closing the tab
        opponent.gate.set()
        assert request(url_of(server), "/api/state")[0] == 200
    finally:
        server.shutdown()
        server.server_close()
        thread.join()
    assert capfd.readouterr().err == ""


def test_the_favicon_is_no_error(session):
    with serving(session) as url:
        with urllib.request.urlopen(url + "favicon.ico") as reply:
            assert reply.status == 204


@pytest.mark.parametrize("args, line", [
    (["play", "--port", "99999"], "tilora-zero play: error: argument --port: must be a port from 0 to 65535, got '99999'"),
    (["show", "RECORDS", "--web", "--port", "70000"],
     "tilora-zero show: error: argument --port: must be a port from 0 to 65535, got '70000'"),
    (["play", "--opponent", "rolout"], "tilora-zero play: error: --opponent: network checkpoint not found: rolout "
                                       "(give a checkpoint path or one of uniform, rollout, greedy; did you mean rollout?)"),
])
def test_a_bad_port_or_opponent_stops_play_and_show_with_one_line(capsys, records, args, line):
    args = [str(records[0]) if arg == "RECORDS" else arg for arg in args]
    assert run_cli(capsys, *args) == (2, line)
