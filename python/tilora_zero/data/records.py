"""Self-play records: one per finished game, many games per ``.npz`` shard.

A records directory holds shards named ``games-NNNNN.npz``. Each shard is a
plain NumPy archive (``numpy.load(path)``, no pickles, no toolkit needed) with
G games, M moves and K visit-share entries in all:

=================  ==============  ===================================================
key                dtype, shape    meaning
=================  ==============  ===================================================
``format``         str, ()         ``"tilora-records/1"``
``game_numbers``   int64[G]        each game's number (unique within a directory)
``move_offsets``   int64[G+1]      game g's moves are ``[move_offsets[g], move_offsets[g+1])``
``players``        int8[M]         the player (0-3) who made each move
``cells``          int16[M]        the cell (0-399, row * 20 + column) laid by each move
``policy_offsets`` int64[M+1]      move i's visit shares are ``[policy_offsets[i], policy_offsets[i+1])``
``policy_cells``   int16[K]        the cells of the search root's children
``policy_shares``  float32[K]      their share of the root's visits (sums to 1 per move)
``payoffs``        float32[G, 4]   the final payoff per player (the best score's holders share 1)
``scores``         int32[G, 4]     the final score per player
``metadata``       str[G]          one JSON object per game: ``game`` (number), ``settings``
                                   (the search settings), ``network``, ``toolkit_version``,
                                   ``wall_time`` (seconds the game took), ``finished`` (Unix time)
=================  ==============  ===================================================

Move i of a game was played in the position reached by the moves before it;
its visit shares are the search's result in that position. A move with no
entries was not searched: under the placement tree (settings ``tree``) only a
turn's first move is searched, and only when the turn offers a choice; its
entries are then each decision's visit share spread evenly over the decision's
cells. Records made before the placement tree have entries at every move. Shards are written
under a temporary name and renamed, so a shard on disk is always complete.
A shard damaged later (truncated, bytes changed: the archive's checksums tell)
is left out of a directory's games with a :class:`DamagedShardWarning` naming
it; nothing is ever written over it.
"""

from __future__ import annotations

import json
import os
import re
import tempfile
import time
import warnings
import zipfile
import zlib
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np

from ..board import BOARD_CELLS, PLAYERS

FORMAT = "tilora-records/1"
SHARD_PATTERN = re.compile(r"^games-(\d{5,})\.npz$")
TEMP_SUFFIX = ".tmp"
_SHARD_KEYS = (
    "format", "game_numbers", "move_offsets", "players", "cells", "policy_offsets",
    "policy_cells", "policy_shares", "payoffs", "scores", "metadata",
)


# What reading a damaged archive raises: the zip layer, the decompressor, NumPy's array parser.
_DAMAGE = (OSError, EOFError, ValueError, KeyError, TypeError, NotImplementedError, zipfile.BadZipFile, zlib.error)


class RecordError(ValueError):
    """A file or directory that does not hold valid records."""


class DamagedShardWarning(UserWarning):
    """A shard of a records directory that cannot be read; its games are left out."""


