"""The SPRT's statistics: the log-likelihood ratio against a direct
maximisation of the pentanomial likelihood, and decisions and error rates on
simulated pair streams with a fixed seed."""

from __future__ import annotations

import math
import random

import pytest

from kestrel_arena.results import GameRecord
from kestrel_arena.sprt import (
    EMPTY_CELL,
    H0,
    H1,
    Sprt,
    Tracker,
    bounds,
    elo_interval,
    expected_score,
    format_elo,
    llr,
    new_bot_points,
)


def nelder_mead(f, start: list[float], step: float = 0.05, iterations: int = 4000) -> list[float]:
    """Minimises f from `start`: the textbook simplex method, nothing shared with the code under test."""
    simplex = [start] + [[v + (step if i == j else 0) for j, v in enumerate(start)] for i in range(len(start))]
    for _ in range(iterations):
        simplex.sort(key=f)
        best, worst = simplex[0], simplex[-1]
        centre = [sum(p[i] for p in simplex[:-1]) / (len(simplex) - 1) for i in range(len(start))]

        def towards(t: float, worst: list[float] = worst, centre: list[float] = centre) -> list[float]:
            return [c + t * (c - w) for c, w in zip(centre, worst, strict=True)]

        reflected = towards(1)
        if f(reflected) < f(best):
            expanded = towards(2)
            simplex[-1] = expanded if f(expanded) < f(reflected) else reflected
        elif f(reflected) < f(simplex[-2]):
            simplex[-1] = reflected
        elif f(contracted := towards(-0.5)) < f(worst):
            simplex[-1] = contracted
        else:
            simplex = [best] + [[b + 0.5 * (v - b) for b, v in zip(best, p, strict=True)] for p in simplex[1:]]
    return min(simplex, key=f)


def max_log_likelihood(cells: list[float], score: float) -> float:
    """max of sum n_i log q_i over distributions q of mean `score`, searched
    directly: q_1..q_3 free, q_0 and q_4 fixed by the two constraints."""

    def q_of(free: list[float]) -> list[float] | None:
        q1, q2, q3 = free
        q4 = score - (0.25 * q1 + 0.5 * q2 + 0.75 * q3)
        q0 = 1 - q1 - q2 - q3 - q4
        q = [q0, q1, q2, q3, q4]
        return q if min(q) > 0 else None

    def negative(free: list[float]) -> float:
        q = q_of(free)
        return math.inf if q is None else -sum(n * math.log(p) for n, p in zip(cells, q, strict=True))

    best = nelder_mead(negative, [0.1, 0.1, 0.1])
    for _ in range(3):  # restarts from the last best, so that the simplex cannot have stalled
        best = nelder_mead(negative, best, step=0.01)
    return -negative(best)


def regularized_cells(counts: list[int]) -> list[float]:
    return [n if n else EMPTY_CELL for n in counts]


@pytest.mark.timeout(60)
@pytest.mark.parametrize(
    "counts",
    [[3, 10, 25, 9, 2], [0, 4, 30, 6, 0], [0, 0, 12, 0, 0], [0, 0, 0, 1, 19], [7, 0, 0, 0, 1], [1, 1, 1, 1, 1]],
)
@pytest.mark.parametrize(("elo0", "elo1"), [(0, 5), (-10, 30), (0, 200)])
def test_llr_is_the_ratio_of_the_directly_maximised_likelihoods(counts: list[int], elo0: float, elo1: float) -> None:
    cells = regularized_cells(counts)
    direct = max_log_likelihood(cells, expected_score(elo1)) - max_log_likelihood(cells, expected_score(elo0))
    assert llr(counts, elo0, elo1) == pytest.approx(direct, rel=1e-5, abs=1e-6)


def simulated_pairs(rng: random.Random, elo: float, draws: float = 0.3) -> float:
    """A pair's points for a bot `elo` stronger: two games of win/draw/loss at its expected score."""
    score = expected_score(elo)
    win = score - draws / 2
    return sum(1.0 if (r := rng.random()) < win else 0.5 if r < win + draws else 0.0 for _ in range(2))


@pytest.mark.parametrize(
    ("truth", "expected"),
    [(300, H1), (0, H0), (None, H0)],
    ids=["clearly stronger", "equal", "two copies of a deterministic bot"],
)
def test_decisions_on_simulated_streams(truth: float | None, expected: str) -> None:
    rng = random.Random(1)
    stream = [1.0] * 5000 if truth is None else [simulated_pairs(rng, truth) for _ in range(5000)]
    decision, used, counts, value = Sprt(0, 20).decide(stream)
    assert decision == expected and sum(counts) == used < 5000
    lower, upper = bounds(0.05, 0.05)
    assert value >= upper if expected == H1 else value <= lower
    # The test stops at the first crossing: one pair fewer is undecided.
    assert Sprt(0, 20).decide(stream[: used - 1])[0] is None


