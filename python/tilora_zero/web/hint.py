"""What a checkpoint opponent's network thinks of a position: its value for each seat and the placements
its policy favours, for a person who asks.

The placements are weighed as the search weighs its decisions: a placement's weight is its size times the
geometric mean of e^logit over its cells still to lay, normalised over the placements of the turn.
"""
from __future__ import annotations

from typing import Any

import numpy as np

from .._engine import Game
from .placements import Placement

TOP_PLACEMENTS = 3


def network_hint(network, game: Game, placements: list[Placement], laid: list[int]) -> dict[str, Any]:
    """``values``: each seat's expected share of the win (absolute seat order); ``placements``: the
    network's favourite few of ``placements`` (the player to move's, ``laid`` this turn so far), most
    favoured first, each with its weight."""
    logits, values = network(game.planes()[np.newaxis])
    logits = np.asarray(logits, dtype=np.float64)[0]
    return {"values": [round(float(v), 4) for v in np.asarray(values)[0]],
            "placements": favoured(logits, placements, laid)}


def favoured(logits: np.ndarray, placements: list[Placement], laid: list[int]) -> list[dict[str, Any]]:
    if not placements:
        return []
    left = [sorted(set(p.cells).difference(laid)) for p in placements]
    scores = np.array([np.log(len(cells)) + logits[cells].mean() for cells in left])
    weights = np.exp(scores - scores.max())
    weights /= weights.sum()
    return [{"kind": placements[i].kind, "cells": list(placements[i].cells), "weight": round(float(weights[i]), 4)}
            for i in np.argsort(-weights, kind="stable")[:TOP_PLACEMENTS]]
