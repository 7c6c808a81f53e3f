"""The tic-tac-toe board as the tests and the benchmarks judge it: nine
cells, each None or the mark of whoever took it (any marks that compare
equal for one player)."""

from __future__ import annotations

from collections.abc import Sequence
from typing import TypeVar

Mark = TypeVar("Mark")

LINES = ((0, 1, 2), (3, 4, 5), (6, 7, 8), (0, 3, 6), (1, 4, 7), (2, 5, 8), (0, 4, 8), (2, 4, 6))


def winner(board: Sequence[Mark | None]) -> Mark | None:
    for a, b, c in LINES:
        if board[a] is not None and board[a] == board[b] == board[c]:
            return board[a]
    return None


def over(board: Sequence[object]) -> bool:
    return winner(board) is not None or None not in board
