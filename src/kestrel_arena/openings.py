"""Openings: the first moves of a pair of games, the same in both (one with
each bot moving first), so that deterministic bots do not replay one game.
Chosen per pair of games from the run's seed, so a run and its resumption
play the same ones."""

from __future__ import annotations

import random

from kestrel_arena.seeds import opening_seed

LINES = ((0, 1, 2), (3, 4, 5), (6, 7, 8), (0, 3, 6), (1, 4, 7), (2, 5, 8), (0, 4, 8), (2, 4, 6))
MAX_OPENING = 8  # a ninth move always ends the game


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


def opening_for(seed: str, first: str, second: str, pair: int, length: int) -> tuple[int, ...]:
    """The opening of the `pair`-th pair of games between the bots named `first` and `second`."""
    if length == 0:
        return ()
    return random_opening(random.Random(opening_seed(seed, first, second, pair)), length)
