"""What a tournament produced: the record of each game, the standings with
their Elo estimate, and the files written from them."""

from __future__ import annotations

import json
import math
import re
from collections import Counter
from dataclasses import asdict, dataclass, field
from pathlib import Path

from kestrel_arena.game_line import GameLine

FORFEIT = re.compile(r"^Player([12]) wins, Player[12] forfeits: (.*)$")

ELO_METHOD = (
    "maximum likelihood (Bradley-Terry, a draw counts half a win), anchored by one virtual draw "
    "per bot against a fixed 1500 player, so that an unbeaten bot stays finite"
)


@dataclass
class ServerResult:
    """A parsed server game line: who won by seat (None: a tie), and why."""

    server_game: int
    addresses: tuple[str, str]
    winner: int | None
    reason: str
    forfeit: bool
    moves: list[int]


def parse_game_line(line: str) -> ServerResult | None:
    parsed = GameLine.parse(line)
    if parsed is None:
        return None
    head = (parsed.number, parsed.seats)
    moves = list(parsed.moves)
    if parsed.outcome == "Tie":
        return ServerResult(*head, None, "board full", False, moves)
    if f := FORFEIT.match(parsed.outcome):
        return ServerResult(*head, int(f.group(1)) - 1, f.group(2), True, moves)
    if parsed.outcome in ("Player1 wins", "Player2 wins"):
        return ServerResult(*head, int(parsed.outcome[6]) - 1, "three in a row", False, moves)
    return None


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
    server_line: str | None = None
    # What the arena saw of each bot's process when it went wrong (exit status, last stderr line).
    problems: dict[str, str] = field(default_factory=dict)


@dataclass
class Standing:
    name: str
    games: int = 0
    wins: int = 0
    draws: int = 0
    losses: int = 0
    elo: float = 1500.0

    @property
    def points(self) -> float:
        return self.wins + 0.5 * self.draws


def standings(names: list[str], games: list[GameRecord]) -> list[Standing]:
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
    for name, rating in elo_ratings(names, games).items():
        table[name].elo = rating
    return sorted(table.values(), key=lambda s: (-s.points, -s.elo, s.name))


def elo_ratings(names: list[str], games: list[GameRecord], iterations: int = 10000) -> dict[str, float]:
    """Bradley-Terry strengths by Hunter's MM iteration, each bot given one
    virtual draw against a fixed 1500 anchor; ratings are 400 log10 of them."""
    anchor = "\0anchor"
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
    strength = {name: 1.0 for name in names} | {anchor: 1.0}
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


def format_table(rows: list[Standing]) -> str:
    width = max([len("bot"), *(len(r.name) for r in rows)])
    lines = [
        f"{'#':>2}  {'bot':<{width}}  {'games':>5}  {'wins':>4}  {'draws':>5}  {'losses':>6}  {'points':>6}  {'elo':>5}"
    ]
    for rank, r in enumerate(rows, 1):
        lines.append(
            f"{rank:>2}  {r.name:<{width}}  {r.games:>5}  {r.wins:>4}  {r.draws:>5}  {r.losses:>6}  "
            f"{r.points:>6g}  {r.elo:>5.0f}"
        )
    return "\n".join(lines)


def problem_summary(games: list[GameRecord]) -> list[str]:
    """One line per bot that lost games other than on the board, with the reasons counted."""
    lost: dict[str, Counter[str]] = {}
    for g in games:
        if not g.forfeit:
            continue
        for name in (g.loser,) if g.loser else g.seats:
            why = g.problems.get(name) or g.reason
            lost.setdefault(name, Counter())[why] += 1
    lines = []
    for name in sorted(lost):
        reasons = "; ".join(f"{why} ({n})" for why, n in lost[name].most_common())
        total = sum(lost[name].values())
        lines.append(f"{name}: {total} game{'s' * (total != 1)} forfeited: {reasons}")
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
        "standings": [asdict(r) | {"points": r.points, "elo": round(r.elo, 1)} for r in rows],
        "cross_table": cross_table([r.name for r in rows], games),
        "games": [asdict(g) for g in games],
    }
    path.write_text(json.dumps(record, indent=2) + "\n")


def write_png(path: Path, rows: list[Standing], games: list[GameRecord]) -> bool:
    """The cross-table as a picture; False when matplotlib is not installed."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    names = [r.name for r in rows]
    table = cross_table(names, games)
    n = len(names)
    share = [[math.nan] * n for _ in names]
    labels = [[""] * n for _ in names]
    for i, a in enumerate(names):
        for j, b in enumerate(names):
            if a == b:
                continue
            w, d, lo = table[a][b]
            played = w + d + lo
            share[i][j] = (w + 0.5 * d) / played if played else math.nan
            labels[i][j] = f"{w}-{d}-{lo}"
    size = 1.6 + 1.1 * n
    fig, ax = plt.subplots(figsize=(size + 1.5, size))
    image = ax.imshow(share, cmap="RdYlGn", vmin=0, vmax=1)
    for i in range(n):
        for j in range(n):
            ax.text(j, i, labels[i][j] or "—", ha="center", va="center", fontsize=9)
    ax.set_xticks(range(n), names, rotation=30, ha="right")
    ax.set_yticks(range(n), [f"{r.name} ({r.points:g}, {r.elo:.0f})" for r in rows])
    ax.set_xlabel("opponent")
    ax.set_ylabel("bot (points, Elo)")
    ax.set_title("kestrel-arena: wins-draws-losses of the row bot\n(colour: its share of the points)")
    fig.colorbar(image, ax=ax, fraction=0.046, pad=0.04)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True
