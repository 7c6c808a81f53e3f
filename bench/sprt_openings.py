"""How many game pairs kestrel-arena's SPRT needs with balanced openings (a
draw with best play, the default) against uniform ones (any legal opening),
on simulated pair streams: the games are played in this process by bots
written here, each pair from one opening the arena's way (the same moves
played for both bots, each bot moving first once), and the arena's own
test (kestrel_arena.sprt) decides. Nothing is asserted.

    .venv/bin/python bench/sprt_openings.py [--runs 200] [--sprt 0 50] [--openings 2]

The match-ups: a perfect bot (best moves, ties broken at random) against a
random one, and a flawed bot (perfect, except that it misses a needed
block half the time) against minimax (the perfect bot), the flawed bot as
the new one. Per match-up and choice: the pairs to a decision (mean, median,
90th centile), how the runs ended, the share of games begun from a decided
opening and of pairs that split one-one.
"""

from __future__ import annotations

import argparse
import random
import statistics
import sys
from collections import Counter
from collections.abc import Callable
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "src"))

from kestrel_arena.judge import LINES, value  # noqa: E402
from kestrel_arena.openings import BALANCED, UNIFORM, is_balanced, opening_for  # noqa: E402
from kestrel_arena.sprt import H0, H1, Sprt, bounds, llr, pair_score  # noqa: E402

Board = tuple[int, ...]  # -1 empty, 0 and 1 the seats
Player = Callable[[Board, random.Random], int]


def free(board: Board) -> list[int]:
    return [i for i, c in enumerate(board) if c == -1]


def mover(board: Board) -> int:
    return sum(c != -1 for c in board) % 2


def after(board: Board, cell: int) -> Board:
    return board[:cell] + (mover(board),) + board[cell + 1 :]


def winner(board: Board) -> int | None:
    return next((board[a] for a, b, c in LINES if board[a] != -1 and board[a] == board[b] == board[c]), None)


def best_moves(board: Board) -> list[int]:
    scores = {cell: -value(after(board, cell)) for cell in free(board)}
    top = max(scores.values())
    return [cell for cell, s in scores.items() if s == top]


def perfect(board: Board, rng: random.Random) -> int:
    return rng.choice(best_moves(board))


def random_player(board: Board, rng: random.Random) -> int:
    return rng.choice(free(board))


def flawed(miss: float) -> Player:
    """Perfect, but when the opponent threatens a line it misses the block `miss` of the time."""

    def play(board: Board, rng: random.Random) -> int:
        me, them = mover(board), 1 - mover(board)
        threats = [
            cell
            for cell in free(board)
            if winner(board[:cell] + (them,) + board[cell + 1 :]) == them
            and not any(winner(after(board, c)) == me for c in free(board))
        ]
        if threats and rng.random() < miss:
            others = [c for c in free(board) if c not in threats]
            if others:
                return rng.choice(others)
        return perfect(board, rng)

    return play


def game(opening: tuple[int, ...], seats: tuple[Player, Player], rng: random.Random) -> int | None:
    """The winning seat, None for a draw."""
    board: Board = (-1,) * 9
    for cell in opening:
        board = after(board, cell)
    while (won := winner(board)) is None and free(board):
        board = after(board, seats[mover(board)](board, rng))
    return won


def pair_points(new: Player, old: Player, opening: tuple[int, ...], rng: random.Random) -> float:
    points = 0.0
    for seats, new_seat in (((new, old), 0), ((old, new), 1)):
        won = game(opening, seats, rng)
        points += 0.5 if won is None else float(won == new_seat)
    return points


def one_run(
    new: Player, old: Player, choice: str, test: Sprt, length: int, max_pairs: int, seed: int
) -> tuple[str | None, int, int, int]:
    """A simulated run, decided pair by pair as the arena's tracker does: its
    decision, pairs used, games from a decided opening and one-one pairs."""
    rng = random.Random(seed)
    lower, upper = bounds(test.alpha, test.beta)
    counts = [0] * 5
    decided = split = 0
    for pair in range(1, max_pairs + 1):
        opening = opening_for(str(seed), "new", "old", pair, length, choice)
        points = pair_points(new, old, opening, rng)
        counts[pair_score(points)] += 1
        decided += 2 * (not is_balanced(opening))
        split += points == 1.0
        ratio = llr(counts, test.elo0, test.elo1)
        if ratio >= upper or ratio <= lower:
            return (H1 if ratio >= upper else H0), pair, decided, split
    return None, max_pairs, decided, split


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--runs", type=int, default=200, help="simulated runs per match-up and choice")
    p.add_argument("--sprt", nargs=2, type=float, default=[0.0, 50.0], metavar=("ELO0", "ELO1"))
    p.add_argument("--openings", type=int, default=2, help="opening length, as the arena's --openings")
    p.add_argument("--max-pairs", type=int, default=5000)
    args = p.parse_args()
    test = Sprt(*args.sprt)
    matchups = {
        "perfect vs random": (perfect, random_player),
        "flawed vs minimax": (flawed(0.5), perfect),
        "minimax vs flawed": (perfect, flawed(0.5)),
        "flawed 20% vs 50%": (flawed(0.2), flawed(0.5)),
    }
    print(
        f"SPRT ({args.sprt[0]:g}, {args.sprt[1]:g}) alpha 0.05 beta 0.05, {args.openings}-move openings, "
        f"{args.runs} runs each"
    )
    header = f"{'match-up':<18} {'openings':<9} {'mean':>6} {'median':>6} {'p90':>5}  {'decisions':<22} "
    print(header + f"{'decided openings':>16} {'1-1 pairs':>9}")
    for name, (new, old) in matchups.items():
        means = {}
        for choice in (UNIFORM, BALANCED):
            results = [
                one_run(new, old, choice, test, args.openings, args.max_pairs, seed) for seed in range(args.runs)
            ]
            pairs = [r[1] for r in results]
            outcomes = Counter(r[0] or "undecided" for r in results)
            games = 2 * sum(pairs)
            means[choice] = statistics.mean(pairs)
            print(
                f"{name:<18} {choice:<9} {means[choice]:>6.1f} {statistics.median(pairs):>6g} "
                f"{statistics.quantiles(pairs, n=10)[-1]:>5.0f}  "
                f"{', '.join(f'{k} {outcomes[k]}' for k in (H1, H0, 'undecided') if outcomes[k]):<22} "
                f"{100 * sum(r[2] for r in results) / games:>15.0f}% "
                f"{100 * sum(r[3] for r in results) / sum(pairs):>8.0f}%"
            )
        print(f"{'':<18} balanced needs {means[BALANCED] / means[UNIFORM]:.2f} x the pairs of uniform")


if __name__ == "__main__":
    main()
