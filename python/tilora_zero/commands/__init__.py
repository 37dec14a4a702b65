"""Subcommands of ``tilora-zero``: each module has ``add_parser(subparsers)`` and ``run(args) -> int``."""

from __future__ import annotations

import argparse
import importlib

import numpy as np

# The optional dependencies: module -> (its name for people, the extra that installs it).
EXTRAS = {"torch": ("PyTorch", "torch"), "ray": ("Ray", "ray")}


class HelpFormatter(argparse.ArgumentDefaultsHelpFormatter):
    """Adds an option's default to its help where there is one to show: not for required options, for
    flags or for options whose absence means something the help text says."""

    def _get_help_string(self, action: argparse.Action) -> str | None:
        unset = action.default is None or action.default is False or action.default == argparse.SUPPRESS
        if action.required or unset:
            return action.help
        return super()._get_help_string(action)


class UsageError(Exception):
    """A bad argument found after parsing (a missing checkpoint, say): exit status 2."""


class MissingExtra(UsageError):
    """A command that needs an optional dependency which is not installed: exit status 2, no usage text."""


def require(module: str, purpose: str) -> None:
    """Raises MissingExtra, naming what to install, when ``module`` (a key of EXTRAS) cannot be imported."""
    try:
        importlib.import_module(module)
    except ImportError:
        name, extra = EXTRAS[module]
        raise MissingExtra(f"{purpose} needs {name}, which is not installed: pip install '.[{extra}]'") from None


def positive_int(text: str) -> int:
    value = non_negative_int(text)
    if value == 0:
        raise argparse.ArgumentTypeError(f"must be a positive integer, got {text!r}")
    return value


def non_negative_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"must be an integer, got {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative, got {text!r}")
    return value


# The numbers below end up in 32-bit float arithmetic (the search's, the network's), so they are judged as
# 32-bit floats: 1e39 is infinite there and 1e-300 is zero.


def finite_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"must be a number, got {text!r}") from None
    with np.errstate(over="ignore"):
        if not np.isfinite(np.float32(value)):
            raise argparse.ArgumentTypeError(f"must be a finite number within the range of 32-bit floats, "
                                             f"got {text!r}")
    return value


def positive_float(text: str) -> float:
    value = finite_float(text)
    if value <= 0:
        raise argparse.ArgumentTypeError(f"must be positive, got {text!r}")
    if np.float32(value) == 0:
        raise argparse.ArgumentTypeError(f"must be positive as a 32-bit float, got {text!r} (which rounds to 0)")
    return value


def non_negative_float(text: str) -> float:
    value = finite_float(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative, got {text!r}")
    return value


def fraction(text: str) -> float:
    value = finite_float(text)
    if not 0 <= value <= 1:
        raise argparse.ArgumentTypeError(f"must be from 0 to 1, got {text!r}")
    return value


def yes_no(text: str) -> bool:
    """A switch given as a word: yes/no, true/false, on/off or 1/0."""
    words = {"yes": True, "true": True, "on": True, "1": True, "no": False, "false": False, "off": False, "0": False}
    try:
        return words[text.lower()]
    except KeyError:
        raise argparse.ArgumentTypeError(f"must be yes or no, got {text!r}") from None
