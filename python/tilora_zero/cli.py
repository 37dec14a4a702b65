"""The ``tilora-zero`` command line: one subcommand per module of ``commands``."""

from __future__ import annotations

import argparse
import importlib
import os
import sys
import warnings
from collections.abc import Callable, Sequence

from ._version import __version__
from .commands import MissingExtra, UsageError
from .data.records import DamagedShardWarning

# Modules of tilora_zero.commands; each offers add_parser(subparsers) and run(args) -> int. They are
# imported when the parser is built, not with this module: worker processes re-import the main
# module, and some commands pull in torch.
COMMANDS = ["selfplay", "show", "train", "arena", "loop", "play"]


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="tilora-zero",
        description="Self-play, records and networks for the four-player tile game.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    subparsers = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for name in COMMANDS:
        module = importlib.import_module(f"{__package__}.commands.{name}")
        sub = module.add_parser(subparsers)
        sub.set_defaults(run=module.run, subparser=sub)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    with warnings.catch_warnings():
        warnings.simplefilter("default", DamagedShardWarning)
        warnings.showwarning = _one_line_warning(args.subparser.prog, warnings.showwarning)
        return _run(args)


def _one_line_warning(prog: str, show: Callable) -> Callable:
    """Shows the toolkit's own warnings as ``prog: warning: text``, others as Python does."""

    def show_warning(message, category, filename, lineno, file=None, line=None) -> None:
        if issubclass(category, DamagedShardWarning):
            print(f"{prog}: warning: {message}", file=sys.stderr)
        else:
            show(message, category, filename, lineno, file, line)

    return show_warning


def _run(args: argparse.Namespace) -> int:
    try:
        return args.run(args)
    except UsageError as error:
        if not isinstance(error, MissingExtra):
            args.subparser.print_usage(sys.stderr)
        print(f"{args.subparser.prog}: error: {error}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print(f"\n{args.subparser.prog}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:  # the reader of our output went away (`| head`): stop quietly
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 141


if __name__ == "__main__":
    sys.exit(main())
