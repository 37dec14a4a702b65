"""Serving a page until Ctrl-C: the part ``play`` and ``show --web`` share."""

from __future__ import annotations

import argparse
import errno
from typing import Any

from . import UsageError, non_negative_int

MOST_PORT = 65535


def port_number(text: str) -> int:
    """A TCP port, 0 for any free one."""
    value = non_negative_int(text)
    if value > MOST_PORT:
        raise argparse.ArgumentTypeError(f"must be a port from 0 to {MOST_PORT}, got {text!r}")
    return value


def serve(app: Any, port: int, what: str) -> int:
    """Serves ``app`` on 127.0.0.1:``port``, printing its address; UsageError when the port cannot be had."""
    from ..web.server import make_server, url_of

    try:
        server = make_server(app, port)
    except OSError as error:
        reason = "it is in use" if error.errno == errno.EADDRINUSE else (error.strerror or str(error))
        raise UsageError(f"--port {port}: cannot listen on it: {reason}") from None
    with server:
        print(f"{what}: open {url_of(server)} in a browser (Ctrl-C stops)", flush=True)
        server.serve_forever()
    return 0
