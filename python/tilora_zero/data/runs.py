"""Resuming a run's records: which games are missing, and were the games there played with these settings.

The ``selfplay`` command fills a records directory up to a number of games,
the loop each generation's numbered games; both play only the games the
directory lacks (:func:`missing_games`) and refuse to mix games of other
settings in unnoticed: the command checks each recorded game's settings and
network (:func:`check_same_settings`), the loop the settings its run was
started with (:func:`settings_changes`).
"""

from __future__ import annotations

import itertools
import os
from collections.abc import Collection, Iterable
from pathlib import Path
from typing import Any

from ..settings import upgraded_search_settings
from .records import recorded_games


class MixedSettingsError(ValueError):
    """Games (or a run) to be added to ones made with other settings, which would mix the two unnoticed."""


def settings_changes(recorded: dict[str, Any], wanted: dict[str, Any]) -> str:
    """``name old (now new)`` for each setting that differs, in the order of ``wanted``."""
    names = [*wanted, *(k for k in recorded if k not in wanted)]
    return ", ".join(f"{k} {recorded.get(k, '(none)')} (now {wanted.get(k, '(none)')})"
                     for k in names if recorded.get(k) != wanted.get(k))


def games_on_disk(directory: str | os.PathLike) -> dict[int, dict[str, Any]]:
    """The metadata of each game recorded in ``directory``, by game number; none where there is no directory yet."""
    return recorded_games(directory) if Path(directory).exists() else {}


def missing_games(present: Collection[int], numbers: Iterable[int], count: int | None = None) -> list[int]:
    """The numbers of ``numbers`` that are not ``present``; with ``count``, the first ``count`` of them."""
    return list(itertools.islice((n for n in numbers if n not in present), count))


def check_same_settings(directory: str | os.PathLike, games: dict[int, dict[str, Any]],
                        wanted: dict[str, Any]) -> None:
    """Raises MixedSettingsError when a game of ``games`` (as from :func:`games_on_disk`) was played with other
    search settings or another network than ``wanted`` (the search settings and ``"network"``). A game
    recorded by an earlier version is read with its settings in today's terms."""
    differing = [{**upgraded_search_settings(metadata.get("settings", {})), "network": metadata.get("network")}
                 for metadata in games.values()]
    differing = [recorded for recorded in differing if recorded != wanted]
    if differing:
        raise MixedSettingsError(f"{directory} holds {len(differing)} games played with other settings: "
                                 f"{settings_changes(differing[0], wanted)}")
