"""The command line's ``--backend ray [--ray-address ADDRESS]``, shared by ``selfplay`` and ``loop``."""

from __future__ import annotations

import argparse
from collections.abc import Callable
from typing import Any

from . import UsageError, require


def add_backend_arguments(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("backend")
    group.add_argument("--backend", choices=("local", "ray"), default="local",
                       help="local: worker processes on this machine; ray: actors on a Ray cluster")
    group.add_argument("--ray-address", metavar="ADDRESS",
                       help="the Ray cluster to join (HOST:PORT, or auto for the one started on this machine "
                            "with 'ray start'); without it --backend ray starts a local Ray instance")


def backend_play(args: argparse.Namespace, server: bool, device: str,
                 local_play: Callable[..., Any]) -> tuple[Callable[..., Any], Callable[[], None]]:
    """``(play_games, close)`` for the chosen backend; the Ray one is connected already.

    Raises UsageError when Ray is missing or the cluster cannot be reached."""
    if args.backend != "ray":
        if args.ray_address:
            raise UsageError("--ray-address needs --backend ray")
        return local_play, lambda: None
    require("ray", "--backend ray")
    from ..selfplay.ray import RayOptions, RaySelfPlay

    gpus = 1.0 if server and device.startswith("cuda") else 0.0
    session = RaySelfPlay(RayOptions(address=args.ray_address, server_gpus=gpus))
    try:
        session.connect()
    except ConnectionError as error:
        raise UsageError(str(error)) from None
    return session.play_games, session.close
