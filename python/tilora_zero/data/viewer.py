"""Drawing a finished game: ANSI text for the terminal, PNG with matplotlib."""

from __future__ import annotations

import os
from dataclasses import dataclass

import numpy as np

from .._engine import Game, RuleError
from ..board import BOARD_CELLS, BOARD_SIDE, PLAYERS, START_CORNERS
from .records import GameRecord, RecordError

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
    pieces: np.ndarray  # int16[20, 20]: which piece covers each cell (numbered in the order laid), -1 for none
    scores: list[int]
    payoff: list[float]
    pieces_left: list[int]

    @property
    def winners(self) -> list[int]:
        """The players holding the best score (a shared win lists them all)."""
        best = max(self.payoff)
        return [p for p in range(PLAYERS) if best > 0 and self.payoff[p] == best]


def replay(record: GameRecord) -> FinalPosition:
    """Replays a record; RecordError when the rules refuse a move or the result differs."""
    game = Game()
    pieces = np.full(BOARD_CELLS, -1, dtype=np.int16)
    laying: list[int | None] = [None] * PLAYERS  # the piece each player is laying, until its last cell
    laid = 0
    for i, (player, cell) in enumerate(zip(record.players, record.cells)):
        if game.current_player != player:
            raise RecordError(f"game {record.game_number}: move {i} is by player {player}, but player "
                              f"{game.current_player} is to move")
        left = len(game.remaining_pieces(int(player)))
        try:
            game.apply(int(cell))
        except RuleError as error:
            raise RecordError(f"game {record.game_number}: move {i} (cell {cell}): {error}") from None
        if laying[player] is None:
            laying[player], laid = laid, laid + 1
        pieces[cell] = laying[player]
        if len(game.remaining_pieces(int(player))) < left:  # this cell completed a piece
            laying[player] = None
    scores = game.score()
    if scores != [int(s) for s in record.scores]:
        raise RecordError(f"game {record.game_number}: the stored scores {list(record.scores)} differ from "
                          f"the replay's {scores}")
    owners = (game.cells & 0x0F).astype(np.int8).reshape(BOARD_SIDE, BOARD_SIDE) - 1
    return FinalPosition(owners, pieces.reshape(BOARD_SIDE, BOARD_SIDE), scores, [float(p) for p in record.payoff],
                         [len(game.remaining_pieces(p)) for p in range(PLAYERS)])


def _winner_text(final: FinalPosition) -> str:
    names = [f"player {p} ({COLOUR_NAMES[p]})" for p in final.winners]
    if not names:
        return "no winner"
    return f"winner: {names[0]}" if len(names) == 1 else f"shared win: {', '.join(names)}"


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
    lines = [_caption(record), "    " + "".join(f"{c:>2d}" if c % 5 == 0 else "  " for c in range(BOARD_SIDE))]
    for row in range(BOARD_SIDE):
        cells = []
        for col in range(BOARD_SIDE):
            owner = int(final.owners[row, col])
            if colour:
                code = _ANSI_EMPTY if owner < 0 else _ANSI_BACKGROUND[owner]
                cells.append(f"\x1b[48;5;{code}m  ")
            else:
                cells.append(" ." if owner < 0 else " " + _LETTERS[owner])
        reset = "\x1b[0m" if colour else ""
        lines.append(f"{row * BOARD_SIDE:>3d} " + "".join(cells) + reset)
    for p in range(PLAYERS):
        swatch = f"\x1b[48;5;{_ANSI_BACKGROUND[p]}m  \x1b[0m" if colour else _LETTERS[p]
        mark = "  winner" if p in final.winners else ""
        lines.append(f"{swatch} player {p} ({COLOUR_NAMES[p]:<6}) score {final.scores[p]:>4d}  payoff "
                     f"{final.payoff[p]:.4g}  pieces left {final.pieces_left[p]:>2d}{mark}")
    return "\n".join(lines)


def _piece_edges(pieces: np.ndarray) -> list[tuple[tuple[float, float], tuple[float, float]]]:
    """The unit segments, in image coordinates, between a laid cell and a cell of another piece or no piece
    (the board's edge included): each piece's outline."""
    padded = np.pad(pieces, 1, constant_values=-1)
    edges = []
    for row, col in zip(*np.nonzero(pieces >= 0)):
        own, r, c = pieces[row, col], row + 1, col + 1
        x0, x1, y0, y1 = col - 0.5, col + 0.5, row - 0.5, row + 0.5
        if padded[r - 1, c] != own:
            edges.append(((x0, y0), (x1, y0)))
        if padded[r + 1, c] != own:
            edges.append(((x0, y1), (x1, y1)))
        if padded[r, c - 1] != own:
            edges.append(((x0, y0), (x0, y1)))
        if padded[r, c + 1] != own:
            edges.append(((x1, y0), (x1, y1)))
    return edges


def board_figure(record: GameRecord):
    """The final board as a matplotlib figure: each piece outlined, the start corners marked, axes labelled
    as in the text view (columns above, each row by its first cell), the winner and a legend of scores."""
    from matplotlib.collections import LineCollection
    from matplotlib.colors import ListedColormap
    from matplotlib.figure import Figure
    from matplotlib.lines import Line2D
    from matplotlib.patches import Patch

    final = replay(record)
    figure = Figure(figsize=(6.4, 7.6), dpi=100)
    axes = figure.subplots()
    axes.imshow(final.owners + 1, cmap=ListedColormap([EMPTY_RGB, *RGB]), vmin=0, vmax=PLAYERS)
    axes.set_xticks(np.arange(-0.5, BOARD_SIDE, 1), minor=True)
    axes.set_yticks(np.arange(-0.5, BOARD_SIDE, 1), minor=True)
    axes.grid(which="minor", color="white", linewidth=0.5)
    axes.add_collection(LineCollection(_piece_edges(final.pieces), colors="black", linewidths=1.2))
    rows, cols = np.divmod(START_CORNERS, BOARD_SIDE)
    axes.plot(cols, rows, linestyle="none", marker="o", markersize=7, markerfacecolor="white",
              markeredgecolor="black")
    axes.tick_params(which="both", length=0, labelsize=7, top=True, labeltop=True, bottom=False,
                     labelbottom=False)
    axes.set_xticks(range(0, BOARD_SIDE, 5))
    axes.set_yticks(range(BOARD_SIDE), [str(row * BOARD_SIDE) for row in range(BOARD_SIDE)])
    axes.set_title(f"{_caption(record)}\n{_winner_text(final)}", fontsize=10)
    handles = [Patch(color=RGB[p], label=f"player {p}: score {final.scores[p]}, payoff {final.payoff[p]:.3g}"
                                         + (" (winner)" if p in final.winners else ""))
               for p in range(PLAYERS)]
    handles.append(Line2D([], [], linestyle="none", marker="o", markerfacecolor="white", markeredgecolor="black",
                          label="start corner"))
    axes.legend(handles=handles, loc="upper center", bbox_to_anchor=(0.5, -0.01), ncol=2, frameon=False,
                fontsize=8)
    figure.tight_layout()
    return figure


def save_png(record: GameRecord, path: str | os.PathLike) -> None:
    """Writes :func:`board_figure` as a PNG image."""
    board_figure(record).savefig(path, format="png")
