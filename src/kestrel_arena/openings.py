"""Openings: the first moves of a pair of games, the same in both (one with
each bot moving first), so that deterministic bots do not replay one game.
Chosen per pair of games from the run's seed, so a run and its resumption
play the same ones.

By default only balanced openings are chosen: those whose value with best
play is a draw, so that neither bot starts from a lost position (of the 72
two-move openings, 24). A game from a decided opening is won by whoever got
the won side whenever the two play well, and a pair of them splits one-one:
it tells the test nothing, and costs two games."""

from __future__ import annotations

import random

from kestrel_arena.judge import DRAW, LINES, value
from kestrel_arena.seeds import opening_seed

MAX_OPENING = 8  # a ninth move always ends the game
BALANCED, UNIFORM = "balanced", "uniform"


def ends_game(moves: list[int]) -> bool:
    marks = {cell: n % 2 for n, cell in enumerate(moves)}
    won = any(a in marks and marks.get(a) == marks.get(b) == marks.get(c) for a, b, c in LINES)
    return won or len(moves) == 9


def random_opening(rng: random.Random, length: int) -> tuple[int, ...]:
    """`length` random legal moves, none of which ends the game."""
    while True:  # a dead end (every move would end it) starts over; rare, and only for long openings
        moves: list[int] = []
        while len(moves) < length:
            free = [c for c in range(9) if c not in moves and not ends_game([*moves, c])]
            if not free:
                break
            moves.append(rng.choice(free))
        if len(moves) == length:
            return tuple(moves)


def is_balanced(opening: tuple[int, ...] | list[int]) -> bool:
    """Whether the position after `opening` is a draw with best play from both sides."""
    board = [-1] * 9
    for ply, cell in enumerate(opening):
        board[cell] = ply % 2
    return value(tuple(board)) == DRAW


def balanced_opening(rng: random.Random, length: int) -> tuple[int, ...]:
    """A random opening as `random_opening` draws them, among the balanced
    ones only (drawn again until one is; at every length at least one in
    nine is)."""
    while not is_balanced(opening := random_opening(rng, length)):
        pass
    return opening


def opening_for(seed: str, first: str, second: str, pair: int, length: int, choice: str = BALANCED) -> tuple[int, ...]:
    """The opening of the `pair`-th pair of games between the bots named `first` and `second`."""
    if length == 0:
        return ()
    rng = random.Random(opening_seed(seed, first, second, pair))
    return balanced_opening(rng, length) if choice == BALANCED else random_opening(rng, length)
