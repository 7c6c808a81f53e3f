"""A bot that never loses: full minimax search, memoised per board.

    python examples/perfect.py [ws://127.0.0.1:9000]
"""

from __future__ import annotations  # kestrel.PyTicTacToeState exists for type checkers only

import asyncio
import sys
from functools import cache

import kestrel

Board = tuple[str | None, ...]
LINES = ((0, 1, 2), (3, 4, 5), (6, 7, 8), (0, 3, 6), (1, 4, 7), (2, 5, 8), (0, 4, 8), (2, 4, 6))


def has_line(board: Board) -> bool:
    return any(board[a] is not None and board[a] == board[b] == board[c] for a, b, c in LINES)


def free_cells(board: Board) -> list[int]:
    return [cell for cell, mark in enumerate(board) if mark is None]


def play(board: Board, cell: int, mark: str) -> Board:
    return board[:cell] + (mark,) + board[cell + 1 :]


@cache
def value(board: Board, mark: str) -> int:
    """How good `board` is for `mark`, whose turn it is, if both sides play
    perfectly: positive wins, 0 draws, negative loses; sooner wins score higher."""
    free = free_cells(board)
    if has_line(board):  # the opponent's last move completed a line
        return -(1 + len(free))
    if not free:
        return 0
    opponent = "O" if mark == "X" else "X"
    return max(-value(play(board, cell, mark), opponent) for cell in free)


def best_cell(board: Board) -> int:
    mark = "X" if board.count("X") == board.count("O") else "O"  # X moves first
    opponent = "O" if mark == "X" else "X"
    return max(free_cells(board), key=lambda cell: -value(play(board, cell, mark), opponent))


class Perfect(kestrel.TicTacToeClient):
    async def handle_turn(self, state: kestrel.PyTicTacToeState) -> int:
        return best_cell(tuple(state.board))


async def main(url: str) -> None:
    await Perfect().connect(url)


if __name__ == "__main__":
    asyncio.run(main(sys.argv[1] if len(sys.argv) > 1 else "ws://127.0.0.1:9000"))