@pytest.mark.timeout(120)
def test_error_rates_stay_within_alpha_and_beta() -> None:
    rng = random.Random(7)
    runs = 200
    test = Sprt(0, 100, alpha=0.05, beta=0.05)

    def decide(truth: float) -> str | None:
        return test.decide([simulated_pairs(rng, truth) for _ in range(400)])[0]

    false_h1 = sum(decide(0) == H1 for _ in range(runs)) / runs
    false_h0 = sum(decide(100) == H0 for _ in range(runs)) / runs
    # Wald's bounds hold for the exact test; the slack covers 200 runs' sampling error.
    assert false_h1 <= 0.05 + 0.05 and false_h0 <= 0.05 + 0.05


@pytest.mark.parametrize(
    ("counts", "shown"),
    [
        ([0, 0, 0, 0, 12], "Elo difference above +"),
        ([12, 0, 0, 0, 0], "Elo difference below -"),
        ([0, 0, 12, 0, 0], "Elo difference +0.0 (95 % interval -26.2 to +26.2)"),
        ([0, 5, 0, 0, 0], "Elo difference -190.8 (95 % interval -277.5 to -121.7)"),
        ([2, 3, 10, 3, 2], "Elo difference +0.0 (95 % interval -"),
        ([1, 0, 1, 0, 0], "Elo difference -190.8 (95 % interval at most +"),
        ([0, 0, 1, 0, 1], "Elo difference +190.8 (95 % interval at least -67.9)"),
    ],
)
def test_elo_is_finite_or_a_bound(counts: list[int], shown: str) -> None:
    text = format_elo(counts)
    assert text.startswith(shown) and "inf" not in text


def test_pairs_that_all_score_the_same_get_an_interval_that_narrows_as_they_grow() -> None:
    """Two copies of one deterministic bot: no variance, yet the Elo is not pinned to a point."""
    widths = []
    for pairs in (3, 12, 48):
        value, low, high = elo_interval([0, 0, pairs, 0, 0])
        assert value == 0 and low == pytest.approx(-high) and low < 0
        widths.append(high - low)
    # About as 1/pairs: more than three times narrower for four times the pairs.
    assert widths[0] > 3 * widths[1] > 9 * widths[2]
    # The estimate of a one-sided constant score stays where the pairs put it, inside its interval.
    value, low, high = elo_interval([0, 0, 0, 20, 0])
    assert value == pytest.approx(-400 * math.log10(1 / 0.75 - 1)) and low < value < high


def pair_games(first: int, new_points: float) -> list[GameRecord]:
    """Games `first` and `first`+1, new and old swapping seats, in which new scores `new_points` (0 to 2)."""
    results = {2.0: ("new", "new"), 1.5: ("new", None), 1.0: (None, None), 0.5: (None, "old"), 0.0: ("old", "old")}
    games = []
    seatings = (("new", "old"), ("old", "new"))
    for number, seats, winner in zip((first, first + 1), seatings, results[new_points], strict=True):
        loser = None if winner is None else "old" if winner == "new" else "new"
        result = "draw" if winner is None else f"{winner} wins"
        games.append(GameRecord(number, seats, winner, loser, result, "three in a row", False))
    return games


def test_the_tracker_takes_pairs_in_order_and_stops_at_the_first_crossing() -> None:
    tracker = Tracker(Sprt(0, 200), "new")
    played: dict[int, GameRecord] = {}
    games = [g for pair in range(12) for g in pair_games(2 * pair + 1, 2.0)]
    # Pair 1's second game comes last: nothing is counted until it does.
    for g in games[2:] + games[1:2]:
        played[g.game] = g
        tracker.update(played)
        assert tracker.pairs == 0 and tracker.decision is None
    played[1] = games[0]
    tracker.update(played)
    stream = Sprt(0, 200).decide([2.0] * 12)
    assert (tracker.decision, tracker.pairs, tracker.counts) == (H1, stream[1], [0, 0, 0, 0, stream[1]])
    assert tracker.value == pytest.approx(stream[3]) and stream[1] < 12
    # A game that both forfeited counts as a draw for the new bot; no further pair is taken once decided.
    both = GameRecord(1, ("new", "old"), None, None, "both forfeit", "failed to load", True)
    assert new_bot_points(both, "new") == 0.5
    tracker.update(played | {100: both})
    assert tracker.pairs == stream[1]


