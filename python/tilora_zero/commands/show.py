"""``tilora-zero show``: draw a recorded game's final board."""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

from . import HelpFormatter, UsageError, non_negative_int
from .serve import port_number


def add_parser(subparsers: argparse._SubParsersAction) -> argparse.ArgumentParser:
    parser = subparsers.add_parser(
        "show", help="draw a recorded game",
        description="Draws the final board of a recorded game with each player's score and payoff: in the "
                    "terminal, and as a PNG image with --png. With --web, serves a page on 127.0.0.1 instead, "
                    "where you pick a game and step through its moves, each with its search's visit shares.",
        formatter_class=HelpFormatter)
    parser.add_argument("file", type=Path, metavar="FILE", help="a records file (.npz) or a records directory")
    parser.add_argument("--game", type=non_negative_int, metavar="K", help="game number (default: the first)")
    parser.add_argument("--png", type=Path, metavar="OUT", help="also write the board to this PNG file")
    parser.add_argument("--web", action="store_true", help="serve a page to step through the games instead")
    parser.add_argument("--port", type=port_number, default=8765,
                        help="with --web: port on 127.0.0.1 (0: any free one)")
    parser.add_argument("--color", choices=("auto", "always", "never"), default="auto",
                        help="ANSI colours in the terminal (auto: when standard output is a terminal)")
    return parser


def run(args: argparse.Namespace) -> int:
    from ..data.records import RecordError, find_record
    from ..data.viewer import render_ansi, save_png

    if args.web:
        return _serve(args)
    try:
        record = find_record(args.file, args.game)
        colour = args.color == "always" or (args.color == "auto" and sys.stdout.isatty())
        text = render_ansi(record, colour)
    except RecordError as error:
        raise UsageError(str(error)) from None
    print(text)
    if args.png is not None:
        try:
            save_png(record, args.png)
        except OSError as error:
            raise UsageError(f"cannot write {args.png}: {error.strerror or error}") from None
        print(f"wrote {args.png}")
    return 0


def _serve(args: argparse.Namespace) -> int:
    from ..data.records import RecordError
    from ..web.replays import RecordedGames
    from .serve import serve

    if args.png is not None or args.game is not None:
        raise UsageError("--web shows every game of FILE; it takes no --png or --game")
    try:
        games = RecordedGames(args.file)
    except (RecordError, OSError) as error:
        raise UsageError(str(error)) from None
    return serve(games, args.port, f"showing {len(games.records)} games of {args.file}")
