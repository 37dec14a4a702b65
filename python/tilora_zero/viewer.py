"""Drawing a finished game: ANSI text for the terminal, PNG with matplotlib."""

from __future__ import annotations

import os
from dataclasses import dataclass

import numpy as np

from . import Game, RuleError
from .records import GameRecord, RecordError

SIDE = 20
COLOUR_NAMES = ("blue", "yellow", "red", "green")
RGB = ("#2f6fde", "#f2c12e", "#d9372b", "#2e9e48")
EMPTY_RGB = "#e8e8e8"
_ANSI_BACKGROUND = (27, 220, 196, 34)  # 256-colour palette entries for the four players
_ANSI_EMPTY = 236
_LETTERS = "BYRG"


@dataclass
class FinalPosition:
    """A finished game replayed through the engine."""

    owners: np.ndarray  # int8[20, 20], -1 for an empty cell
    scores: list[int]
    payoff: list[float]
    pieces_left: list[int]


def replay(record: GameRecord) -> FinalPosition:
    """Replays a record; RecordError when the rules refuse a move or the result differs."""
    game = Game()
    for i, (player, cell) in enumerate(zip(record.players, record.cells)):
        if game.current_player != player:
            raise RecordError(f"game {record.game_number}: move {i} is by player {player}, but player "
                              f"{game.current_player} is to move")
        try:
            game.apply(int(cell))
        except RuleError as error:
            raise RecordError(f"game {record.game_number}: move {i} (cell {cell}): {error}") from None
    scores = game.score()
    if scores != [int(s) for s in record.scores]:
        raise RecordError(f"game {record.game_number}: the stored scores {list(record.scores)} differ from "
                          f"the replay's {scores}")
    owners = (game.cells & 0x0F).astype(np.int8).reshape(SIDE, SIDE) - 1
    return FinalPosition(owners, scores, [float(p) for p in record.payoff],
                         [len(game.remaining_pieces(p)) for p in range(4)])


def _caption(record: GameRecord) -> str:
    meta = record.metadata
    sims = meta.get("settings", {}).get("sims_per_move")
    parts = [f"game {record.game_number}", f"{record.num_moves} moves"]
    if "network" in meta:
        parts.append(f"network {meta['network']}")
    if sims is not None:
        parts.append(f"{sims} sims/move")
    return ", ".join(parts)


def render_ansi(record: GameRecord, colour: bool = True) -> str:
    """The final board, each cell two characters wide, and a line per player."""
    final = replay(record)
    lines = [_caption(record), "    " + "".join(f"{c:>2d}" if c % 5 == 0 else "  " for c in range(SIDE))]
    for row in range(SIDE):
        cells = []
        for col in range(SIDE):
            owner = int(final.owners[row, col])
            if colour:
                code = _ANSI_EMPTY if owner < 0 else _ANSI_BACKGROUND[owner]
                cells.append(f"\x1b[48;5;{code}m  ")
            else:
                cells.append(" ." if owner < 0 else " " + _LETTERS[owner])
        reset = "\x1b[0m" if colour else ""
        lines.append(f"{row * SIDE:>3d} " + "".join(cells) + reset)
    best = max(final.payoff)
    for p in range(4):
        swatch = f"\x1b[48;5;{_ANSI_BACKGROUND[p]}m  \x1b[0m" if colour else _LETTERS[p]
        mark = "  winner" if final.payoff[p] == best and best > 0 else ""
        lines.append(f"{swatch} player {p} ({COLOUR_NAMES[p]:<6}) score {final.scores[p]:>4d}  payoff "
                     f"{final.payoff[p]:.4g}  pieces left {final.pieces_left[p]:>2d}{mark}")
    return "\n".join(lines)


def save_png(record: GameRecord, path: str | os.PathLike) -> None:
    """Writes the final board with a legend of scores and payoffs as a PNG image."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.colors import ListedColormap
    from matplotlib.patches import Patch

    final = replay(record)
    figure, axes = plt.subplots(figsize=(6.4, 7.4), dpi=100)
    try:
        axes.imshow(final.owners + 1, cmap=ListedColormap([EMPTY_RGB, *RGB]), vmin=0, vmax=4)
        axes.set_xticks(np.arange(-0.5, SIDE, 1), minor=True)
        axes.set_yticks(np.arange(-0.5, SIDE, 1), minor=True)
        axes.grid(which="minor", color="white", linewidth=1)
        axes.tick_params(which="both", length=0)
        axes.set_xticks(range(0, SIDE, 5))
        axes.set_yticks(range(0, SIDE, 5))
        axes.set_title(_caption(record))
        handles = [Patch(color=RGB[p], label=f"player {p}: score {final.scores[p]}, payoff {final.payoff[p]:.3g}")
                   for p in range(4)]
        axes.legend(handles=handles, loc="upper center", bbox_to_anchor=(0.5, -0.06), ncol=2, frameon=False)
        figure.tight_layout()
        figure.savefig(path, format="png")
    finally:
        plt.close(figure)
