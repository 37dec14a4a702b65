"""Where the seats stand: who is out of the game, and the places at its end."""
from __future__ import annotations

from ..board import PLAYERS


def seats_out(turns: list[int], to_move: int | None, turn_started: bool) -> list[int]:
    """The seats passed over for good, from the seat of each placement begun so far (``turns``, in order)
    and the seat to move (None: the game is over, everyone is out), whose turn is among ``turns`` once
    started.

    The turn goes round to the next seat that can still lay a piece, so every seat skipped between two
    turns is out; a seat that follows itself leaves all the others out."""
    if to_move is None:
        return list(range(PLAYERS))
    out: set[int] = set()
    seats = turns if turn_started else turns + [to_move]
    for before, after in zip(seats, seats[1:]):
        skipped = before
        while (skipped := (skipped + 1) % PLAYERS) != after:
            out.add(skipped)
    return sorted(out)


def places(scores: list[int]) -> list[int]:
    """Each seat's place (1 the best), seats with equal scores sharing the better place."""
    return [1 + sum(other > score for other in scores) for score in scores]
