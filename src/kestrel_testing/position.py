"""A board to hand `handle_turn` in a unit test: the module makes its state
objects only for real turns, so the kit makes one that reads the same."""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING, cast

if TYPE_CHECKING:
    import kestrel

__all__ = ["position"]

_MARKS = {"X": "X", "O": "O", ".": None, "-": None, "_": None}
_LINES = ((0, 1, 2), (3, 4, 5), (6, 7, 8), (0, 3, 6), (1, 4, 7), (2, 5, 8), (0, 4, 8), (2, 4, 6))


class Position:
    """A board as `handle_turn` sees it: `board` is the nine cells, "X",
    "O" or None, a new list on each read."""

    __slots__ = ("_cells",)

    def __init__(self, cells: tuple[str | None, ...]) -> None:
        self._cells = cells

    @property
    def board(self) -> list[str | None]:
        return list(self._cells)

    def __repr__(self) -> str:
        rows = ("".join(c or "." for c in self._cells[i : i + 3]) for i in (0, 3, 6))
        return f"position({'|'.join(rows)!r})"


def position(cells: str | Sequence[str | None] = "") -> kestrel.PyTicTacToeState:
    """The board of a turn, for calling `handle_turn` directly:
    `position("X.O|.X.|..O")` -- X, O and "." (or "-", "_") for an empty
    cell, row by row; "|", "/", spaces and line breaks between them are
    ignored; "" is the empty board. Also nine "X"/"O"/None items.

    The board must be one a game can reach with a move still to make: X
    (who moves first) has as many marks as O or one more, and nobody has
    a line yet. Anything else raises ValueError saying why."""
    if isinstance(cells, str):
        text = "".join(c for c in cells if c not in "|/ \t\r\n")
        if not text:
            text = "." * 9
        unknown = sorted({c for c in text.upper() if c not in _MARKS})
        if unknown:
            raise ValueError(f"position {cells!r}: {', '.join(map(repr, unknown))} is no mark (X, O or .)")
        board = tuple(_MARKS[c] for c in text.upper())
    else:
        board = tuple(cells)
        if any(c not in ("X", "O", None) for c in board):
            raise ValueError(f"position {cells!r}: cells are 'X', 'O' or None")
    if len(board) != 9:
        raise ValueError(f"position {cells!r}: {len(board)} cells, not 9")
    xs, os_ = board.count("X"), board.count("O")
    if xs - os_ not in (0, 1):
        raise ValueError(f"position {cells!r}: {xs} X and {os_} O cannot happen (X moves first, then turns alternate)")
    if any(board[a] is not None and board[a] == board[b] == board[c] for a, b, c in _LINES):
        raise ValueError(f"position {cells!r}: the game is already won")
    if None not in board:
        raise ValueError(f"position {cells!r}: the board is full")
    # The real state class cannot be made from Python; this one reads the same.
    return cast("kestrel.PyTicTacToeState", Position(board))
