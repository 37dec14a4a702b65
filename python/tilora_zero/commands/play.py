"""``tilora-zero play``: play one seat against the arena's players in a browser page."""

from __future__ import annotations

import argparse
import difflib
import os

from . import HelpFormatter, UsageError, non_negative_int, positive_int, require
from .serve import port_number

SEATS = ("0", "1", "2", "3", "random")


def add_parser(subparsers: argparse._SubParsersAction) -> argparse.ArgumentParser:
    parser = subparsers.add_parser(
        "play", help="play against a player in a browser page",
        description="Serves a page on 127.0.0.1 where you play one seat, picking a piece, turning it and "
                    "laying it where its shadow fits, while the opponent plays the other three one placement at "
                    "a time, searching as the arena does (no root noise, the first moves sampled). A checkpoint "
                    "opponent's network can show what it thinks of the position. Prints the page's address and "
                    "serves until Ctrl-C; it opens no browser itself.",
        formatter_class=HelpFormatter)
    parser.add_argument("--opponent", default="greedy", metavar="PLAYER",
                        help="a checkpoint, rollout, greedy or uniform")
    parser.add_argument("--sims", type=positive_int, default=48, help="simulations per search of the opponent")
    parser.add_argument("--seat", choices=SEATS, default="0", help="your seat (random: a new one each game)")
    parser.add_argument("--port", type=port_number, default=8765, help="port on 127.0.0.1 (0: any free one)")
    parser.add_argument("--seed", type=non_negative_int, help="seed of the seats and the searches")
    return parser


def run(args: argparse.Namespace) -> int:
    from ..selfplay.players import BASELINES
    from ..web.opponent import Opponent
    from ..web.session import PlaySession
    from .serve import serve

    if args.opponent not in BASELINES:
        if not os.path.exists(args.opponent):
            close = difflib.get_close_matches(args.opponent, BASELINES, n=1)
            raise UsageError(f"--opponent: network checkpoint not found: {args.opponent} (give a checkpoint path "
                             f"or one of {', '.join(BASELINES)}{f'; did you mean {close[0]}?' if close else ''})")
        require("torch", f"--opponent {args.opponent}")
    try:
        opponent = Opponent(args.opponent, args.sims)
    except (FileNotFoundError, ValueError) as error:
        raise UsageError(f"--opponent: {error}") from None
    seat = None if args.seat == "random" else int(args.seat)
    return serve(PlaySession(opponent, seat, args.seed), args.port, f"playing against {opponent.label}")