@dataclass(eq=False)
class GameRecord:
    """One finished self-play game."""

    players: np.ndarray  # int8[M]: who made each move
    cells: np.ndarray  # int16[M]: the cell of each move
    policy_offsets: np.ndarray  # int32[M+1]: move i's shares are [offsets[i], offsets[i+1])
    policy_cells: np.ndarray  # int16[K]
    policy_shares: np.ndarray  # float32[K]
    payoff: np.ndarray  # float32[4]
    scores: np.ndarray  # int32[4]
    metadata: dict[str, Any] = field(default_factory=dict)
    source: Path | None = None  # the shard it was read from

    @property
    def game_number(self) -> int:
        return int(self.metadata.get("game", -1))

    @property
    def num_moves(self) -> int:
        return len(self.cells)

    def policy(self, move: int) -> tuple[np.ndarray, np.ndarray]:
        """The (cells, shares) of the search at ``move``."""
        a, b = self.policy_offsets[move], self.policy_offsets[move + 1]
        return self.policy_cells[a:b], self.policy_shares[a:b]

    @property
    def searched(self) -> np.ndarray:
        """bool[M]: whether each move has a policy target: visit shares of a search (or, in a match, a
        greedy seat's move, its cell at share 1). A move the placement tree did not search has none."""
        return np.diff(self.policy_offsets) > 0

    def policy_targets(self) -> np.ndarray:
        """Dense visit shares, ``float32[M, 400]``."""
        targets = np.zeros((self.num_moves, BOARD_CELLS), dtype=np.float32)
        rows = np.repeat(np.arange(self.num_moves), np.diff(self.policy_offsets))
        targets[rows, self.policy_cells] = self.policy_shares
        return targets

    @classmethod
    def from_result(cls, result: Sequence[Any], scores: Sequence[int], metadata: dict[str, Any]) -> GameRecord:
        """Builds a record from ``generate_game_data``'s ``(history, policies, payoff)``."""
        history, policies, payoff = result
        if len(history) != len(policies):
            raise RecordError(f"history has {len(history)} moves but policies has {len(policies)} entries")
        moves = np.array(history, dtype=np.int16).reshape(-1, 2)
        offsets = np.zeros(len(policies) + 1, dtype=np.int32)
        offsets[1:] = np.cumsum([len(p) for p in policies])
        flat = [pair for entry in policies for pair in entry]
        pairs = np.array(flat, dtype=np.float64).reshape(-1, 2)
        return cls(
            players=moves[:, 0].astype(np.int8),
            cells=moves[:, 1].copy(),
            policy_offsets=offsets,
            policy_cells=pairs[:, 0].astype(np.int16),
            policy_shares=pairs[:, 1].astype(np.float32),
            payoff=np.asarray(payoff, dtype=np.float32).reshape(PLAYERS),
            scores=np.asarray(scores, dtype=np.int32).reshape(PLAYERS),
            metadata=dict(metadata),
        )

    def equals(self, other: GameRecord) -> bool:
        """Exact equality of every array and of the metadata."""
        names = ("players", "cells", "policy_offsets", "policy_cells", "policy_shares", "payoff", "scores")
        return all(np.array_equal(getattr(self, n), getattr(other, n)) for n in names) and (
            self.metadata == other.metadata
        )


def shard_arrays(records: Sequence[GameRecord]) -> dict[str, np.ndarray]:
    """The arrays of one shard holding ``records``, in the documented layout."""
    move_counts = [r.num_moves for r in records]
    move_offsets = np.zeros(len(records) + 1, dtype=np.int64)
    move_offsets[1:] = np.cumsum(move_counts)
    policy_parts, base = [np.zeros(1, dtype=np.int64)], 0
    for r in records:
        policy_parts.append(r.policy_offsets[1:].astype(np.int64) + base)
        base += int(r.policy_offsets[-1])

    def joined(name: str, dtype: Any) -> np.ndarray:
        parts = [getattr(r, name) for r in records]
        return np.concatenate(parts).astype(dtype) if parts else np.zeros(0, dtype=dtype)

    return {
        "format": np.array(FORMAT),
        "game_numbers": np.array([r.game_number for r in records], dtype=np.int64),
        "move_offsets": move_offsets,
        "players": joined("players", np.int8),
        "cells": joined("cells", np.int16),
        "policy_offsets": np.concatenate(policy_parts),
        "policy_cells": joined("policy_cells", np.int16),
        "policy_shares": joined("policy_shares", np.float32),
        "payoffs": np.array([r.payoff for r in records], dtype=np.float32).reshape(-1, PLAYERS),
        "scores": np.array([r.scores for r in records], dtype=np.int32).reshape(-1, PLAYERS),
        "metadata": np.array([json.dumps(r.metadata, sort_keys=True) for r in records], dtype=np.str_),
    }


def write_shard(path: str | os.PathLike, records: Sequence[GameRecord]) -> Path:
    """Writes ``records`` to one shard, atomically: a temporary name, then a rename."""
    path = Path(path)
    if not records:
        raise ValueError("a shard needs at least one record")
    arrays = shard_arrays(records)
    fd, temp = tempfile.mkstemp(prefix=f".{path.name}.", suffix=TEMP_SUFFIX, dir=path.parent)
    try:
        os.fchmod(fd, 0o666 & ~_umask())  # what an ordinary new file gets, not mkstemp's 0600
        with os.fdopen(fd, "wb") as file:
            np.savez_compressed(file, **arrays)
            file.flush()
            os.fsync(file.fileno())
        os.replace(temp, path)
    except BaseException:
        Path(temp).unlink(missing_ok=True)
        raise
    return path


def _umask() -> int:
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


