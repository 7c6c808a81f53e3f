"""What a tournament produced: the record of each game, the standings with
their Elo estimate (the fit is rating.py's) and the JSON file written from
them; the tables for people are tables.py's, the picture picture.py's."""

from __future__ import annotations

import json
import math
from dataclasses import asdict, dataclass, field
from pathlib import Path

from kestrel_arena.rating import Z95, elo_covariance, elo_ratings, superiority

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
    # --sprt: a game that ended before the test decided but lies past the pair that decided it: kept, not counted.
    past_deciding_pair: bool = False


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
