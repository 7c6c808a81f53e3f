"""Tests a bot's author would write, with kestrel_testing (installed with
kestrel) and plain pytest:

    python -m pytest examples/tests
"""

from __future__ import annotations

import asyncio
from pathlib import Path

import pytest
from first_free import FirstFree
from perfect import Perfect

from kestrel_testing import play, position


@pytest.mark.parametrize("seat", [0, 1])
def test_perfect_never_loses_to_the_house_bot(seat: int) -> None:
    match = play(Perfect, games=4, seat=seat)
    assert match.losses == 0 and match.ties == 4, match


def test_first_free_loses_to_the_house_bot() -> None:
    # The house bot is perfect, and first_free's line is easy to block.
    match = play(Path(__file__).parents[1] / "first_free.py", games=2)
    assert match.losses >= 1 and match.wins == 0, match


def test_perfect_beats_first_free_moving_first() -> None:
    match = play(Perfect, FirstFree, games=2, seat=0)
    assert match.wins == 2, match


@pytest.mark.parametrize(
    ("board", "cell"),
    [
        ("XX.|OO.|...", 2),  # X to move completes the top row
        ("X.X|OO.|X..", 5),  # O to move completes the middle row
    ],
)
def test_perfect_takes_the_winning_cell(board: str, cell: int) -> None:
    assert asyncio.run(Perfect().handle_turn(position(board))) == cell
