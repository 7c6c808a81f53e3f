"""The results as people read them: the standings table and the forfeits
grouped by kind."""

from __future__ import annotations

import re
from collections import Counter

from kestrel_arena.results import TOLD_APART, GameRecord, Standing

OCCUPIED = re.compile(r"^took occupied cell \d+$")
NOT_A_CELL = re.compile(r"^answered (.*), not a cell$")


def format_table(rows: list[Standing]) -> str:
    width = max([len("bot"), *(len(r.name) for r in rows)])
    lines = [
        f"{'#':>2}  {'bot':<{width}}  {'games':>5}  {'wins':>4}  {'draws':>5}  {'losses':>6}  {'points':>6}  "
        f"{'elo':>5}  {'95 % interval':>13}  {'mistakes':>14}  {'LOS':>7}"
    ]
    for rank, (r, below) in enumerate(zip(rows, [*rows[1:], None], strict=True), 1):
        line = (
            f"{rank:>2}  {r.name:<{width}}  {r.games:>5}  {r.wins:>4}  {r.draws:>5}  {r.losses:>6}  "
            f"{r.points:>6g}  {r.elo:>5.0f}  {f'{r.elo_low:.0f} to {r.elo_high:.0f}':>13}  {mistakes_text(r):>14}"
        )
        if below is not None and r.superiority is not None:
            line += f"  {percent(r.superiority):>7}"
            if r.superiority < TOLD_APART:
                line += f"  cannot be told apart from {below.name}"
        lines.append(line.rstrip())
    return "\n".join(lines)


def mistakes_text(r: Standing) -> str:
    return f"{r.mistakes} ({r.mistakes_per_game:.2f}/game)"


def percent(p: float) -> str:
    """One decimal, never rounded up to a certainty the data do not give."""
    return ">99.9 %" if p > 0.999 else "<0.1 %" if p < 0.001 else f"{100 * p:.1f} %"


NOT_A_CELL_KIND = "answered something that is not a cell"


def reason_kind(why: str) -> str:
    """A forfeit's reason without what varies from game to game (the cell)."""
    if OCCUPIED.match(why):
        return "took an occupied cell"
    if NOT_A_CELL.match(why):
        return NOT_A_CELL_KIND
    return why


def problem_summary(games: list[GameRecord]) -> list[str]:
    """One line per bot that lost games other than on the board, its reasons
    grouped by kind and counted (the answers that were not cells listed)."""
    lost: dict[str, Counter[str]] = {}
    answers: dict[str, dict[str, None]] = {}  # in the order first given
    for g in games:
        if not g.forfeit:
            continue
        for name in (g.loser,) if g.loser else g.seats:
            why = g.problems.get(name) or g.reason
            lost.setdefault(name, Counter())[reason_kind(why)] += 1
            if m := NOT_A_CELL.match(why):
                answers.setdefault(name, {})[m.group(1)] = None
    lines = []
    for name in sorted(lost):
        kinds = []
        for why, n in lost[name].most_common():
            if why == NOT_A_CELL_KIND:
                why = f"answered {' or '.join(answers[name])}, not a cell"
            kinds.append(f"{why} ({n})")
        total = sum(lost[name].values())
        lines.append(f"{name}: {total} game{'s' * (total != 1)} forfeited: {'; '.join(kinds)}")
    return lines
