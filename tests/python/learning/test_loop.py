"""The loop: a tiny run, then resuming it without repeating finished steps."""
import json
from dataclasses import replace

import pytest

pytest.importorskip("torch")
from tilora_zero.data.records import game_numbers  # noqa: E402
from tilora_zero.learning.loop import LoopSettings, checkpoint_path, open_run, run_loop  # noqa: E402
from tilora_zero.learning.training import read_metrics  # noqa: E402
from tilora_zero.settings import SearchSettings, TrainSettings  # noqa: E402

TINY = dict(games_per_generation=2, search=SearchSettings(sims_per_move=1), train=TrainSettings(steps=2, batch_size=8),
            workers=1, games_per_worker=2, blocks=0, channels=4, window=4, ladder_games=1, seed=0)
LADDER = [("ladder", "uniform"), ("ladder", "greedy"), ("ladder", "rollout")]


def kinds(run, generation):
    return [(m["kind"], m.get("baseline")) for m in read_metrics(run / "metrics.jsonl")
            if m["kind"] != "train" and m["generation"] == generation]


def test_loop_runs_and_resumes_where_it_stopped(tmp_path):
    run = tmp_path / "run"
    logs = []
    run_loop(run, LoopSettings(generations=1, **TINY), log=logs.append, progress=False)
    assert game_numbers(run / "records") == [0, 1]
    first = checkpoint_path(run, 1)
    stamp = first.stat().st_mtime_ns
    assert kinds(run, 1) == [("selfplay", None)] + LADDER

    # A second generation, after an interruption that lost generation 2's checkpoint.
    run_loop(run, LoopSettings(generations=2, **TINY), log=logs.append, progress=False)
    checkpoint_path(run, 2).unlink()
    logs.clear()
    run_loop(run, LoopSettings(generations=2, **TINY), log=logs.append, progress=False)
    assert logs[0].startswith("generation 1 done")
    assert [line for line in logs if "self-play" in line or "ladder against" in line] == []
    assert any(line == "generation 2: training 2 steps" for line in logs)
    assert first.stat().st_mtime_ns == stamp
    assert game_numbers(run / "records") == [0, 1, 2, 3]
    assert kinds(run, 2) == [("selfplay", None)] + LADDER
    assert (run / "ladder.png").stat().st_size > 0 and (run / "losses.png").stat().st_size > 0
    assert json.loads((run / "loop.json").read_text())["generations"] == 2


def test_a_rollout_generation_zero_teaches_the_first_network_measured_on_its_own_ladder(tmp_path):
    run = tmp_path / "run"
    run_loop(run, LoopSettings(generations=1, generation_zero="rollout", ladder=["rollout"], ladder_rollout_weight=1.0,
                               **TINY), log=lambda line: None, progress=False)
    from tilora_zero.data.records import iter_records

    records = list(iter_records(run / "records"))
    assert [r.metadata["players"][0]["name"] for r in records] == ["rollout", "rollout"]
    assert checkpoint_path(run, 1).exists() and kinds(run, 1) == [("selfplay", None), ("ladder", "rollout")]
    [match] = [m for m in read_metrics(run / "metrics.jsonl") if m["kind"] == "ladder"]
    assert match["a"].endswith("(puct over placements, 1 sims, rollout weight 1)")
    assert match["b"] == "rollout (puct over placements, 1 sims)"


def test_self_play_over_cells_with_a_gumbel_root_climbs_a_ladder_over_placements_with_puct(tmp_path):
    run = tmp_path / "run"
    settings = LoopSettings(generations=1, ladder=["greedy"], ladder_tree="placements", value_counts=True,
                            value_hidden=4, value_fit="counts",
                            **{**TINY, "search": replace(TINY["search"], tree="cells", gumbel_actions=4)})
    run_loop(run, settings, log=lambda line: None, progress=False)
    from tilora_zero.data.records import iter_records
    from tilora_zero.networks.resnet import load_model

    assert {(r.metadata["settings"]["tree"], r.metadata["settings"]["gumbel_actions"])
            for r in iter_records(run / "records")} == {("cells", 4)}
    [match] = [m for m in read_metrics(run / "metrics.jsonl") if m["kind"] == "ladder"]
    assert "(puct over placements, 1 sims" in match["a"] and "Gumbel" not in match["a"]
    assert load_model(checkpoint_path(run, 1))[0].architecture["value_counts"] is True
    [fit] = [m for m in read_metrics(run / "metrics.jsonl") if m["kind"] == "value_fit"]
    assert fit["positions"] == sum(len(r.cells) for r in iter_records(run / "records"))


@pytest.mark.parametrize("change", [{"ladder": []}, {"ladder": ["rollout", "rollout"]}, {"ladder": ["random"]},
                                    {"ladder_rollout_weight": 1.5}, {"ladder_tree": "pieces"}])
def test_a_ladder_that_cannot_be_climbed_is_refused(change):
    with pytest.raises(ValueError, match="ladder"):
        LoopSettings(**{**TINY, **change}).check()


@pytest.mark.parametrize("change, message", [
    ({"games_per_generation": 3}, "was started with 2 games per generation, not 3"),
    ({"search": SearchSettings(sims_per_move=4), "blocks": 2},
     "was started with other settings: search.sims_per_move 1 \\(now 4\\), blocks 0 \\(now 2\\)$"),
    ({"generations": 3, "workers": 2, "games_per_worker": 1, "device": "cuda", "threads": 2}, None),
])
def test_a_run_resumes_with_other_settings_only_where_they_change_nothing_it_computes(tmp_path, change, message):
    open_run(tmp_path, LoopSettings(generations=1, **TINY))
    changed = LoopSettings(**{"generations": 1, **TINY, **change})
    if message is not None:
        with pytest.raises(ValueError, match=message):
            open_run(tmp_path, changed)
    if message is None or "other settings" in message:
        open_run(tmp_path, changed, allow_mixed=message is not None)
        assert LoopSettings.from_dict(json.loads((tmp_path / "loop.json").read_text())) == changed


def test_the_flat_settings_of_a_run_started_before_they_were_nested_are_read_as_they_were_meant():
    flat = {"generations": 2, "games_per_generation": 2, "train_steps": 2, "sims_per_move": 1, "sample_moves": 30,
            "c_base": 19652.0, "c_init": 1.25, "dirichlet_alpha": 0.3, "exploration_fraction": 0.25,
            "search": "classic", "workers": 1, "games_per_worker": 2, "blocks": 0, "channels": 4, "batch_size": 8,
            "learning_rate": 1e-3, "weight_decay": 1e-4, "window": 4, "ladder_games": 1,
            "generation_zero": "uniform", "device": "cpu", "threads": 1, "value_convention": None, "seed": 0}
    legacy_head = {"value_channels": 1, "value_hidden": 64, "value_relu": True}
    assert LoopSettings.from_dict(flat) == LoopSettings(**{**TINY, "generations": 2, **legacy_head, "ladder_tree": None,
                                                           "search": SearchSettings(sims_per_move=1, search="classic",
                                                                                    tree="cells")})