def _load_arrays(path: Path) -> dict[str, Any]:
    """Every array of a shard, checked whole (each member's checksum, the lengths, the metadata);
    RecordError naming the file otherwise. ``"games"`` holds the parsed metadata."""
    try:
        # Opened here, not by NumPy: it leaves the file open when the archive is not one.
        with path.open("rb") as file, np.load(file, allow_pickle=False) as archive:
            missing = [k for k in _SHARD_KEYS if k not in archive.files]
            if missing:
                raise RecordError(f"{path}: not a records shard (missing {', '.join(missing)})")
            arrays: dict[str, Any] = {k: archive[k] for k in _SHARD_KEYS}
        if str(arrays["format"]) != FORMAT:
            raise RecordError(f"{path}: unknown records format {str(arrays['format'])!r}")
        if not _consistent(arrays):
            raise RecordError(f"{path}: damaged records (its arrays disagree in length)")
        arrays["games"] = [json.loads(str(text)) for text in arrays["metadata"]]
    except RecordError:
        raise
    except _DAMAGE as error:
        cause = " ".join(str(error).split()) or type(error).__name__
        if isinstance(error, OSError):  # the file itself cannot be read (permissions, a failing disk)
            raise RecordError(f"{path}: cannot be read ({error.strerror or cause})") from error
        raise RecordError(f"{path}: damaged records, cannot be read ({cause})") from error
    return arrays


def _consistent(arrays: dict[str, np.ndarray]) -> bool:
    """Whether the offsets and lengths of a shard's arrays agree with each other."""
    games, moves, entries = len(arrays["game_numbers"]), len(arrays["cells"]), len(arrays["policy_cells"])
    move_offsets, policy_offsets = arrays["move_offsets"], arrays["policy_offsets"]
    return (move_offsets.shape == (games + 1,) and policy_offsets.shape == (moves + 1,)
            and len(arrays["players"]) == moves and len(arrays["policy_shares"]) == entries
            and arrays["payoffs"].shape == arrays["scores"].shape == (games, PLAYERS) and len(arrays["metadata"]) == games
            and move_offsets[0] == 0 and move_offsets[-1] == moves and bool(np.all(np.diff(move_offsets) >= 0))
            and policy_offsets[0] == 0 and policy_offsets[-1] == entries
            and bool(np.all(np.diff(policy_offsets) >= 0)))


def read_shard(path: str | os.PathLike) -> list[GameRecord]:
    """Every record of one shard, in the order they were written."""
    path = Path(path)
    arrays = _load_arrays(path)
    return [_record_at(arrays, g, path) for g in range(len(arrays["game_numbers"]))]


def _record_at(arrays: dict[str, Any], g: int, source: Path) -> GameRecord:
    a, b = int(arrays["move_offsets"][g]), int(arrays["move_offsets"][g + 1])
    offsets = arrays["policy_offsets"][a : b + 1]
    p, q = int(offsets[0]), int(offsets[-1])
    metadata = dict(arrays["games"][g])
    metadata.setdefault("game", int(arrays["game_numbers"][g]))
    return GameRecord(
        players=arrays["players"][a:b].copy(),
        cells=arrays["cells"][a:b].copy(),
        policy_offsets=(offsets - p).astype(np.int32),
        policy_cells=arrays["policy_cells"][p:q].copy(),
        policy_shares=arrays["policy_shares"][p:q].copy(),
        payoff=arrays["payoffs"][g].copy(),
        scores=arrays["scores"][g].copy(),
        metadata=metadata,
        source=source,
    )


def shard_paths(directory: str | os.PathLike) -> list[Path]:
    """The shards of a records directory, in the order they were written."""
    directory = Path(directory)
    if not directory.is_dir():
        raise RecordError(f"{directory}: no such records directory")
    shards = [p for p in directory.iterdir() if SHARD_PATTERN.match(p.name)]
    return sorted(shards, key=lambda p: int(SHARD_PATTERN.match(p.name).group(1)))


def _intact_shards(directory: str | os.PathLike) -> Iterator[tuple[Path, dict[str, Any]]]:
    """Each readable shard of a directory with its arrays; a damaged one is named in a warning and skipped."""
    for path in shard_paths(directory):
        try:
            arrays = _load_arrays(path)
        except RecordError as error:
            warnings.warn(DamagedShardWarning(f"{error}; its games are left out"), stacklevel=3)
            continue
        yield path, arrays


def game_numbers(directory: str | os.PathLike) -> list[int]:
    """The numbers of the games stored in the intact shards of a directory, ascending."""
    return sorted(int(n) for _, arrays in _intact_shards(directory) for n in arrays["game_numbers"])


