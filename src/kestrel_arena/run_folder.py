"""A tournament's folder: the run's bots and settings (run.json, written when
it starts), its games (games.jsonl, appended as each ends) and its results
(tournament.json). Nothing a user ran is overwritten: a new run goes into a
folder that holds no run, and a run that never played a game leaves none
behind."""

from __future__ import annotations

import argparse
import hashlib
import json
import secrets
from dataclasses import asdict, dataclass, field, fields
from pathlib import Path

from kestrel_arena.openings import BALANCED, UNIFORM
from kestrel_arena.results import GameRecord
from kestrel_arena.sprt import Sprt, Tracker
from kestrel_arena.tournament import ArenaError, Bot, Limits, disqualifies
from kestrel_testing.bots import split_spec

RECORD_FIELDS = {f.name for f in fields(GameRecord)}
RUN_FILE = "run.json"
GAMES_FILE = "games.jsonl"
RESULT_FILE = "tournament.json"
DEFAULT_PARENT = Path("arena-results")


def bot_names(specs: list[str]) -> list[Bot]:
    """Named after their file (and class); the same name twice gets #2, #3."""
    bots: list[Bot] = []
    seen: dict[str, int] = {}
    for spec in specs:
        path, cls = split_spec(spec)
        name = path.stem + (f":{cls}" if cls else "")
        seen[name] = seen.get(name, 0) + 1
        bots.append(Bot(name if seen[name] == 1 else f"{name}#{seen[name]}", spec))
    return bots


def file_digest(spec: str) -> str:
    return hashlib.sha256(split_spec(spec)[0].read_bytes()).hexdigest()


@dataclass
class Run:
    """A tournament in its folder: what it plays, and the games played so far."""

    out: Path
    bots: list[Bot]
    games_per_pair: int
    limits: Limits
    seed: str
    server: str | None  # as given; None: the one installed
    played: dict[int, GameRecord] = field(default_factory=dict)
    openings: int = 0  # moves of each pair of games played for the bots
    opening_choice: str = BALANCED  # which openings those are: balanced ones, or any
    sprt: Tracker | None = None  # with --sprt: two bots, the first the new one, at most games_per_pair games

    @property
    def total(self) -> int:
        return len(self.bots) * (len(self.bots) - 1) // 2 * self.games_per_pair

    def finished(self) -> bool:
        """Every game played, or the SPRT decided."""
        return len(self.played) == self.total or (self.sprt is not None and self.sprt.decision is not None)

    def games(self) -> list[GameRecord]:
        """The games played, in order; once the SPRT has decided, those of the pairs it used."""
        games = sorted(self.played.values(), key=lambda g: g.game)
        if self.sprt and self.sprt.decision:
            return [g for g in games if g.game <= 2 * self.sprt.pairs]
        return games

    def record(self, game: GameRecord) -> bool:
        """Adds a played game; True when it decided the SPRT, which marks the
        games played past the deciding pair (kept, not counted)."""
        self.played[game.game] = game
        if not self.sprt:
            return False
        if self.sprt.decision:  # a resumed run's games.jsonl, read in the order its games ended
            game.past_deciding_pair = game.game > 2 * self.sprt.pairs
            return False
        self.sprt.update(self.played)
        if not self.sprt.decision:
            return False
        for g in self.played.values():
            g.past_deciding_pair = g.game > 2 * self.sprt.pairs
        return True

    def past_deciding_pair(self) -> list[int]:
        """The games written that the SPRT's decision leaves out, in order."""
        return sorted(g.game for g in self.played.values() if g.past_deciding_pair)

    def sprt_summary(self) -> list[str]:
        assert self.sprt is not None
        return self.sprt.summary(self.bots[1].name, self.finished(), len(self.past_deciding_pair()))

    def sprt_note(self) -> str:
        """The test on the page, under the standings."""
        assert self.sprt is not None
        return self.sprt.note(self.bots[1].name, self.finished(), len(self.past_deciding_pair()))

    def write_games(self) -> None:
        """games.jsonl rewritten whole from the games played (through a new
        file, so that a run killed meanwhile keeps the old one)."""
        path = self.out / GAMES_FILE
        temporary = path.with_name(path.name + ".new")
        games = sorted(self.played.values(), key=lambda g: g.game)
        temporary.write_text("".join(json.dumps(asdict(g)) + "\n" for g in games))
        temporary.replace(path)

    def header(self) -> dict[str, object]:
        sprt = None
        if self.sprt:
            sprt = self.sprt.record(self.finished()) | {"past_deciding_pair": self.past_deciding_pair()}
        return {
            "bots": [{"name": b.name, "bot": b.spec} for b in self.bots],
            "games_per_pair": self.games_per_pair,
            "move_time": self.limits.move_time,
            "join_time": self.limits.join_time,
            "seed": self.seed,
            "openings": self.openings,
            "opening_choice": self.opening_choice,
        } | ({"sprt": sprt} if sprt else {})


