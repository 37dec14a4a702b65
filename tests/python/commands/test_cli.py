"""The command line: selfplay (run, resume, Ctrl-C), show, and the errors a user can cause."""

from __future__ import annotations

import errno
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import pytest

from tilora_zero import Game, __version__
from tilora_zero.cli import COMMANDS, main
from tilora_zero.commands.selfplay import TYPICAL_GAME_MOVES, progress_figures
from tilora_zero.data import records
from tilora_zero.data.records import DamagedShardWarning, count_games, game_numbers, iter_records, shard_paths
from tilora_zero.data.viewer import board_figure, replay
from tilora_zero.selfplay.local import RunStats, SearchSettings

CLI = [sys.executable, "-m", "tilora_zero.cli"]


def tilora_zero(*args: str, timeout: float = 300, env: dict | None = None) -> subprocess.CompletedProcess:
    return subprocess.run([*CLI, *map(str, args)], capture_output=True, text=True, timeout=timeout, env=env)


def in_process(capsys, *args) -> tuple[int, str, str]:
    """Runs the command line in this process: (exit status, stdout, stderr)."""
    try:
        status = main([str(a) for a in args])
    except SystemExit as stop:  # argparse's own errors
        status = stop.code
    captured = capsys.readouterr()
    return status, captured.out, captured.err


def replays_to_payoff(directory: Path) -> int:
    count = 0
    for record in iter_records(directory):
        game = Game()
        for cell in record.cells.tolist():
            game.apply(cell)
        assert game.is_over and record.payoff.tolist() == game.payoff()
        count += 1
    return count


@pytest.fixture(scope="module")
def played(tmp_path_factory) -> tuple[Path, subprocess.CompletedProcess]:
    out = tmp_path_factory.mktemp("records")
    result = tilora_zero("selfplay", "--games", 2, "--workers", 2, "--sims", 4, "--out", out)
    return out, result


def test_selfplay_writes_the_games_and_a_summary(played):
    out, result = played
    assert result.returncode == 0, result.stderr
    assert replays_to_payoff(out) == 2
    assert game_numbers(out) == [0, 1]
    lines = result.stdout.splitlines()
    assert lines[0] == f"games: 2 played, 2 in {out}"
    assert lines[1].startswith("moves: ") and "mean game length" in lines[1]
    assert "per second, cache hit rate" in lines[2]
    assert lines[3].startswith("wins per seat: ")
    wins = [float(w) for w in lines[3].split(": ")[1].split(" (")[0].split(", ")]
    expected = np.sum([r.payoff for r in iter_records(out)], axis=0)
    assert wins == pytest.approx(expected.tolist(), abs=1e-4)
    assert "Game finished" not in result.stdout + result.stderr  # the module's lines stay in the workers


def test_selfplay_on_a_full_directory_has_nothing_to_do(played):
    out, _ = played
    result = tilora_zero("selfplay", "--games", 2, "--sims", 4, "--out", out)
    assert result.returncode == 0
    assert result.stdout.strip() == f"{out} already holds 2 games; nothing to play"