def recorded_games(directory: str | os.PathLike) -> dict[int, dict[str, Any]]:
    """The metadata of each game stored in the intact shards of a directory, by game number."""
    return {int(n): metadata for _, arrays in _intact_shards(directory)
            for n, metadata in zip(arrays["game_numbers"], arrays["games"])}


def count_games(directory: str | os.PathLike) -> int:
    """How many games the intact shards of a records directory hold (0 for a missing directory)."""
    if not Path(directory).exists():
        return 0
    return len(game_numbers(directory))


def iter_records(directory: str | os.PathLike) -> Iterator[GameRecord]:
    """Every record of the intact shards of a directory, sorted by game number (the newest games last)."""
    order: list[tuple[int, int, int]] = []  # (game number, shard, index in shard)
    paths: list[Path] = []
    for s, (path, arrays) in enumerate(_intact_shards(directory)):
        paths.append(path)
        order.extend((int(n), s, i) for i, n in enumerate(arrays["game_numbers"]))
    order.sort()
    loaded: dict[int, dict[str, Any]] = {}
    for _, s, i in order:
        if s not in loaded:
            if len(loaded) >= 4:  # games of neighbouring numbers sit in few shards
                loaded.pop(next(iter(loaded)))
            loaded[s] = _load_arrays(paths[s])
        yield _record_at(loaded[s], i, paths[s])


def find_record(path: str | os.PathLike, game: int | None = None) -> GameRecord:
    """One game from a shard or a records directory: game number ``game``, or the first."""
    path = Path(path)
    if not path.exists():
        raise RecordError(f"{path}: no such file or directory")
    records = iter_records(path) if path.is_dir() else iter(read_shard(path))
    for record in records:
        if game is None or record.game_number == game:
            return record
    if game is None:
        raise RecordError(f"{path}: holds no games")
    raise RecordError(f"{path}: holds no game number {game}")


class RecordWriter:
    """Collects finished games and writes them to shards in one directory.

    A shard is written when ``games_per_shard`` records are buffered, when the
    oldest buffered record is ``flush_seconds`` old, and on :meth:`flush`.
    Opening the directory removes temporary files left by an interrupted run
    (every complete shard is kept) and raises OSError when no file can be
    written there, before any game is played for it."""

    def __init__(self, directory: str | os.PathLike, games_per_shard: int = 64, flush_seconds: float = 60.0):
        self.directory = Path(directory)
        self.directory.mkdir(parents=True, exist_ok=True)
        for stale in self.directory.glob(f".games-*{TEMP_SUFFIX}"):
            stale.unlink(missing_ok=True)
        fd, probe = tempfile.mkstemp(prefix=".games-probe.", suffix=TEMP_SUFFIX, dir=self.directory)
        os.close(fd)
        os.unlink(probe)
        self.games_per_shard = games_per_shard
        self.flush_seconds = flush_seconds
        existing = [int(SHARD_PATTERN.match(p.name).group(1)) for p in shard_paths(self.directory)]
        self._next_shard = max(existing, default=-1) + 1
        self._buffer: list[GameRecord] = []
        self._oldest = 0.0
        self.written_games = 0

    def add(self, record: GameRecord) -> None:
        if not self._buffer:
            self._oldest = time.monotonic()
        self._buffer.append(record)
        if len(self._buffer) >= self.games_per_shard or time.monotonic() - self._oldest >= self.flush_seconds:
            self.flush()

    __call__ = add

    def tick(self) -> None:
        """Writes the buffer when its oldest record has waited ``flush_seconds``."""
        if self._buffer and time.monotonic() - self._oldest >= self.flush_seconds:
            self.flush()

    def flush(self) -> Path | None:
        """Writes the buffered records, if any, to a new shard."""
        if not self._buffer:
            return None
        path = write_shard(self.directory / f"games-{self._next_shard:05d}.npz", self._buffer)
        self._next_shard += 1
        self.written_games += len(self._buffer)
        self._buffer = []
        return path

    def close(self) -> None:
        self.flush()

    def __enter__(self) -> RecordWriter:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def write_records(directory: str | os.PathLike, records: Iterable[GameRecord], games_per_shard: int = 64) -> None:
    """Writes records to a directory (a convenience for scripts and tests)."""
    with RecordWriter(directory, games_per_shard=games_per_shard, flush_seconds=float("inf")) as writer:
        for record in records:
            writer.add(record)
