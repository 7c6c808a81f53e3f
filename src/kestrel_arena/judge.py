"""Every move judged against perfect play. Tic-tac-toe is solved: a
position's value for the side to move (win, draw or loss, with best play
from both sides) says whether a move threw something away. Each position is
evaluated once per process, whatever the number of games."""

from __future__ import annotations

from functools import cache

LINES = ((0, 1, 2), (3, 4, 5), (6, 7, 8), (0, 3, 6), (1, 4, 7), (2, 5, 8), (0, 4, 8), (2, 4, 6))
DRAW, LOSS = 0, -1  # and a win is 1: the negation of the opponent's loss


def _winner(board: tuple[int, ...]) -> int | None:
    for a, b, c in LINES:
        if board[a] != -1 and board[a] == board[b] == board[c]:
            return board[a]
    return None


@cache
def value(board: tuple[int, ...]) -> int:
    """The position's value for the side to move (-1 marks an empty cell, 0 and 1 the seats)."""
    if _winner(board) is not None:
        return LOSS  # the last move made a line: the side to move has lost
    free = [i for i, cell in enumerate(board) if cell == -1]
    if not free:
        return DRAW
    mover = (9 - len(free)) % 2
    return max(-value(board[:i] + (mover,) + board[i + 1 :]) for i in free)


def judge(moves: list[int]) -> list[tuple[int, int]]:
    """For each move, the mover's value before it and after it (best play from
    both sides); a move that lowers it is a mistake. Moves past the end of a
    legal game (an occupied cell, a game already won) are not judged."""
    board = [-1] * 9
    judged: list[tuple[int, int]] = []
    for ply, cell in enumerate(moves):
        position = tuple(board)
        if not 0 <= cell <= 8 or board[cell] != -1 or _winner(position) is not None:
            break
        board[cell] = ply % 2
        judged.append((value(position), -value(tuple(board))))
    return judged


def mistakes(moves: list[int], opening: int = 0) -> list[int]:
    """The plies (from 0) at which the mover lowered its own value; the opening's moves are the arena's, not a bot's."""
    return [ply for ply, (before, after) in enumerate(judge(moves)) if ply >= opening and after < before]
