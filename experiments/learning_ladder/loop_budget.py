"""The learning experiments' loop under a time budget, and what their results keep of the final matches."""
from __future__ import annotations

import json
import math
import time
from pathlib import Path


def budgeted_loop(out: Path, loop_settings: dict, minutes: float, max_generations: int | None):
    """Runs the loop of ``loop_settings`` in ``out`` generation after generation while the next one still fits
    in ``minutes`` (judged by the last one's duration); returns (its LoopSettings, the generations, the loop's
    minutes). The budget counts the loop's time over every invocation (saved at every log line in
    OUT/loop_seconds.json), so a resumed run goes on with what is left; generations already trained are passed
    through whatever the time."""
    from tilora_zero.learning.loop import LoopSettings, checkpoint_path, run_loop

    out.mkdir(parents=True, exist_ok=True)
    spent_path = out / "loop_seconds.json"
    spent_before = json.loads(spent_path.read_text())["seconds"] if spent_path.exists() else 0.0
    start = time.monotonic()
    budget = minutes * 60

    def spent() -> float:
        return spent_before + time.monotonic() - start

    def log(line: str) -> None:
        spent_path.write_text(json.dumps({"seconds": spent()}) + "\n")
        print(f"[{spent() / 60:5.1f} min] {line}", flush=True)

    generation, last = 0, 0.0
    while generation != max_generations:
        trained = checkpoint_path(out, generation + 1).exists()
        if generation > 0 and not trained and spent() + last > budget:
            break
        began = time.monotonic()
        settings = LoopSettings.from_dict({**loop_settings, "generations": generation + 1})
        run_loop(out, settings, log=log, progress=False)
        generation += 1
        if not trained:
            last = time.monotonic() - began
    loop_minutes = spent() / 60
    spent_path.write_text(json.dumps({"seconds": loop_minutes * 60}) + "\n")
    print(f"loop: {generation} generations in {loop_minutes:.1f} min; final network "
          f"{checkpoint_path(out, generation)}", flush=True)
    return settings, generation, loop_minutes


def brief(result) -> dict:
    """What results.json keeps of a final match."""
    summary = result.summary()
    return {**{k: summary[k] for k in ("a", "b", "games", "a_mean_payoff_per_seat", "ci95", "elo")},
            "half_width": result.half_width}


def rise(last: dict, first: dict) -> dict:
    """The difference of two final matches' payoffs per seat (brief), with its 95% interval."""
    difference = last["a_mean_payoff_per_seat"] - first["a_mean_payoff_per_seat"]
    half = math.hypot(last["half_width"], first["half_width"])
    return {"last_minus_first": difference, "ci95": [difference - half, difference + half]}
