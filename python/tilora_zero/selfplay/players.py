"""What plays a seat of a match: a source and its own search settings.

A source is a baseline the module plays in C++, with no network and no
serving:

    "uniform"  searches over equal priors, every position valued at par (0.25)
    "rollout"  searches over equal priors, each leaf valued by one random playout to the end
    "greedy"   no search: lays a placement with the most cells each turn, ties at random

or a network: a checkpoint path, or a picklable callable that builds one. A
network seat serves the value convention its rule reads, resolved once where
the player binds its network to its searches
(:class:`~tilora_zero.networks.ServedNetwork`): payoff shares under PUCT, the
checkpoint's own (or ``value_convention``) under the classic rule.
"""
from __future__ import annotations

import types
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

from ..networks import ServedNetwork
from ..settings import SearchSettings
from .games import NetworkFactory

BASELINES = ("uniform", "rollout", "greedy")


@dataclass(frozen=True)
class Player:
    source: str | NetworkFactory  # a baseline name, a checkpoint path, or a picklable network factory
    settings: SearchSettings = field(default_factory=SearchSettings)
    device: str = "cpu"  # torch device of a checkpoint's network
    value_convention: str | None = None  # classic rule only: served instead of the checkpoint's own
    # A network's values searched over equal priors (its policy ignored): what its values are worth alone.
    equal_priors: bool = False
    precision: str | None = None  # a checkpoint's: "fp32", "int8" or None (networks.default_precision)
    # A network's binding to this player's searches; None for a baseline.
    network: ServedNetwork | None = field(init=False, repr=False, compare=False)

    def __post_init__(self) -> None:
        if not isinstance(self.source, str) and not callable(self.source):
            raise TypeError(f"a player's source is a baseline name, a checkpoint path or a network factory, "
                            f"got {self.source!r}")
        network = None
        if self.kind == "network":
            network = ServedNetwork(self.source, self.settings.search, self.device, self.value_convention,
                                    self.precision)
        elif self.equal_priors:
            raise ValueError(f"equal_priors applies to a network's values; {self.source!r} has none")
        object.__setattr__(self, "network", network)

    @property
    def kind(self) -> str:
        """The module's player: a baseline's name, or "network"."""
        return self.source if isinstance(self.source, str) and self.source in BASELINES else "network"

    @property
    def name(self) -> str:
        if isinstance(self.source, str):
            precision = self.network.precision if self.network is not None else "fp32"
            return self.source if precision == "fp32" else f"{self.source} {precision}"
        return getattr(self.source, "name", None) or repr(self.source)

    @property
    def label(self) -> str:
        """The name, with the rule, tree, simulations and leaf values of a searching player."""
        if self.kind == "greedy":
            return self.name
        priors = ", equal priors" if self.equal_priors else ""
        playouts = (f", rollout weight {self.settings.rollout_weight:g}"
                    if self.kind == "network" and self.settings.rollout_weight > 0 else "")
        search = f"{self.settings.search} over {self.settings.tree}"
        gumbel = (f", Gumbel root of {self.settings.gumbel_actions} scale {self.settings.gumbel_scale:g}"
                  if self.settings.gumbel_actions else "")
        return f"{self.name} ({search}, {self.settings.sims_per_move} sims{priors}{playouts}{gumbel})"

    def check(self) -> None:
        """Loads a checkpoint once on the CPU: FileNotFoundError or ValueError before any game starts."""
        if self.kind == "network" and isinstance(self.source, str):
            self.network.load("cpu")

    def network_factory(self) -> Callable[[], Any]:
        """A picklable factory of the network that serves this player's searches."""
        if self.network is None:
            raise ValueError(f"{self.name} is played by the module and has no network")
        return self.network.factory()

    def route_key(self) -> tuple:
        """Players with equal keys are served by one network."""
        return self.network.key

    def seat_config(self) -> Any:
        """The config of this player's seat in :func:`tilora_zero._match.play_match`."""
        if self.kind == "greedy":
            return types.SimpleNamespace(player="greedy")
        if self.kind == "network":
            if self.equal_priors:
                return types.SimpleNamespace(**self.settings.as_dict(), packed_planes=self.settings.packed_planes,
                                             equal_priors=True)
            return self.settings
        return types.SimpleNamespace(player=self.kind, **self.settings.as_dict())

    def describe(self) -> dict[str, Any]:
        """The player as a record's metadata names it."""
        if self.kind == "greedy":
            return {"name": self.name}
        described = {"name": self.name, "settings": self.settings.as_dict()}
        if self.equal_priors:
            described["equal_priors"] = True
        return described
