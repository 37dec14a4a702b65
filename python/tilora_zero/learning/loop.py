"""The training loop: self-play with the newest network, train, measure, repeat.

A run directory holds everything, and the loop picks up where it stopped:

    RUN/loop.json               the settings the run was started with
    RUN/records/                every self-play game; generation g's games are
                                numbered (g - 1) * N .. g * N - 1
    RUN/checkpoints/gen-GGG.pt  the network trained after generation g's games
    RUN/metrics.jsonl           one JSON line per self-play run ("kind": "selfplay"),
                                training log step ("kind": "train") and ladder
                                match ("kind": "ladder")
    RUN/losses.png, RUN/ladder.png

Generation 0 is `generation_zero`: the uniform network, or the rollout
baseline (a search whose leaves are valued by random playouts: no model, far
better games to learn from). Generation g (from 1) plays N games with
generation g - 1, trains generation g on the newest `window` games (starting
from generation g - 1's weights), then climbs the ladder: one seat of
generation g, searching with the loop's settings, against three seats of each
fixed baseline (uniform, greedy, rollout) at the same simulations. The
baselines never change, so a ladder curve means the same in every run.

Each of the three is a stage (:func:`play_generation`, :func:`train_generation`,
:func:`climb_ladder`) that reads the run directory and does only what is not
on disk yet: missing games are played, a missing checkpoint is trained, a
missing match is played. :func:`run_loop` runs them, generation after
generation.
"""
from __future__ import annotations

import json
import time
from dataclasses import asdict, dataclass, field, fields, replace
from pathlib import Path
from typing import Any, Callable

from ..data.runs import MixedSettingsError, settings_changes
from ..networks import LEGACY_VALUE_HEAD, VALUE_HEAD_CHANNELS, VALUE_HEAD_HIDDEN, VALUE_HEAD_RELU, ServedNetwork
from ..selfplay.players import Player
from ..settings import (SEARCH_TREES, SearchSettings, ServingOptions, TrainSettings, selfplay_search,
                        upgraded_search_settings)
from .arena import match_search, play_against_baseline, result_dict
from .ladder import LADDER, plot_ladder
from .value_fit import VALUE_FITS, unfittable

GENERATION_ZERO = ("uniform", "rollout")

CONFIG_NAME = "loop.json"


