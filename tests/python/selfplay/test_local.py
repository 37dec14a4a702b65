"""The runner end to end: worker processes, the inference server, failures, scheduling, settings."""

from __future__ import annotations

import functools
import os
import select
import subprocess
import sys

import numpy as np
import pytest

import toolkit_helpers
from toolkit_helpers import assert_replays_to_its_payoff
from tilora_zero import __version__
from tilora_zero.networks import load_network
from tilora_zero.selfplay.local import GameScheduler, RunError, SearchSettings, ServingOptions, play_games

SETTINGS = SearchSettings(sims_per_move=6, sample_moves=10)


def test_two_workers_play_games_whose_records_replay_legally():
    records, seen = [], []
    stats = play_games(functools.partial(load_network, "uniform", "cpu", "share"), [0, 1, 2], SETTINGS, workers=2,
                       on_record=records.append, progress=lambda s: seen.append(s.games),
                       options=ServingOptions(games_per_worker=2))
    assert sorted(r.game_number for r in records) == [0, 1, 2]
    for record in records:
        assert_replays_to_its_payoff(record)
        assert record.metadata["settings"] == SETTINGS.as_dict()
        assert record.metadata["network"] == "uniform[share]"
        assert record.metadata["toolkit_version"] == __version__
        assert record.metadata["wall_time"] > 0
    assert stats.games == 3 and stats.moves == sum(r.num_moves for r in records)
    assert stats.mean_game_length == stats.moves / 3
    assert stats.evaluations >= stats.moves  # one root evaluation per move at least
    assert stats.positions + stats.cache_hits == stats.evaluations
    assert stats.payoff_sums == pytest.approx(np.sum([r.payoff for r in records], axis=0).tolist())
    assert sum(stats.wins) >= 3 and seen[-1] == 3


def test_the_central_inference_server_serves_the_workers():
    records = []
    stats = play_games(toolkit_helpers.uniform_network, [7, 8], SearchSettings(sims_per_move=3), workers=2,
                       on_record=records.append, options=ServingOptions(server=True))
    assert sorted(r.game_number for r in records) == [7, 8]
    assert {r.metadata["network"] for r in records} == {"zeros"}
    for record in records:
        assert_replays_to_its_payoff(record)
    assert stats.evaluations > 0


@pytest.mark.parametrize("server", [False, True])
def test_a_network_serving_centred_values_to_puct_searches_is_refused(server):
    with pytest.raises(RunError, match="serves 'centred' values but the puct search reads payoff shares"):
        play_games(functools.partial(load_network, "uniform"), [0], SETTINGS, workers=1, on_record=lambda r: None,
                   options=ServingOptions(server=server))


def test_a_seeded_run_plays_each_game_the_same_way_and_different_games_differently():
    def played(numbers):
        records = []
        play_games(functools.partial(load_network, "uniform", "cpu", "share"), numbers,
                   SearchSettings(sims_per_move=4, seed=11), workers=1, on_record=records.append)
        return {r.game_number: r for r in records}

    first, again = played([0, 1]), played([1])
    assert first[1].cells.tolist() == again[1].cells.tolist()
    assert first[1].policy_shares.tolist() == again[1].policy_shares.tolist()
    assert first[0].cells.tolist() != first[1].cells.tolist()
    assert first[1].metadata["seed"] == again[1].metadata["seed"] != first[0].metadata["seed"]
    assert first[1].metadata["settings"]["seed"] == 11


@pytest.mark.parametrize("server", [False, True])
def test_a_failing_network_ends_the_run_with_its_error(server):
    with pytest.raises(RunError, match="game 3") as raised:
        play_games(toolkit_helpers.failing_network, [3], SETTINGS, workers=1, on_record=lambda r: None,
                   options=ServingOptions(server=server))
    assert "Error running MCTS" in str(raised.value)
    assert "RuntimeError: the network is broken" in str(raised.value)


def test_a_worker_that_dies_ends_the_run_with_its_exit_code():
    with pytest.raises(RunError, match=r"worker 0 stopped \(exit code 3\)"):
        play_games(toolkit_helpers.dying_network, [0], SETTINGS, workers=1, on_record=lambda r: None)


def test_no_games_means_no_processes():
    stats = play_games(toolkit_helpers.dying_network, [], SETTINGS, workers=4, on_record=lambda r: None)
    assert stats.games == 0