def test_ctrl_c_keeps_finished_games_intact_and_a_rerun_completes_them(tmp_path):
    out = tmp_path / "run"
    wanted = 40
    process = subprocess.Popen(
        [*CLI, "selfplay", "--games", str(wanted), "--workers", "2", "--games-per-worker", "1", "--sims", "12",
         "--games-per-shard", "1", "--out", str(out)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True)
    deadline = time.monotonic() + 240
    while not (out.exists() and shard_paths(out)):
        assert process.poll() is None, process.communicate()
        assert time.monotonic() < deadline, "no game finished in time"
        time.sleep(0.2)
    os.killpg(process.pid, signal.SIGINT)  # as a terminal's Ctrl-C does: every process of the group
    stdout, stderr = process.communicate(timeout=60)
    assert process.returncode == 130, stderr
    assert "Interrupted" in stderr and "run the same command again" in stderr
    assert "Traceback" not in stderr
    assert [p.name for p in out.iterdir() if not p.name.startswith("games-")] == []  # no temporary files
    finished = count_games(out)
    assert 1 <= finished < wanted
    assert replays_to_payoff(out) == finished
    assert f"in {out}" in stdout  # the summary is printed anyway

    resumed = finished + 2
    result = tilora_zero("selfplay", "--games", resumed, "--workers", 2, "--sims", 12, "--out", out)
    assert result.returncode == 0, result.stderr
    assert f"holds {finished} games; playing 2 more" in result.stderr
    numbers = game_numbers(out)
    assert len(numbers) == len(set(numbers)) == resumed
    assert replays_to_payoff(out) == resumed


@pytest.mark.parametrize("args, message", [
    (["selfplay", "--games", "2", "--network", "no/such/checkpoint.pt"], "not found: no/such/checkpoint.pt"),
    (["selfplay", "--games", "0"], "--games: must be a positive integer, got '0'"),
    (["selfplay", "--games", "two"], "--games: must be an integer, got 'two'"),
    (["selfplay", "--games", "2", "--exploration-fraction", "1.5"], "must be from 0 to 1"),
    (["selfplay", "--games", "2", "--dirichlet-alpha", "0"], "--dirichlet-alpha: must be positive"),
    (["selfplay", "--games", "2", "--dirichlet-alpha", "1e-300"],
     "--dirichlet-alpha: must be positive as a 32-bit float, got '1e-300' (which rounds to 0)"),
    (["selfplay", "--games", "2", "--c-base", "1e39"],
     "--c-base: must be a finite number within the range of 32-bit floats, got '1e39'"),
    (["loop", "--out", "OUT", "--dirichlet-alpha", "1e-300"], "--dirichlet-alpha: must be positive as a 32-bit"),
    (["selfplay", "--games", "2", "--sims", "-3"], "--sims: must not be negative"),
    (["selfplay", "--games", "2", "--sims", "0"], "--sims: must be a positive integer, got '0'"),
    (["arena", "--a", "uniform", "--b", "uniform", "--games", "1", "--sims", "0"], "--sims: must be a positive"),
    (["arena", "--a", "rollout", "--a-precision", "int8", "--b", "uniform", "--games", "1"],
     "--a-precision int8: rollout is a baseline, not a checkpoint"),
    (["selfplay", "--games", "2", "--precision", "int8"], "precision int8 is for a checkpoint served on the CPU"),
    (["loop", "--out", "OUT", "--sims", "0"], "--sims: must be a positive integer, got '0'"),
    (["loop", "--out", "OUT", "--weight-decay", "-0.5"], "--weight-decay: must not be negative, got '-0.5'"),
    (["loop", "--out", "OUT", "--generation-zero", "greedy"], "--generation-zero: invalid choice: 'greedy'"),
    (["loop", "--out", "OUT", "--value-convention", "raw"], "--value-convention: invalid choice: 'raw'"),
    (["selfplay", "--games", "2", "--fast"], "unrecognized arguments: --fast"),
    (["selfplay", "--out", "x"], "the following arguments are required: --games"),
    (["show", "no/such/file.npz"], "no/such/file.npz: no such file or directory"),
    (["dance"], "invalid choice: 'dance'"),
])
def test_user_errors_print_a_clear_message_and_exit_2(tmp_path, capsys, args, message):
    if args[0] == "selfplay" and "--out" not in args:
        args = [*args, "--out", "OUT"]
    args = [str(tmp_path / "out") if a == "OUT" else a for a in args]
    status, _, err = in_process(capsys, *args)
    assert status == 2
    assert message in err
    assert "Traceback" not in err
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("command", COMMANDS)
def test_help_shows_each_default_once_and_only_where_there_is_one(capsys, command):
    status, out, _ = in_process(capsys, command, "--help")
    text = " ".join(out.split())
    assert status == 0
    assert "(default: None)" not in text and "(default: False)" not in text and "%%" not in text
    assert not re.search(r"\(default: [^()]*\) \(default:", text)
    if command == "arena":
        assert "with a 95% confidence interval" in text
    if command == "train":
        assert "metrics file (default: the --out path with .metrics.jsonl) --plot" in text


def test_a_missing_checkpoint_exits_2_from_the_installed_command(tmp_path):
    result = tilora_zero("selfplay", "--games", 1, "--network", tmp_path / "none.pt", "--out", tmp_path / "out")
    assert result.returncode == 2
    assert f"not found: {tmp_path / 'none.pt'}" in result.stderr and "Traceback" not in result.stderr


@pytest.mark.parametrize("content, reason", [
    ("empty", "the file is empty"),
    ("random", "it was not written by torch.save"),
    ("module", "it holds pickled Python objects (a whole model?), where a checkpoint holds only tensors and plain "
               "values"),
    ("dictionary", "torch.save wrote it, but not as a checkpoint of this toolkit (no 'format' entry)"),
    ("truncated", "it is damaged or truncated, or was not written by torch.save"),
])
def test_a_file_that_is_not_a_checkpoint_is_refused_in_one_line(tmp_path, capsys, content, reason):
    torch = pytest.importorskip("torch")
    from tilora_zero.networks.resnet import TiloraNet, save_checkpoint

    bad = tmp_path / "bad.pt"
    if content == "empty":
        bad.write_bytes(b"")
    elif content == "random":
        bad.write_bytes(np.random.default_rng(0).bytes(4096))
    elif content == "module":
        torch.save(torch.nn.Linear(2, 2), bad)
    elif content == "dictionary":
        torch.save({"weights": torch.zeros(3)}, bad)
    else:
        data = save_checkpoint(tmp_path / "net.pt", TiloraNet(0, 4)).read_bytes()
        bad.write_bytes(data[: len(data) // 2])
    status, _, err = in_process(capsys, "selfplay", "--games", 1, "--network", bad, "--out", tmp_path / "out")
    assert status == 2
    assert err.splitlines()[-1] == (f"tilora-zero selfplay: error: --network: {bad} is not a tilora-zero network "
                                    f"checkpoint: {reason}")


def test_show_and_resume_leave_out_a_damaged_shard_with_a_one_line_warning(tmp_path):
    out = tmp_path / "records"
    play = ["selfplay", "--games", 2, "--workers", 1, "--games-per-worker", 1, "--sims", 1, "--games-per-shard", 1,
            "--out", out]  # one game at a time: game 0 in the first shard
    assert tilora_zero(*play).returncode == 0
    damaged = out / "games-00000.npz"
    damaged.write_bytes(damaged.read_bytes()[:100])
    kept = damaged.read_bytes()
    warning = f"warning: {damaged}: damaged records, cannot be read (File is not a zip file); its games are left out"
    shown = tilora_zero("show", out, "--color", "never")
    assert shown.returncode == 0 and shown.stdout.startswith("game 1, ")
    assert shown.stderr == f"tilora-zero show: {warning}\n"
    resumed = tilora_zero(*play)
    assert resumed.returncode == 0
    assert resumed.stderr.splitlines() == [f"tilora-zero selfplay: {warning}", f"{out} holds 1 games; playing 1 more"]
    assert damaged.read_bytes() == kept and len(shard_paths(out)) == 3
    with pytest.warns(DamagedShardWarning):
        assert game_numbers(out) == [0, 1]


def test_adding_games_played_with_other_settings_is_refused_unless_allowed(tmp_path):
    out = tmp_path / "records"
    assert tilora_zero("selfplay", "--games", 1, "--workers", 1, "--sims", 2, "--out", out).returncode == 0
    mixed = ["selfplay", "--games", 2, "--workers", 1, "--sims", 3, "--c-base", 100, "--out", out]
    result = tilora_zero(*mixed)
    assert result.returncode == 2
    assert result.stderr.splitlines()[-1] == (
        f"tilora-zero selfplay: error: {out} holds 1 games played with other settings: sims_per_move 2 (now 3), "
        "c_base 19652.0 (now 100.0); play with those settings, or add --allow-mixed-settings")
    assert count_games(out) == 1
    assert tilora_zero(*mixed, "--allow-mixed-settings").returncode == 0
    assert sorted(r.metadata["settings"]["sims_per_move"] for r in iter_records(out)) == [2, 3]


def test_games_recorded_before_the_placement_tree_resume_over_cells(tmp_path):
    out = tmp_path / "records"
    assert tilora_zero("selfplay", "--games", 1, "--workers", 1, "--sims", 2, "--out", out).returncode == 0
    [record] = iter_records(out)
    assert record.metadata["settings"]["tree"] == "cells"  # self-play's default: the records that teach
    del record.metadata["settings"]["tree"]  # as an earlier version wrote it
    for path in shard_paths(out):
        path.unlink()
    records.write_shard(out / "games-00000.npz", [record])
    more = ["selfplay", "--games", 2, "--workers", 1, "--sims", 2, "--out", out]
    refused = tilora_zero(*more, "--tree", "placements")
    assert refused.returncode == 2 and "tree cells (now placements)" in refused.stderr
    assert tilora_zero(*more).returncode == 0
    assert count_games(out) == 2


def test_an_unwritable_out_directory_is_refused_before_any_game(tmp_path, capsys, monkeypatch):
    out = tmp_path / "records"
    create = tempfile.mkstemp

    def read_only(*args, dir=None, **kwargs):  # what a read-only directory does for anyone but root
        if dir is not None and Path(dir) == out:
            raise PermissionError(errno.EACCES, "Permission denied", str(dir))
        return create(*args, dir=dir, **kwargs)

    monkeypatch.setattr(tempfile, "mkstemp", read_only)
    monkeypatch.setattr("tilora_zero.selfplay.local.play_games", lambda *args, **kwargs: pytest.fail("games were played"))
    status, _, err = in_process(capsys, "selfplay", "--games", 1, "--out", out)
    assert status == 2
    assert err.splitlines()[-1] == f"tilora-zero selfplay: error: --out {out}: Permission denied"


def test_a_full_disk_ends_the_run_saying_how_many_games_are_safe(tmp_path, capsys, monkeypatch):
    out = tmp_path / "records"
    write_shard = records.write_shard

    def filling_up(path, shard_records):
        if shard_paths(out):
            raise OSError(errno.ENOSPC, "No space left on device")
        return write_shard(path, shard_records)

    monkeypatch.setattr(records, "write_shard", filling_up)
    status, _, err = in_process(capsys, "selfplay", "--games", 3, "--workers", 1, "--games-per-worker", 1, "--sims", 1,
                                "--games-per-shard", 1, "--out", out)
    assert status == 1
    assert err.splitlines()[-1] == (f"tilora-zero selfplay: error: cannot write the records to {out}: No space left "
                                    "on device; the 1 games written before are safe on disk there")
    assert replays_to_payoff(out) == 1


def test_progress_counts_the_moves_of_games_in_progress_from_their_evaluations():
    cells = SearchSettings(sims_per_move=32, tree="cells")
    assert progress_figures(RunStats(), 4, cells) == (0, 4 * TYPICAL_GAME_MOVES)
    assert progress_figures(RunStats(evaluations=3300), 4, cells) == (100, 4 * TYPICAL_GAME_MOVES)
    assert progress_figures(RunStats(games=1, moves=300, evaluations=33000), 4, cells) == (1000, 1200)
    assert progress_figures(RunStats(games=4, moves=1100, evaluations=34000), 4, cells) == (1100, 1100)
    # Over placements a search is made about once every four moves.
    placements = SearchSettings(sims_per_move=32, tree="placements")
    assert progress_figures(RunStats(evaluations=760), 4, placements) == (100, 4 * TYPICAL_GAME_MOVES)


def test_an_out_path_that_is_a_file_is_refused(tmp_path, capsys):
    (tmp_path / "file").write_text("x")
    status, _, err = in_process(capsys, "selfplay", "--games", 1, "--out", tmp_path / "file")
    assert status == 2 and "exists and is not a directory" in err


def test_show_draws_the_board_in_letters_or_colours_and_as_png(played, tmp_path, capsys):
    out, _ = played
    record = next(r for r in iter_records(out) if r.game_number == 1)
    status, stdout, err = in_process(capsys, "show", out, "--game", 1, "--color", "never")
    assert status == 0, err
    lines = stdout.splitlines()
    assert lines[0].startswith(f"game 1, {record.num_moves} moves, network uniform[share], 4 sims/move")
    board = "".join(lines[2:22])
    for player, letter in enumerate("BYRG"):
        assert board.count(letter) == int((record.players == player).sum())
        assert f"score {int(record.scores[player]):>4d}" in lines[22 + player]
    status, coloured, err = in_process(capsys, "show", out, "--game", 1, "--color", "always",
                                       "--png", tmp_path / "board.png")
    assert status == 0, err
    assert "\x1b[48;5;27m" in coloured and "\x1b[0m" in coloured
    image = (tmp_path / "board.png").read_bytes()
    assert image[:8] == b"\x89PNG\r\n\x1a\n"


# The cells of each piece kind, in the catalogue's order (monomino first, the twelve pentominoes last).
PIECE_SIZES = [1, 2, 3, 3] + [4] * 5 + [5] * 12


@pytest.mark.parametrize("number", [0, 1])
def test_the_board_picture_outlines_each_piece_marks_the_corners_and_names_the_winner(played, number):
    out, _ = played
    record = next(r for r in iter_records(out) if r.game_number == number)
    final = replay(record)
    game = Game()
    for cell in record.cells.tolist():
        game.apply(cell)
    for player in range(4):
        laid = np.unique(final.pieces[final.owners == player])
        assert sorted(int((final.pieces == piece).sum()) for piece in laid) == sorted(
            PIECE_SIZES[kind] for kind in set(range(21)) - set(game.remaining_pieces(player)))
    assert (final.pieces >= 0).sum() == record.num_moves
    axes = board_figure(record).axes[0]
    assert [label.get_text() for label in axes.get_yticklabels()] == [str(20 * row) for row in range(20)]
    assert [label.get_text() for label in axes.get_xticklabels()] == ["0", "5", "10", "15"]
    assert sorted(zip(*axes.lines[0].get_data())) == [(0, 0), (0, 19), (19, 0), (19, 19)]
    colours = ["blue", "yellow", "red", "green"]
    winners = [f"player {p} ({colours[p]})" for p in range(4) if record.payoff[p] == record.payoff.max()]
    assert axes.get_title().splitlines()[1] == (f"winner: {winners[0]}" if len(winners) == 1 else
                                                f"shared win: {', '.join(winners)}")


def test_show_of_a_missing_game_number_is_a_usage_error(played, capsys):
    out, _ = played
    status, _, err = in_process(capsys, "show", out, "--game", 99)
    assert status == 2 and "holds no game number 99" in err


def test_an_out_directory_that_cannot_be_made_is_refused(tmp_path, capsys):
    (tmp_path / "file").write_text("x")
    status, _, err = in_process(capsys, "selfplay", "--games", 1, "--out", tmp_path / "file" / "records")
    assert status == 2 and f"--out {tmp_path / 'file' / 'records'}: Not a directory" in err


# Loaded by every process of a command (workers too): acts as if torch and ray were not installed, and
# notes each attempt to import them.
BLOCK_EXTRAS = """
import os, sys

class BlockExtras:
    def find_spec(self, name, path=None, target=None):
        if name.partition(".")[0] in ("torch", "ray"):
            with open(os.environ["TILORA_BLOCKED_IMPORTS"], "a") as log:
                log.write(name + "\\n")
            raise ImportError(f"No module named {name!r}")

sys.meta_path.insert(0, BlockExtras())
"""


def test_commands_that_need_no_extras_neither_import_nor_need_them(tmp_path):
    (tmp_path / "site").mkdir()
    (tmp_path / "site" / "sitecustomize.py").write_text(BLOCK_EXTRAS)
    blocked = tmp_path / "blocked-imports"
    env = {**os.environ, "TILORA_BLOCKED_IMPORTS": str(blocked),
           "PYTHONPATH": os.pathsep.join(filter(None, [str(tmp_path / "site"), os.environ.get("PYTHONPATH")]))}
    out = tmp_path / "records"
    for args in (["--help"], *([name, "--help"] for name in COMMANDS), ["--version"],
                 ["selfplay", "--games", 1, "--workers", 1, "--sims", 1, "--out", out],
                 ["show", out, "--png", tmp_path / "board.png"]):
        result = tilora_zero(*args, env=env)
        assert result.returncode == 0, (args, result.stderr)
        assert not blocked.exists(), (args, blocked.read_text())
    assert tilora_zero("--version", env=env).stdout == f"tilora-zero {__version__}\n"
    assert count_games(out) == 1
    for args in (["train", "--data", out, "--out", tmp_path / "net.pt"], ["loop", "--out", tmp_path / "run"]):
        result = tilora_zero(*args, env=env)
        assert result.returncode == 2
        assert result.stderr == f"tilora-zero {args[0]}: error: {'training' if args[0] == 'train' else 'the loop'} " \
                                "needs PyTorch, which is not installed: pip install '.[torch]'\n"
