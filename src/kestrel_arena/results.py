"""What a tournament produced: the record of each game, the standings with
their Elo estimate, and the files written from them."""

from __future__ import annotations

import json
import math
import re
from collections import Counter
from dataclasses import asdict, dataclass, field
from pathlib import Path

OCCUPIED = re.compile(r"^took occupied cell \d+$")
NOT_A_CELL = re.compile(r"^answered (.*), not a cell$")
# Elo points per natural-log unit of Bradley-Terry strength.
ELO_SCALE = 400 / math.log(10)
Z95 = 1.959963984540054  # two-sided 95 % of the normal distribution
TOLD_APART = 0.95  # likelihood of superiority from which neighbours are ranked with confidence

ELO_METHOD = (
    "maximum likelihood (Bradley-Terry, a draw counts half a win), anchored by one virtual draw "
    "per bot against a fixed 1500 player, so that an unbeaten bot stays finite"
)
INTERVAL_METHOD = (
    "95 % interval: the rating against the field's average, from the model's information at the estimate "
    "(normal approximation); LOS: likelihood that the bot is stronger than the next one in the table, "
    f"below {100 * TOLD_APART:g} % the two cannot be told apart"
)


@dataclass
class GameRecord:
    game: int  # the arena's count, from 1
    seats: tuple[str, str]  # bot names, seat 0 (moves first) then seat 1
    winner: str | None  # a bot name; None for a draw or when both forfeit
    loser: str | None
    result: str  # "<name> wins", "draw" or "both forfeit"
    reason: str  # "three in a row", "board full", or why the loser forfeited
    forfeit: bool
    moves: list[int] = field(default_factory=list)
    server_game: int | None = None  # None: the game never started on the server
    addresses: tuple[str, str] | None = None
    # What the arena saw of each bot's process when it went wrong (exit status, last stderr line).
    problems: dict[str, str] = field(default_factory=dict)
    # The first moves, played by the arena for both bots (the same in the pair's other game).
    opening: list[int] = field(default_factory=list)
    # Each legal move judged against perfect play: the mover's value (1 win, 0 draw, -1 loss) before and after.
    judged: list[list[int]] = field(default_factory=list)
    # The plies (from 0) at which a bot lowered its own value; never an opening move.
    mistakes: list[int] = field(default_factory=list)
    # Seconds each bot took over each of its moves (handle_turn, as the bot's process timed it).
    think_times: dict[str, list[float]] = field(default_factory=dict)
    # Each bot's stderr in the game: its text while playing, then (in games.jsonl) the file that keeps it.
    stderr: dict[str, str] = field(default_factory=dict)
    # What each bot printed in the game (the module's own lines left out), kept as stderr is.
    stdout: dict[str, str] = field(default_factory=dict)
    # The bots that lost the game to their process dying or never starting it, not to a move or a
    # raise from handle_turn (those are play). With --sprt such a game stops the run unless --recover.
    crashed: list[str] = field(default_factory=list)


@dataclass
class Standing:
    name: str
    games: int = 0
    wins: int = 0
    draws: int = 0
    losses: int = 0
    elo: float = 1500.0
    elo_low: float = 1500.0  # the 95 % interval
    elo_high: float = 1500.0
    # Likelihood that this bot is stronger than the next one in the table; None for the last.
    superiority: float | None = None
    mistakes: int = 0  # its moves that lowered its value against perfect play
    crashes: int = 0  # games it lost to its process dying or never starting the game (counted in losses too)
    played: int = 0  # games of its that started on the server: 0, it never played

    @property
    def mistakes_per_game(self) -> float:
        return self.mistakes / self.games if self.games else 0.0

    @property
    def points(self) -> float:
        return self.wins + 0.5 * self.draws


def tally(names: list[str], games: list[GameRecord]) -> dict[str, Standing]:
    """Each bot's counts, without the ratings (which cost a fit)."""
    table = {name: Standing(name) for name in names}
    for g in games:
        for name in g.seats:
            row = table[name]
            row.games += 1
            if g.winner == name:
                row.wins += 1
            elif g.loser == name or g.result == "both forfeit":
                row.losses += 1
            else:
                row.draws += 1
            if g.server_game is not None:
                row.played += 1
        for ply in g.mistakes:
            table[g.seats[ply % 2]].mistakes += 1
        for name in g.crashed:
            table[name].crashes += 1
    return table


def standings(names: list[str], games: list[GameRecord]) -> list[Standing]:
    table = tally(names, games)
    ratings = elo_ratings(names, games)
    covariance = elo_covariance(names, games, ratings)
    n = len(names)
    mean_cov = sum(map(sum, covariance)) / n**2 if n else 0.0
    for i, name in enumerate(names):
        # The interval is relative to the field's average: the anchor only sets the scale's origin.
        variance = covariance[i][i] - 2 * sum(covariance[i]) / n + mean_cov
        margin = Z95 * math.sqrt(max(variance, 0.0))
        row = table[name]
        row.elo, row.elo_low, row.elo_high = ratings[name], ratings[name] - margin, ratings[name] + margin
    rows = sorted(table.values(), key=lambda s: (-s.points, -s.elo, s.name))
    index = {name: i for i, name in enumerate(names)}
    for row, below in zip(rows, rows[1:], strict=False):
        i, j = index[row.name], index[below.name]
        row.superiority = superiority(row.elo - below.elo, covariance[i][i] + covariance[j][j] - 2 * covariance[i][j])
    return rows


def superiority(difference: float, variance: float) -> float:
    """P(true difference > 0) for an estimated difference of normal error."""
    if variance <= 0:
        return 0.5 if difference == 0 else float(difference > 0)
    return 0.5 * (1 + math.erf(difference / math.sqrt(2 * variance)))


def _meetings(
    names: list[str], games: list[GameRecord], anchor: str
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


def elo_ratings(names: list[str], games: list[GameRecord], iterations: int = 10000) -> dict[str, float]:
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


def elo_covariance(names: list[str], games: list[GameRecord], ratings: dict[str, float]) -> list[list[float]]:
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


def cross_table(names: list[str], games: list[GameRecord]) -> dict[str, dict[str, list[int]]]:
    """[wins, draws, losses] of the row bot against the column bot."""
    table = {a: {b: [0, 0, 0] for b in names if b != a} for a in names}
    for g in games:
        a, b = g.seats
        if a == b:
            continue
        for me, them in ((a, b), (b, a)):
            column = 0 if g.winner == me else 2 if (g.loser == me or g.result == "both forfeit") else 1
            table[me][them][column] += 1
    return table


def write_json(path: Path, header: dict[str, object], rows: list[Standing], games: list[GameRecord]) -> None:
    record = {
        **header,
        "elo_method": ELO_METHOD,
        "interval_method": INTERVAL_METHOD,
        "standings": [
            asdict(r)
            | {"points": r.points}
            | {key: round(getattr(r, key), 1) for key in ("elo", "elo_low", "elo_high")}
            | {"superiority": None if r.superiority is None else round(r.superiority, 4)}
            | {"mistakes_per_game": round(r.mistakes_per_game, 4)}
            for r in rows
        ],
        "cross_table": cross_table([r.name for r in rows], games),
        "games": [asdict(g) for g in games],
    }
    path.write_text(json.dumps(record, indent=2) + "\n")