@dataclass
class LoopSettings:
    generations: int = 5
    games_per_generation: int = 64
    # Self-play's search; the ladder's is the same without root noise, playouts and the Gumbel root, over
    # ladder_tree (ladder_settings). Over cells at 16 simulations with a Gumbel root: the records that teach,
    # at the CPU per game of 24 simulations over placements (docs/learning.md).
    search: SearchSettings = field(default_factory=lambda: selfplay_search(sims_per_move=16))
    # Each generation's training; its seed is the loop's seed plus the generation. Half of each batch from
    # the positions whose target chooses (experiments/record_targets).
    train: TrainSettings = field(default_factory=lambda: TrainSettings(steps=500, choice_share=0.5))
    workers: int = 2
    games_per_worker: int = 8
    blocks: int = 4
    channels: int = 32
    value_channels: int = VALUE_HEAD_CHANNELS
    value_hidden: int = VALUE_HEAD_HIDDEN
    value_relu: bool = VALUE_HEAD_RELU
    value_counts: bool = False  # the value head also reads the counts of networks.counts
    # "counts": after each generation's training, the value head is replaced by the softmax regression of the
    # window's outcomes on the counts (learning.value_fit; needs value_counts, value_hidden 0 or at least 4 and
    # no ReLU), at the positions self-play's search values (over placements, turn starts). Training still
    # steps the head, whose gradients the tower keeps learning from.
    value_fit: str = "trained"
    window: int = 256  # newest games trained on
    ladder: list[str] = field(default_factory=lambda: list(LADDER))  # the baselines each generation plays
    ladder_games: int = 40  # games against each baseline, spread over the four seats
    # The ladder's searches value each leaf by (1 - w) * the network's value + w * one random playout's payoff:
    # 0 measures the network's own values alone, 1 its priors guiding a search that playouts judge.
    ladder_rollout_weight: float = 0.0
    # The ladder's search tree (None: self-play's): self-play over cells teaches a player over placements.
    ladder_tree: str | None = "placements"
    generation_zero: str = "uniform"  # who plays generation 1's games: "uniform" or "rollout"
    device: str = "cpu"
    threads: int = 1  # torch CPU threads for training (the machine is shared)
    value_convention: str | None = None  # classic search only: served instead of "centred"
    seed: int | None = None

    def check(self) -> None:
        for name in ("generations", "games_per_generation", "workers", "games_per_worker", "channels",
                     "value_channels", "window", "ladder_games", "threads"):
            if getattr(self, name) < 1:
                raise ValueError(f"{name.replace('_', ' ')} must be at least 1, got {getattr(self, name)}")
        for name in ("blocks", "value_hidden"):
            if getattr(self, name) < 0:
                raise ValueError(f"{name.replace('_', ' ')} must not be negative, got {getattr(self, name)}")
        unknown = [b for b in self.ladder if b not in LADDER]
        if not self.ladder or unknown or len(set(self.ladder)) != len(self.ladder):
            raise ValueError(f"the ladder is one or more of {', '.join(LADDER)}, each once, got {self.ladder!r}")
        if not 0 <= self.ladder_rollout_weight <= 1:
            raise ValueError(f"ladder rollout weight must be from 0 to 1, got {self.ladder_rollout_weight!r}")
        if self.ladder_tree is not None and self.ladder_tree not in SEARCH_TREES:
            raise ValueError(f"ladder tree must be one of {', '.join(SEARCH_TREES)}, got {self.ladder_tree!r}")
        if self.generation_zero not in GENERATION_ZERO:
            raise ValueError(f"generation zero must be one of {', '.join(GENERATION_ZERO)}, got "
                             f"{self.generation_zero!r}")
        if self.value_fit not in VALUE_FITS:
            raise ValueError(f"value fit must be one of {', '.join(VALUE_FITS)}, got {self.value_fit!r}")
        if self.value_fit == "counts":
            reason = unfittable({"value_counts": self.value_counts, "value_hidden": self.value_hidden,
                                 "value_relu": self.value_relu})
            if reason:
                raise ValueError(f"a value fit of the counts needs a network that can hold it: {reason}")
        self.network("uniform")  # a value convention that the search reads

    def ladder_settings(self) -> SearchSettings:
        """The search of both sides of a ladder match: self-play's without root noise and without a Gumbel root
        (a ladder measures every run with the same search), its leaves valued with the ladder's rollout weight
        whatever self-play mixes in."""
        return replace(match_search(self.search), rollout_weight=self.ladder_rollout_weight,
                       tree=self.ladder_tree or self.search.tree, gumbel_actions=0)

    def train_settings(self, generation: int) -> TrainSettings:
        return replace(self.train, seed=None if self.seed is None else self.seed + generation)

    def network(self, source: str) -> ServedNetwork:
        """``source`` ("uniform" or a checkpoint) bound to the loop's searches."""
        return ServedNetwork(source, self.search.search, self.device, self.value_convention)

    def serving_options(self) -> ServingOptions:
        return ServingOptions(games_per_worker=self.games_per_worker)

    def flat(self) -> dict[str, Any]:
        """Every setting under one name: ``search.sims_per_move``, ``train.steps``, ``blocks``."""
        flat = {}
        for name, value in asdict(self).items():
            if isinstance(value, dict):
                flat.update((f"{name}.{key}", inner) for key, inner in value.items())
            else:
                flat[name] = value
        return flat

    @classmethod
    def from_dict(cls, data: dict) -> "LoopSettings":
        """The settings of a ``loop.json``; ValueError or TypeError for one that is not."""
        if not isinstance(data.get("search"), dict):
            data = _nested(data)
        # A run begun before a setting existed ran as its absence meant: the legacy value head, a ladder
        # searching as self-play did, every batch drawn uniformly.
        data = {**LEGACY_VALUE_HEAD, "ladder_tree": None, **data}
        defaults = cls()
        known = {f.name for f in fields(cls)}
        values = {k: v for k, v in data.items() if k in known}
        values["search"] = replace(defaults.search, **upgraded_search_settings(data.get("search", {})))
        values["train"] = replace(defaults.train, **{"choice_share": 0.0, **data.get("train", {})})
        return cls(**values)


def _nested(flat: dict) -> dict:
    """A ``loop.json`` written before the search and training settings had their own types, in today's form."""
    search_names = {f.name for f in fields(SearchSettings)} - {"seed"}  # "seed" was the loop's
    train_names = {"train_steps": "steps", "batch_size": "batch_size", "learning_rate": "learning_rate",
                   "weight_decay": "weight_decay", "choice_share": "choice_share"}
    nested: dict[str, Any] = {"search": {}, "train": {}}
    for key, value in flat.items():
        if key in search_names:
            nested["search"][key] = value
        elif key in train_names:
            nested["train"][train_names[key]] = value
        else:
            nested[key] = value
    return nested


