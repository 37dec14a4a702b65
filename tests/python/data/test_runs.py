"""Resuming a records directory: the games it lacks, and games of other settings refused."""

import pytest

from tilora_zero.data.runs import MixedSettingsError, check_same_settings, games_on_disk, missing_games


def test_the_missing_games_are_those_not_on_disk_in_the_order_asked_for():
    assert missing_games({0, 2, 5}, range(6)) == [1, 3, 4]
    assert missing_games({0, 2, 5}, range(6), count=2) == [1, 3]
    assert missing_games({}, range(3)) == [0, 1, 2]


def test_a_directory_not_made_yet_holds_no_games(tmp_path):
    assert games_on_disk(tmp_path / "none") == {}


def test_games_of_other_settings_are_refused_and_earlier_versions_are_read_in_todays_terms(tmp_path):
    wanted = {"sims_per_move": 2, "tree": "cells", "gumbel_actions": 0, "gumbel_scale": 1.0, "network": "uniform"}
    before_the_placement_tree = {0: {"settings": {"sims_per_move": 2}, "network": "uniform"}}
    check_same_settings(tmp_path, before_the_placement_tree, wanted)
    with pytest.raises(MixedSettingsError, match=f"^{tmp_path} holds 1 games played with other settings: "
                                                 r"sims_per_move 3 \(now 2\)$"):
        check_same_settings(tmp_path, {0: {"settings": {"sims_per_move": 3, "tree": "cells"}, "network": "uniform"}},
                            wanted)