def test_the_trackers_words_and_record() -> None:
    tracker = Tracker(Sprt(-10, 40, alpha=0.1, beta=0.2), "new")
    played = {g.game: g for pair, points in enumerate([1.0, 1.5, 0.5]) for g in pair_games(2 * pair + 1, points)}
    tracker.update(played)
    lower, upper = bounds(0.1, 0.2)
    assert tracker.status() == f"LLR {tracker.value:+.2f} ({lower:+.2f}, {upper:+.2f})"
    going = tracker.summary("old", finished=False)
    assert going == [
        "SPRT (-10, 40) alpha 0.1 beta 0.2: 3 pairs, pentanomial 0 1 1 1 0 (pair points 0, 1/2, 1, 3/2, 2 of new)",
        f"{tracker.status()}; {format_elo([0, 1, 1, 1, 0])}",
    ]
    assert tracker.summary("old", finished=True)[2:] == ["inconclusive after 3 pairs"]
    assert tracker.summary("old", finished=True, past=1)[3:] == ["1 game past the deciding pair, not counted"]
    note = tracker.note("old", finished=False, past=12).split(" \u00b7 ")
    assert note == [
        "SPRT new vs old, H0: Elo -10, H1: Elo 40 (alpha 0.1, beta 0.2)",
        f"3 pairs, {tracker.status()}",
        "undecided",
        format_elo([0, 1, 1, 1, 0]),
        "12 games past the deciding pair, not counted",
    ]
    record = tracker.record(finished=True)
    value, low, high = elo_interval([0, 1, 1, 1, 0])
    assert record == {
        **{"elo0": -10, "elo1": 40, "alpha": 0.1, "beta": 0.2, "new": "new", "pairs": 3},
        **{"pentanomial": [0, 1, 1, 1, 0], "llr": round(tracker.value, 4)},
        **{"lower_bound": round(lower, 4), "upper_bound": round(upper, 4), "decision": "inconclusive"},
        **{"elo": round(value, 1), "elo_low": round(low, 1), "elo_high": round(high, 1)},
    }
    assert tracker.record(finished=False)["decision"] is None
    # Decided either way, in words; an Elo beyond any finite value is recorded as null.
    # tournament.json's names for the decisions.
    for points, decision, words in [
        (2.0, "H1", "H1 accepted: new is stronger than old by at least 40 Elo"),
        (0.0, "H0", "H0 accepted: new is not stronger than old by more than -10 Elo"),
    ]:
        decided = Tracker(Sprt(-10, 40), "new")
        decided.update({g.game: g for pair in range(40) for g in pair_games(2 * pair + 1, points)})
        assert decided.decision == decision and decided.summary("old", False)[2] == words
        assert words in decided.note("old", False, 0) and "past the deciding pair" not in decided.note("old", False, 0)
        assert decided.record(False)["decision"] == decision and decided.record(False)["elo"] is None


def test_the_scale_the_bounds_and_one_sided_streams() -> None:
    """Logistic Elo (400 points are odds of 10 to 1), Wald's bounds, and an
    outcome never seen counted as 0.001 pairs, which sets how many one-sided
    pairs decide (README's example: 23 pairs of 2 points to H1 at (0, 50))."""
    assert expected_score(0) == 0.5 and expected_score(400) == pytest.approx(10 / 11)
    assert expected_score(-800) == pytest.approx(1 / 101)
    assert bounds(0.05, 0.05) == pytest.approx((-2.9444, 2.9444), abs=1e-4)
    assert bounds(0.1, 0.2) == pytest.approx((-1.5041, 2.0794), abs=1e-4)
    assert llr([0] * 5, 0, 50) == 0 and llr([0, 0, 0, 0, 1], 0, 50) > 0 > llr([1, 0, 0, 0, 0], 0, 50)
    for points, decision, pairs in [(2.0, "H1", 23), (1.0, "H0", 20), (0.0, "H0", 20)]:
        assert Sprt(0, 50).decide([points] * 100)[:2] == (decision, pairs)


def test_before_the_first_complete_pair() -> None:
    assert Sprt(0, 50).decide([]) == (None, 0, [0] * 5, 0.0)
    assert elo_interval([0] * 5) == (0.0, -math.inf, math.inf)
    tracker = Tracker(Sprt(0, 50), "new")
    assert tracker.status() == "LLR +0.00 (-2.94, +2.94)" and tracker.decision is None


def test_no_elo_estimate_is_shown_before_a_complete_pair() -> None:
    assert format_elo([0] * 5) == "no Elo estimate yet (no complete pair)"
    shown = Tracker(Sprt(0, 50), "new").summary("old", finished=False)[1]
    assert shown == "LLR +0.00 (-2.94, +2.94); no Elo estimate yet (no complete pair)"
