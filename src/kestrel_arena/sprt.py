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

from kestrel_arena.rating import Z95
from kestrel_arena.results import GameRecord

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
    from the counts with empty outcomes regularised, is the bound shown.
    Pairs that all scored the same (two copies of one deterministic bot) have
    no variance, which would pin the Elo to a point: their interval comes
    from the counts with one more pair, split between the two outcomes next
    to the one seen, so that it narrows as 1/pairs, as a sample that has
    never shown another outcome allows."""
    pairs = sum(counts)
    if pairs == 0:
        return 0.0, -math.inf, math.inf
    mean = sum(n * a for n, a in zip(counts, PAIR_SCORES, strict=True)) / pairs
    if mean in (0.0, 1.0):
        _, low, high = elo_interval(regularized(counts))
        return (math.inf, low, math.inf) if mean == 1.0 else (-math.inf, -math.inf, high)
    variance = sum(n * (a - mean) ** 2 for n, a in zip(counts, PAIR_SCORES, strict=True)) / pairs
    if variance == 0:
        seen = PAIR_SCORES.index(mean)
        widened = [n + 0.5 * (abs(i - seen) == 1) for i, n in enumerate(counts)]
        _, low, high = elo_interval(widened)
        return logistic_elo(mean), low, high
    margin = Z95 * math.sqrt(variance / pairs)

    def elo(score: float) -> float:
        return -math.inf if score <= 0 else math.inf if score >= 1 else logistic_elo(score)

    return elo(mean), elo(mean - margin), elo(mean + margin)


def format_elo(counts: Sequence[int]) -> str:
    if sum(counts) == 0:  # stopped before the first pair was complete
        return "no Elo estimate yet (no complete pair)"
    value, low, high = elo_interval(counts)
    if math.isinf(value):
        # Every pair won (or lost): no finite estimate, only how far the data reach.
        bound = low if value > 0 else high
        side = "above" if value > 0 else "below"
        return f"Elo difference {side} {bound:+.1f} (95 %)"
    if math.isinf(low) or math.isinf(high):
        # An interval that reaches a score of 0 or 1 is open on that side.
        ends = f"at most {high:+.1f}" if math.isinf(low) else f"at least {low:+.1f}"
    else:
        ends = f"{low:+.1f} to {high:+.1f}"
    return f"Elo difference {value:+.1f} (95 % interval {ends})"


def past_text(past: int) -> str:
    return f"{past} game{'s' * (past != 1)} past the deciding pair, not counted"


def new_bot_points(game: GameRecord, new: str) -> float:
    """The new bot's points in a game; a game both forfeited tells nothing and counts as a draw."""
    return 1.0 if game.winner == new else 0.0 if game.loser == new else 0.5


class Tracker:
    """The test over a run's games, taken pair by pair in pair order (games
    2k-1 and 2k), whatever order they ended in, up to the first crossing."""

    def __init__(self, test: Sprt, new: str) -> None:
        self.test = test
        self.new = new
        self.counts = [0] * 5
        self.pairs = 0
        self.value = 0.0
        self.decision: str | None = None

    def update(self, played: dict[int, GameRecord]) -> None:
        lower, upper = bounds(self.test.alpha, self.test.beta)
        while self.decision is None:
            first, second = played.get(2 * self.pairs + 1), played.get(2 * self.pairs + 2)
            if first is None or second is None:
                return
            points = new_bot_points(first, self.new) + new_bot_points(second, self.new)
            self.counts[pair_score(points)] += 1
            self.pairs += 1
            self.value = llr(self.counts, self.test.elo0, self.test.elo1)
            self.decision = H1 if self.value >= upper else H0 if self.value <= lower else None

    def status(self) -> str:
        lower, upper = bounds(self.test.alpha, self.test.beta)
        return f"LLR {self.value:+.2f} ({lower:+.2f}, {upper:+.2f})"

    def verdict(self, old: str, finished: bool) -> str:
        """The decision in words; "" while the test goes on."""
        t = self.test
        verdicts = {
            H1: f"H1 accepted: {self.new} is stronger than {old} by at least {t.elo1:g} Elo",
            H0: f"H0 accepted: {self.new} is not stronger than {old} by more than {t.elo0:g} Elo",
        }
        return verdicts.get(self.decision or "", f"inconclusive after {self.pairs} pairs" if finished else "")

    def summary(self, old: str, finished: bool, past: int = 0) -> list[str]:
        """The test's lines under the standings; `past`: games past the deciding pair, written and not counted."""
        t = self.test
        verdict = self.verdict(old, finished)
        return [
            f"SPRT ({t.elo0:g}, {t.elo1:g}) alpha {t.alpha:g} beta {t.beta:g}: {self.pairs} pairs, "
            f"pentanomial {' '.join(map(str, self.counts))} (pair points 0, 1/2, 1, 3/2, 2 of {self.new})",
            f"{self.status()}; {format_elo(self.counts)}",
            *([verdict] if verdict else []),
            *([past_text(past)] if past else []),
        ]

    def note(self, old: str, finished: bool, past: int) -> str:
        """The test on one line, for the page: hypotheses, LLR and bounds, the decision in words, the Elo estimate."""
        t = self.test
        parts = [
            f"SPRT {self.new} vs {old}, H0: Elo {t.elo0:g}, H1: Elo {t.elo1:g} (alpha {t.alpha:g}, beta {t.beta:g})",
            f"{self.pairs} pairs, {self.status()}",
            self.verdict(old, finished) or "undecided",
            format_elo(self.counts),
        ]
        return " \u00b7 ".join(parts + ([past_text(past)] if past else []))

    def record(self, finished: bool) -> dict[str, object]:
        lower, upper = bounds(self.test.alpha, self.test.beta)
        decision = self.decision or (INCONCLUSIVE if finished else None)
        value, low, high = elo_interval(self.counts)
        finite = [None if math.isinf(e) else round(e, 1) for e in (value, low, high)]
        return {
            "elo0": self.test.elo0,
            "elo1": self.test.elo1,
            "alpha": self.test.alpha,
            "beta": self.test.beta,
            "new": self.new,
            "pairs": self.pairs,
            "pentanomial": self.counts,
            "llr": round(self.value, 4),
            "lower_bound": round(lower, 4),
            "upper_bound": round(upper, 4),
            "elo": finite[0],
            "elo_low": finite[1],
            "elo_high": finite[2],
            "decision": decision,
        }