def holds_run(out: Path) -> bool:
    return (out / RUN_FILE).exists() or (out / GAMES_FILE).exists()


def fresh_folder(parent: Path = DEFAULT_PARENT) -> Path:
    """The first numbered folder in `parent` that holds no run: each run without --out gets its own."""
    number = 1
    while (parent / str(number)).exists():
        number += 1
    return parent / str(number)


def new_run(args: argparse.Namespace) -> Run:
    out: Path = args.out if args.out is not None else fresh_folder()
    if holds_run(out):
        how = f"kestrel-arena --resume {out} plays the rest" if unfinished(out) else "its results would be overwritten"
        raise ArenaError(f"{out} holds a run already ({how}); give another --out for a new one")
    bots = bot_names(args.bots)
    for bot in bots:
        # Absolute, so that --resume works from any folder.
        path, cls = split_spec(bot.spec)
        bot.spec = str(path.resolve()) + (f":{cls}" if cls else "")
    seed = args.seed if args.seed is not None else str(secrets.randbelow(10**9))
    run = Run(out, bots, args.games, Limits(args.move_time, args.join_time), seed, args.server)
    run.openings = args.openings
    run.opening_choice = args.opening_choice
    if args.sprt:
        run.sprt = Tracker(Sprt(args.sprt[0], args.sprt[1], args.alpha, args.beta), bots[0].name)
    out.mkdir(parents=True, exist_ok=True)
    record = run.header() | {"sha256": {b.name: file_digest(b.spec) for b in bots}, "server": args.server}
    (out / RUN_FILE).write_text(json.dumps(record, indent=2) + "\n")
    (out / GAMES_FILE).write_text("")
    return run


def unfinished(out: Path) -> bool:
    if not (out / GAMES_FILE).exists():
        return False
    try:
        return not json.loads((out / RESULT_FILE).read_text()).get("complete", True)
    except (OSError, ValueError):
        return True


def resume_run(out: Path, server: str | None) -> Run:
    """The run in `out` with the games it has played; refused when a bot's file changed since it began
    (its games so far would not be the games of the bot that plays the rest)."""
    try:
        record = json.loads((out / RUN_FILE).read_text())
    except (OSError, ValueError) as error:
        raise ArenaError(f"no run to resume in {out}: {error}") from None
    bots = [Bot(b["name"], b["bot"]) for b in record["bots"]]
    for bot in bots:
        if not split_spec(bot.spec)[0].is_file():
            raise ArenaError(f"cannot resume: {bot.name}'s file {split_spec(bot.spec)[0]} is gone")
        if file_digest(bot.spec) != record["sha256"][bot.name]:
            raise ArenaError(
                f"cannot resume: {split_spec(bot.spec)[0]} ({bot.name}) changed since the run began; "
                "restore it, or start a new run"
            )
    limits = Limits(record["move_time"], record["join_time"])
    run = Run(out, bots, record["games_per_pair"], limits, record["seed"], server or record["server"])
    run.openings = record.get("openings", 0)
    # A run begun before openings were balanced goes on with the uniform ones it began with.
    run.opening_choice = record.get("opening_choice", UNIFORM)
    if sprt := record.get("sprt"):
        run.sprt = Tracker(Sprt(sprt["elo0"], sprt["elo1"], sprt["alpha"], sprt["beta"]), bots[0].name)
    by_name = {b.name: b for b in bots}
    for line in (out / GAMES_FILE).read_text().splitlines():
        try:
            game = json.loads(line)
        except ValueError:
            continue  # a line cut short when the run was killed: that game is played again
        game["seats"] = tuple(game["seats"])
        if game.get("addresses") is not None:
            game["addresses"] = tuple(game["addresses"])
        # Fields an older arena wrote and this one no longer does (the server's
        # prose line, before games were reported as data) are let go.
        run.record(GameRecord(**{k: v for k, v in game.items() if k in RECORD_FIELDS}))
    for game in run.played.values():
        for name, why in game.problems.items():
            if disqualifies(why):
                by_name[name].disqualified = why
    # Rewritten whole, without any line cut short.
    run.write_games()
    return run


def discard_if_unplayed(run: Run, created: bool) -> None:
    """A new run that never played a game (its server did not start) leaves nothing that blocks a retry."""
    if not created or run.played:
        return
    for name in (RUN_FILE, GAMES_FILE, RESULT_FILE):
        (run.out / name).unlink(missing_ok=True)
    try:
        run.out.rmdir()
    except OSError:
        pass  # it holds something else of the user's