# Settings that say how a run is carried out, not what it computes: they may change when it resumes.
EXECUTION_SETTINGS = ("generations", "workers", "games_per_worker", "device", "threads")


def checkpoint_path(run: Path, generation: int) -> Path:
    return run / "checkpoints" / f"gen-{generation:03d}.pt"


def records_path(run: Path) -> Path:
    return run / "records"


def metrics_path(run: Path) -> Path:
    return run / "metrics.jsonl"


def network_source(run: Path, generation: int, generation_zero: str = "uniform") -> str:
    return generation_zero if generation == 0 else str(checkpoint_path(run, generation))


def generation_games(settings: LoopSettings, generation: int) -> range:
    n = settings.games_per_generation
    return range((generation - 1) * n, generation * n)


def open_run(run: str | Path, settings: LoopSettings, allow_mixed: bool = False) -> LoopSettings:
    """Creates the run directory or checks the settings of the run found there.

    On resume the EXECUTION_SETTINGS may change (the number of generations may
    grow); a change of any other raises MixedSettingsError, as the run's games,
    checkpoints and matches would mix both, unless ``allow_mixed``. A change of
    the games per generation would renumber the games and is always refused.
    """
    run = Path(run)
    settings.check()
    config = run / CONFIG_NAME
    if config.exists():
        try:
            stored = LoopSettings.from_dict(json.loads(config.read_text()))
        except (ValueError, TypeError) as error:
            raise ValueError(f"{config} is not a loop settings file: {error}") from error
        if stored.games_per_generation != settings.games_per_generation:
            raise ValueError(
                f"{run} was started with {stored.games_per_generation} games per generation, "
                f"not {settings.games_per_generation}"
            )
        recorded, wanted = ({k: v for k, v in s.flat().items() if k not in EXECUTION_SETTINGS}
                            for s in (stored, settings))
        if recorded != wanted and not allow_mixed:
            raise MixedSettingsError(f"{run} was started with other settings: {settings_changes(recorded, wanted)}")
    run.mkdir(parents=True, exist_ok=True)
    temporary = config.with_name(f".{config.name}.tmp")
    temporary.write_text(json.dumps(asdict(settings), indent=2) + "\n")
    temporary.replace(config)
    return settings


def play_generation(run: Path, settings: LoopSettings, generation: int, log: Callable[[str], None] = print,
                    selfplay: Callable[..., Any] | None = None) -> None:
    """Plays the games of ``generation`` that the run's records lack, with generation - 1's network (or
    generation zero), and logs the run's counts to its metrics."""
    from ..data.records import RecordWriter
    from ..data.runs import games_on_disk, missing_games
    from ..selfplay.local import play_games, run_games
    from ..selfplay.matches import Match
    from .training import MetricsWriter

    records = records_path(run)
    missing = missing_games(games_on_disk(records), generation_games(settings, generation))
    if not missing:
        return
    source = network_source(run, generation - 1, settings.generation_zero)
    log(f"generation {generation}: self-play, {len(missing)} games with {source}")
    options = settings.serving_options()
    with RecordWriter(records) as writer:
        if source == "rollout":  # a baseline played by the module on every seat
            stats = run_games(Match([Player(source, settings.search)], [(0, 0, 0, 0)], settings.seed), missing,
                              settings.workers, writer.add, options=options)
        else:
            stats = (selfplay or play_games)(settings.network(source).factory(), missing, settings.search,
                                             settings.workers, writer.add, options=options)
    MetricsWriter(metrics_path(run))({
        "kind": "selfplay", "generation": generation, "games": stats.games, "moves": stats.moves,
        "evaluations_per_second": stats.evaluations_per_second, "cache_hit_rate": stats.hit_rate,
        "wall_time": stats.wall_time,
    })


