"""The piece catalogue in the engine's kind order, as the page draws a person's remaining pieces.

The engine names pieces by kind (``Game.remaining_pieces``) but keeps their shapes to itself; these rows
are its catalogue's, and the tests check them against the pieces the engine lets a game lay.
"""
from __future__ import annotations

# Rows top to bottom separated by '/', 'X' a cell.
CATALOGUE_ROWS = (
    "X", "XX", "XX/.X", "XXX", "XXXX",
    "XX/X./X.", "XXX/.X.", "XX/XX", "XX./.XX", "XXXXX",
    "XXXX/X...", "XXX./..XX", "XXX/XX.", "XXX/X../X..", "XX./.XX/..X",
    "XX./.X./.XX", "XXX/X.X", "XXXX/.X..", ".X./XXX/.X.", ".X./XXX/X..",
    "XXX/.X./.X.",
)


def piece_cells(kind: int) -> list[tuple[int, int]]:
    """The (row, column) cells of piece ``kind`` in its catalogue orientation."""
    return [(r, c) for r, row in enumerate(CATALOGUE_ROWS[kind].split("/")) for c, ch in enumerate(row) if ch == "X"]


class PieceNumbers:
    """Numbers each laid cell by the piece it belongs to, in the order pieces are laid, as a game goes: a
    piece ends when its player's remaining pieces shrink (the same player may lay two pieces in a row once
    the others are out, so who moves does not tell)."""

    def __init__(self, players: int):
        self.laying: list[int | None] = [None] * players  # the piece each player is laying, until its last cell
        self.seats: list[int] = []  # each numbered piece's player
        self.kinds: list[int | None] = []  # each numbered piece's kind, None while it is being laid

    def apply(self, game, cell: int) -> int:
        """Lays ``cell`` in ``game`` (RuleError when refused) and returns its piece's number."""
        player = game.current_player
        left = set(game.remaining_pieces(player)) if player is not None else set()
        game.apply(cell)
        if self.laying[player] is None:
            self.laying[player] = len(self.seats)
            self.seats.append(player)
            self.kinds.append(None)
        number = self.laying[player]
        gone = left.difference(game.remaining_pieces(player))
        if gone:
            self.kinds[number] = gone.pop()
            self.laying[player] = None
        return number
