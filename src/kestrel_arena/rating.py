"""The Elo fit: Bradley-Terry strengths by maximum likelihood with a fixed
anchor, their covariance from the model's information (with the matrix
inverse it needs), and the likelihood that one bot is stronger than another."""

from __future__ import annotations

import math
from collections import Counter
from collections.abc import Sequence
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from kestrel_arena.results import GameRecord

# Elo points per natural-log unit of Bradley-Terry strength.
ELO_SCALE = 400 / math.log(10)
Z95 = 1.959963984540054  # two-sided 95 % of the normal distribution


def superiority(difference: float, variance: float) -> float:
    """P(true difference > 0) for an estimated difference of normal error."""
    if variance <= 0:
        return 0.5 if difference == 0 else float(difference > 0)
    return 0.5 * (1 + math.erf(difference / math.sqrt(2 * variance)))


def _meetings(
    names: list[str], games: Sequence[GameRecord], anchor: str
) -> tuple[dict[str, float], Counter[tuple[str, str]]]:
    """Each bot's score and how often each pair met, the anchor's virtual draws included."""
    score = {name: 0.5 for name in names}  # the virtual draw
    meetings: Counter[tuple[str, str]] = Counter()
    for name in names:
        meetings[name, anchor] += 1
    for g in games:
        a, b = g.seats
        if a == b or g.result == "both forfeit":
            continue  # tells nothing about relative strength
        meetings[min(a, b), max(a, b)] += 1
        if g.winner is None:
            score[a] += 0.5
            score[b] += 0.5
        else:
            score[g.winner] += 1
    return score, meetings


ANCHOR = "\0anchor"


def elo_ratings(names: list[str], games: Sequence[GameRecord], iterations: int = 10000) -> dict[str, float]:
    """Bradley-Terry strengths by Hunter's MM iteration, each bot given one
    virtual draw against a fixed 1500 anchor; ratings are 400 log10 of them."""
    score, meetings = _meetings(names, games, ANCHOR)
    strength = {name: 1.0 for name in names} | {ANCHOR: 1.0}
    for _ in range(iterations):
        new = {}
        for name in names:
            denominator = sum(n / (strength[x] + strength[y]) for (x, y), n in meetings.items() if name in (x, y))
            new[name] = score[name] / denominator
        change = max(abs(math.log(new[n] / strength[n])) for n in names) if names else 0.0
        strength.update(new)
        if change < 1e-10:
            break
    return {name: 1500 + 400 * math.log10(strength[name]) for name in names}


def elo_covariance(names: list[str], games: Sequence[GameRecord], ratings: dict[str, float]) -> list[list[float]]:
    """The ratings' covariance in Elo squared: the inverse of the Fisher
    information of the log-strengths at the estimate (each meeting of i and j
    adds p(1-p) to both diagonals and takes it off their pair)."""
    _, meetings = _meetings(names, games, ANCHOR)
    theta = {name: (ratings[name] - 1500) / ELO_SCALE for name in names} | {ANCHOR: 0.0}
    index = {name: i for i, name in enumerate(names)}
    info = [[0.0] * len(names) for _ in names]
    for (x, y), n in meetings.items():
        p = 1 / (1 + math.exp(theta[y] - theta[x]))
        weight = n * p * (1 - p)
        for a, b in ((x, y), (y, x)):
            if a in index:
                info[index[a]][index[a]] += weight
                if b in index:
                    info[index[a]][index[b]] -= weight
    return [[v * ELO_SCALE**2 for v in row] for row in inverse(info)]


def inverse(matrix: list[list[float]]) -> list[list[float]]:
    """Gauss-Jordan with partial pivoting; the information matrix is positive
    definite (every bot meets the fixed anchor), so it always inverts."""
    n = len(matrix)
    work = [row[:] + [float(i == j) for j in range(n)] for i, row in enumerate(matrix)]
    for col in range(n):
        pivot = max(range(col, n), key=lambda r: abs(work[r][col]))
        work[col], work[pivot] = work[pivot], work[col]
        lead = work[col][col]
        work[col] = [v / lead for v in work[col]]
        for r in range(n):
            if r != col and work[r][col]:
                factor = work[r][col]
                work[r] = [v - factor * w for v, w in zip(work[r], work[col], strict=True)]
    return [row[n:] for row in work]
