"""The seats the person does not play: one turn at a time, searched as the arena searches.

A turn is asked of :func:`tilora_zero._match.play_match` with the game so far as its opening and one turn
to play; the cells it lays are the opponent's placement. A checkpoint's network answers each position in
this process, one at a time: a person waits for one search, not for a batch.
"""
from __future__ import annotations

from .._match import play_match
from ..board import PLAYERS
from ..learning.arena import arena_settings
from ..selfplay.players import BASELINES, Player
from ..serving.direct import DirectChannel


class Opponent:
    """A baseline or a checkpoint searching with the arena's settings at ``sims`` simulations.

    FileNotFoundError or ValueError for a checkpoint that cannot be loaded, at once."""

    def __init__(self, source: str, sims: int):
        self.player = Player(source, arena_settings(sims))
        self.label = self.player.label
        self.network = None if source in BASELINES else self.player.network.load("cpu")  # None: a baseline
        self._channel = None if self.network is None else DirectChannel(self.network)

    def turn(self, cells: list[int], seed: int) -> list[int]:
        """The cells of the placement the player to move lays after ``cells`` (whole turns)."""
        seat = (self.player.seat_config(), self._channel, self._channel)
        history, _, _ = play_match(0, [seat] * PLAYERS, seed=seed, opening=list(cells), turns=1)
        return [int(cell) for _, cell in history[len(cells):]]