def train_generation(run: Path, settings: LoopSettings, generation: int, log: Callable[[str], None] = print,
                     progress: bool = True) -> None:
    """Trains the checkpoint of ``generation`` unless the run holds it: from generation - 1's weights (a new
    network for generation 1) on the newest ``window`` games of the run's records."""
    import torch

    from ..data.dataset import load_dataset
    from ..networks.resnet import TiloraNet, load_model, save_checkpoint
    from .training import MetricsWriter, plot_losses, read_metrics, train
    from .value_fit import fit_counts_value

    checkpoint = checkpoint_path(run, generation)
    if checkpoint.exists():
        return
    log(f"generation {generation}: training {settings.train.steps} steps")
    if generation == 1:
        if settings.seed is not None:
            torch.manual_seed(settings.seed)
        model = TiloraNet(settings.blocks, settings.channels, settings.value_channels, settings.value_hidden,
                          settings.value_relu, settings.value_counts)
    else:
        model, _ = load_model(checkpoint_path(run, generation - 1))
    data = load_dataset(records_path(run), last_games=settings.window)
    train_settings = settings.train_settings(generation)
    metrics = metrics_path(run)
    writer = MetricsWriter(metrics, {"kind": "train", "generation": generation, "positions": len(data)})
    train(model, data, train_settings, settings.device, on_metrics=writer, progress=progress)
    if settings.value_fit == "counts":
        # Fitted where self-play's search asks for values: over placements, at turn starts only.
        asked = data.turn_starts() if settings.search.tree == "placements" else slice(None)
        fitted = fit_counts_value(model, data.planes[asked], data.values[asked],
                                  seed=generation if train_settings.seed is None else train_settings.seed)
        log(f"generation {generation}: value head fitted to the counts, loss {fitted.loss:.4f} "
            f"(constant {fitted.constant_loss:.4f}) over {fitted.positions} positions in {fitted.iterations} "
            f"iterations")
        MetricsWriter(metrics)({"kind": "value_fit", "generation": generation, **asdict(fitted)})
    save_checkpoint(checkpoint, model, {"generation": generation, "train": asdict(train_settings),
                                        "positions": len(data), "value_fit": settings.value_fit},
                    settings.network(str(checkpoint)).trained_convention)
    train_metrics = [m for m in read_metrics(metrics) if m.get("kind") == "train"]
    plot_losses(_concatenated_steps(train_metrics), run / "losses.png", "training losses, all generations")


def ladder_done(metrics: list[dict], generation: int, baseline: str) -> bool:
    return any(m.get("kind") == "ladder" and m.get("generation") == generation and m.get("baseline") == baseline
               for m in metrics)


def climb_ladder(run: Path, settings: LoopSettings, generation: int, log: Callable[[str], None] = print) -> None:
    """Plays generation ``generation`` against each baseline of the ladder that the run's metrics lack, and
    draws the run's ladder."""
    from .training import MetricsWriter, read_metrics

    metrics = metrics_path(run)
    played = read_metrics(metrics)
    player = Player(str(checkpoint_path(run, generation)), settings.ladder_settings(), settings.device,
                    settings.value_convention)
    for baseline in settings.ladder:
        if ladder_done(played, generation, baseline):
            continue
        log(f"generation {generation}: ladder against {baseline}, {settings.ladder_games} games")
        result = play_against_baseline(player, baseline, settings.ladder_games, settings.workers, seed=generation,
                                       options=settings.serving_options())
        log(result.report())
        MetricsWriter(metrics)({"kind": "ladder", "generation": generation, "baseline": baseline,
                                **result_dict(result)})
    plot_ladder(read_metrics(metrics), run / "ladder.png")


def run_loop(run: str | Path, settings: LoopSettings, log: Callable[[str], None] = print,
             progress: bool = True, selfplay: Callable[..., Any] | None = None,
             allow_mixed: bool = False) -> list[dict]:
    """Runs (or resumes) the loop, each generation's stages in turn; returns the ladder metrics of the run.

    ``selfplay`` plays each generation's games: the local backend's ``play_games`` by default, or
    another backend's with the same signature (``RaySelfPlay.play_games``). ``allow_mixed``: see
    :func:`open_run`."""
    import torch

    from .training import read_metrics

    run = Path(run)
    settings = open_run(run, settings, allow_mixed)
    torch.set_num_threads(settings.threads)
    for generation in range(1, settings.generations + 1):
        started = time.monotonic()
        play_generation(run, settings, generation, log, selfplay)
        train_generation(run, settings, generation, log, progress)
        climb_ladder(run, settings, generation, log)
        log(f"generation {generation} done in {time.monotonic() - started:.0f} s")
    return [m for m in read_metrics(metrics_path(run)) if m.get("kind") == "ladder"]


def _concatenated_steps(metrics: list[dict]) -> list[dict]:
    """Training lines of all generations on one axis of positions seen."""
    out, offset, last_generation, last_seen = [], 0, None, 0
    for m in metrics:
        if m.get("generation") != last_generation:
            offset += last_seen
            last_generation = m.get("generation")
        last_seen = m.get("positions_seen", 0)
        out.append({**m, "positions_seen": offset + last_seen})
    return out
