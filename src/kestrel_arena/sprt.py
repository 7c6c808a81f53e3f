"""The sequential probability ratio test on game pairs, as engine testers run
it: each pair (the same two bots, each moving first once) scores 0, ½, 1, 1½
or 2 points for the new bot, a pentanomial. Its log-likelihood ratio is the
exact one of the pentanomial's maximum-likelihood estimates under each
hypothesis's expected score (logistic Elo), empty outcomes counted as a small
fixed number of pairs so that a bot that always scores the same is still
judged; the test stops when the ratio leaves (log(β/(1-α)), log((1-β)/α)).
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass

from kestrel_arena.results import Z95

PAIR_SCORES = (0.0, 0.25, 0.5, 0.75, 1.0)  # a pair's points, halved: the mean is the expected game score
EMPTY_CELL = 1e-3  # pairs counted in an outcome never seen
H1, H0, INCONCLUSIVE = "H1", "H0", "inconclusive"


def expected_score(elo: float) -> float:
    """A game's expected score at a logistic Elo difference."""
    return 1 / (1 + 10 ** (-elo / 400))


def logistic_elo(score: float) -> float:
    return -400 * math.log10(1 / score - 1) + 0.0  # never "-0.0"


def regularized(counts: Sequence[float]) -> list[float]:
    return [n if n > 0 else EMPTY_CELL for n in counts]


def constrained_mle(probabilities: Sequence[float], score: float) -> list[float]:
    """The distribution over PAIR_SCORES of mean `score` that is most likely
    for data of empirical `probabilities` (all above 0). By Lagrange, it is
    p_i / (1 + x (a_i - score)) for the x in the interval where every
    denominator stays positive at which the weights sum to 1; that sum minus
    1 (g below) falls strictly across the interval, so bisection finds x."""
    shifted = [a - score for a in PAIR_SCORES]
    low, high = -1 / max(shifted), -1 / min(shifted)

    def g(x: float) -> float:
        return sum(p * d / (1 + x * d) for p, d in zip(probabilities, shifted, strict=True))

    # g is decreasing: g(x) = 0 is where the weights sum to 1 (sum p_i/(1+x d_i) = 1 - x g(x)).
    for _ in range(200):
        middle = (low + high) / 2
        if middle in (low, high):
            break
        if g(middle) > 0:
            low = middle
        else:
            high = middle
    x = (low + high) / 2
    weights = [p / (1 + x * d) for p, d in zip(probabilities, shifted, strict=True)]
    total = sum(weights)
    return [w / total for w in weights]


def llr(counts: Sequence[float], elo0: float, elo1: float) -> float:
    """The log-likelihood ratio of H1 (Elo `elo1`) against H0 (`elo0`) for the pentanomial `counts`."""
    if sum(counts) == 0:
        return 0.0
    cells = regularized(counts)
    pairs = sum(cells)
    p = [n / pairs for n in cells]
    p0 = constrained_mle(p, expected_score(elo0))
    p1 = constrained_mle(p, expected_score(elo1))
    return pairs * sum(pi * math.log(b / a) for pi, a, b in zip(p, p0, p1, strict=True))


def bounds(alpha: float, beta: float) -> tuple[float, float]:
    return math.log(beta / (1 - alpha)), math.log((1 - beta) / alpha)


def pair_score(points: float) -> int:
    """The pentanomial cell of a pair in which the new bot scored `points` (0 to 2)."""
    return round(2 * points)


@dataclass
class Sprt:
    elo0: float
    elo1: float
    alpha: float = 0.05
    beta: float = 0.05

    def decide(self, pair_points: Sequence[float]) -> tuple[str | None, int, list[int], float]:
        """Goes through the pairs in order, stopping at the first crossing:
        (H1, H0 or None while undecided, pairs used, pentanomial, LLR)."""
        lower, upper = bounds(self.alpha, self.beta)
        counts = [0] * 5
        value = 0.0
        for used, points in enumerate(pair_points, 1):
            counts[pair_score(points)] += 1
            value = llr(counts, self.elo0, self.elo1)
            if value >= upper:
                return H1, used, counts, value
            if value <= lower:
                return H0, used, counts, value
        return None, len(pair_points), counts, value


def elo_interval(counts: Sequence[float]) -> tuple[float, float, float]:
    """The Elo difference and its 95 % interval from the pairs' mean and
    variance. A score of 0 or 1 has no finite Elo; its interval's other end,
    from the counts with empty outcomes regularised, is the bound shown."""
    pairs = sum(counts)
    if pairs == 0:
        return 0.0, -math.inf, math.inf
    mean = sum(n * a for n, a in zip(counts, PAIR_SCORES, strict=True)) / pairs
    if mean in (0.0, 1.0):
        _, low, high = elo_interval(regularized(counts))
        return (math.inf, low, math.inf) if mean == 1.0 else (-math.inf, -math.inf, high)
    variance = sum(n * (a - mean) ** 2 for n, a in zip(counts, PAIR_SCORES, strict=True)) / pairs
    margin = Z95 * math.sqrt(variance / pairs)

    def elo(score: float) -> float:
        return -math.inf if score <= 0 else math.inf if score >= 1 else logistic_elo(score)

    return elo(mean), elo(mean - margin), elo(mean + margin)


def format_elo(counts: Sequence[int]) -> str:
    value, low, high = elo_interval(counts)
    if math.isinf(value):
        # Every pair won (or lost): no finite estimate, only how far the data reach.
        bound = low if value > 0 else high
        side = "above" if value > 0 else "below"
        return f"Elo difference {side} {bound:+.1f} (95 %)"
    ends = " to ".join("+inf" if e == math.inf else "-inf" if e == -math.inf else f"{e:+.1f}" for e in (low, high))
    return f"Elo difference {value:+.1f} (95 % interval {ends})"