def test_scheduler_hands_out_each_number_once_and_retries_failures_first():
    scheduler = GameScheduler([5, 6, 7])
    assert [scheduler.next(), scheduler.next()] == [5, 6]
    assert scheduler.finish(5) and not scheduler.finish(5)  # a duplicate result is refused
    scheduler.retry(6)
    assert [scheduler.next(), scheduler.next(), scheduler.next()] == [6, 7, None]
    assert not scheduler.done
    scheduler.finish(6)
    scheduler.finish(7)
    assert scheduler.done and scheduler.finished == {5, 6, 7}
    with pytest.raises(ValueError, match="unique"):
        GameScheduler([1, 1])


@pytest.mark.parametrize("changes, message", [
    ({"sims_per_move": -1}, "sims_per_move must be an integer"),
    ({"sims_per_move": 0}, "sims_per_move must be an integer from 1 to 4294967295, got 0"),
    ({"sims_per_move": 2.0}, "sims_per_move must be an integer"),
    ({"sample_moves": 2**32}, "sample_moves must be an integer"),
    ({"dirichlet_alpha": 0.0}, "dirichlet_alpha must be positive"),
    ({"exploration_fraction": 1.5}, "exploration_fraction must be from 0 to 1"),
    ({"c_base": float("nan")}, "c_base must be a finite number"),
    ({"search": "ucb"}, "search must be 'puct' or 'classic'"),
    ({"first_play_value": float("inf")}, "first_play_value must be a finite number"),
    ({"seed": -1}, "seed must be an integer from 0 to 2\\*\\*64 - 1"),
    ({"seed": 2**64}, "seed must be an integer"),
    ({"dirichlet_alpha": 1e-300}, "dirichlet_alpha must be positive as a 32-bit float, got 1e-300"),
    ({"c_base": 1e39}, "c_base 1e\\+39 is beyond the range of a 32-bit float"),
    ({"c_init": -1e39}, "c_init -1e\\+39 is beyond the range of a 32-bit float"),
    ({"gumbel_actions": -1}, "gumbel_actions must be an integer from 0"),
    ({"gumbel_scale": -1.0}, "gumbel_scale must not be negative"),
])
def test_search_settings_refuse_values_the_search_cannot_use(changes, message):
    with pytest.raises(ValueError, match=message):
        SearchSettings(**changes)


def test_search_settings_defaults():
    assert SearchSettings().as_dict() == {"sims_per_move": 150, "sample_moves": 30, "c_base": 19652.0,
                                          "c_init": 1.25, "dirichlet_alpha": 0.3, "exploration_fraction": 0.25,
                                          "search": "puct", "tree": "placements", "first_play_value": None,
                                          "seed": None, "rollout_weight": 0.0, "gumbel_actions": 0,
                                          "gumbel_scale": 1.0}


def process_state(pid: int) -> tuple[str, int] | None:
    """(state letter, parent pid) of a process, None when it is gone."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
    except OSError:
        return None
    return fields[0], int(fields[1])


def workers_of(pid: int) -> list[int]:
    """The live worker processes started by ``pid`` (not multiprocessing's resource tracker)."""
    found = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        state = process_state(int(entry))
        if state and state[1] == pid and state[0] != "Z":
            try:
                with open(f"/proc/{entry}/cmdline", "rb") as cmdline:
                    if b"spawn_main" in cmdline.read():
                        found.append(int(entry))
            except OSError:
                continue
    return found


def gone_within(pid: int, seconds: float) -> bool:
    """Waits for process ``pid`` (any process, not only a child) to end."""
    try:
        handle = os.pidfd_open(pid)
    except ProcessLookupError:
        return True
    try:
        return bool(select.select([handle], [], [], seconds)[0])
    finally:
        os.close(handle)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="parent-death signal is Linux only")
def test_workers_end_when_the_parent_is_killed(tmp_path):
    script = (
        "import functools\n"
        "from tilora_zero.networks import load_network\n"
        "from tilora_zero.selfplay.local import SearchSettings, play_games\n"
        "def progress(stats):\n"
        "    if stats.evaluations and not progress.told:\n"
        "        progress.told = True\n"
        "        print('playing', flush=True)\n"
        "progress.told = False\n"
        "if __name__ == '__main__':\n"
        "    play_games(functools.partial(load_network, 'uniform', 'cpu', 'share'), range(100),\n"
        "               SearchSettings(sims_per_move=50), 2, lambda record: None, progress)\n")
    (tmp_path / "run.py").write_text(script)
    parent = subprocess.Popen([sys.executable, str(tmp_path / "run.py")], stdout=subprocess.PIPE, text=True)
    assert parent.stdout.readline() == "playing\n"
    workers = workers_of(parent.pid)
    assert len(workers) == 2
    parent.kill()
    parent.wait()
    parent.stdout.close()
    assert all(gone_within(pid, 30) for pid in workers), "workers outlived their parent"
