"""kestrel-arena: plays kestrel bots against each other and ranks them.

kestrel-arena examples/perfect.py examples/random_bot.py mybot.py --games 20
"""

from __future__ import annotations

import argparse
import asyncio
import hashlib
import json
import os
import re
import secrets
import signal
import sys
import time
from collections.abc import Callable
from dataclasses import asdict, dataclass, field
from pathlib import Path

from kestrel_arena.live import WebRun
from kestrel_arena.player import split_spec
from kestrel_arena.results import (
    ELO_METHOD,
    INTERVAL_METHOD,
    GameRecord,
    format_table,
    problem_summary,
    standings,
    write_json,
    write_png,
)
from kestrel_arena.tournament import (
    ArenaError,
    Bot,
    Limits,
    disqualifies,
    find_server,
    run_tournament,
    schedule,
)

RUN_FILE = "run.json"  # the run's bots and settings, written when it starts
GAMES_FILE = "games.jsonl"  # one game a line, appended as each ends
RESULT_FILE = "tournament.json"
STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


def positive(kind: type[int] | type[float]) -> Callable[[str], int | float]:
    def parse(text: str) -> int | float:
        try:
            value = kind(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
        if not value > 0:
            raise argparse.ArgumentTypeError(f"must be above 0: {text!r}")
        return value

    return parse


def port_number(text: str) -> int:
    if not text.isdigit() or int(text) > 65535:
        raise argparse.ArgumentTypeError(f"not a port number (0 to 65535): {text!r}")
    return int(text)


def processors() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="kestrel-arena",
        description="Plays every pair of bots against each other on a kestrel-server of its own, seats "
        "alternating, and prints the standings. A bot is a Python file with one TicTacToeClient subclass "
        "(FILE.py:CLASS names one); each game runs each bot in a process of its own. A bot that cannot be "
        "loaded, crashes, never joins or runs out of time loses the game and is named with the reason. "
        "Each game is written to DIR/games.jsonl as it ends; an interrupted run (Ctrl-C, SIGTERM) prints "
        "the standings so far and --resume DIR plays the rest.",
    )
    parser.add_argument("bots", nargs="*", metavar="BOT", help="FILE.py or FILE.py:CLASS (at least two)")
    parser.add_argument(
        "--games",
        type=positive(int),
        help="games per pair, even: each bot moves first in half its games against each opponent (default 10)",
    )
    parser.add_argument(
        "--move-time",
        type=positive(float),
        metavar="SECONDS",
        help="time per move; the server forfeits a bot that takes longer (default 5)",
    )
    parser.add_argument(
        "--join-time",
        type=positive(float),
        metavar="SECONDS",
        help="time for a bot's process to start and join; a bot that misses it plays no more (default 15)",
    )
    parser.add_argument(
        "--seed",
        metavar="S",
        help="seeds each bot process's random module, per game, so that a run repeats exactly "
        "(default: a new one, printed and recorded)",
    )
    parser.add_argument(
        "--concurrency",
        type=positive(int),
        default=processors(),
        metavar="N",
        help="games played at once (default: the number of processors, here %(default)s)",
    )
    parser.add_argument(
        "--server",
        metavar="PATH",
        help="the kestrel-server program to run for the tournament (default: the one installed)",
    )
    parser.add_argument(
        "--web",
        type=port_number,
        metavar="PORT",
        help="show the run live on a web page on this port of 127.0.0.1 (0: any free port): the games "
        "with the bots' names, the standings, and every finished game with a replay; the page stays up "
        "after the run until Enter, end of input or Ctrl-C",
    )
    parser.add_argument(
        "--out",
        type=Path,
        metavar="DIR",
        help="where games.jsonl, tournament.json and crosstable.png go (default ./arena-results)",
    )
    parser.add_argument(
        "--resume",
        type=Path,
        metavar="DIR",
        help="continues the interrupted run in DIR with its bots and settings (a bot file changed since is refused)",
    )
    args = parser.parse_args(argv)
    # A path would turn "ws://host" into "ws:/host" and report that missing.
    if args.server and re.match(r"^[A-Za-z][A-Za-z0-9+.-]*://", args.server):
        parser.error(
            f"--server takes the path of a kestrel-server program, not a URL ({args.server}): the arena "
            "runs a server of its own to know each game's seats and result; --web PORT shows its games"
        )
    if args.resume is not None:
        given = [flag for flag in ("games", "move_time", "join_time", "seed", "out") if getattr(args, flag) is not None]
        if args.bots or given:
            parser.error(
                "--resume takes the bots and settings of the run it continues; "
                "give only --concurrency, --server or --web"
            )
        return args
    args.games = 10 if args.games is None else args.games
    args.move_time = 5.0 if args.move_time is None else args.move_time
    args.join_time = 15.0 if args.join_time is None else args.join_time
    args.out = Path("arena-results") if args.out is None else args.out
    if args.games % 2:
        parser.error("--games must be even, so that each bot moves first in half its games against each opponent")
    if not 0.001 <= args.move_time <= 86400:
        parser.error("--move-time must be from 0.001 to 86400 seconds")
    if len(args.bots) < 2:
        parser.error("needs at least two bots")
    for spec in args.bots:
        if not split_spec(spec)[0].is_file():
            parser.error(f"no such bot file: {split_spec(spec)[0]}")
    return args


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

    @property
    def total(self) -> int:
        return len(self.bots) * (len(self.bots) - 1) // 2 * self.games_per_pair

    def header(self) -> dict[str, object]:
        return {
            "bots": [{"name": b.name, "bot": b.spec} for b in self.bots],
            "games_per_pair": self.games_per_pair,
            "move_time": self.limits.move_time,
            "join_time": self.limits.join_time,
            "seed": self.seed,
        }


def new_run(args: argparse.Namespace) -> Run:
    out: Path = args.out
    if unfinished(out):
        raise ArenaError(
            f"{out} holds an unfinished run: kestrel-arena --resume {out} continues it, another --out starts afresh"
        )
    bots = bot_names(args.bots)
    for bot in bots:
        # Absolute, so that --resume works from any folder.
        path, cls = split_spec(bot.spec)
        bot.spec = str(path.resolve()) + (f":{cls}" if cls else "")
    seed = args.seed if args.seed is not None else str(secrets.randbelow(10**9))
    run = Run(out, bots, args.games, Limits(args.move_time, args.join_time), seed, args.server)
    out.mkdir(parents=True, exist_ok=True)
    (out / RESULT_FILE).unlink(missing_ok=True)
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
    by_name = {b.name: b for b in bots}
    for line in (out / GAMES_FILE).read_text().splitlines():
        try:
            game = json.loads(line)
        except ValueError:
            continue  # a line cut short when the run was killed: that game is played again
        game["seats"] = tuple(game["seats"])
        if game.get("addresses") is not None:
            game["addresses"] = tuple(game["addresses"])
        run.played[game["game"]] = GameRecord(**game)
    for game in run.played.values():
        for name, why in game.problems.items():
            if disqualifies(why):
                by_name[name].disqualified = why
    # Rewritten whole, without any line cut short.
    (out / GAMES_FILE).write_text("".join(json.dumps(asdict(g)) + "\n" for g in run.played.values()))
    return run


async def play(
    run: Run, server: Path, concurrency: int, on_game: Callable[[GameRecord], None], web: WebRun | None = None
) -> int | None:
    """Plays the run's remaining games; the signal that stopped it, if one did."""
    plan = [g for g in schedule(run.bots, run.games_per_pair) if g.number not in run.played]
    loop = asyncio.get_running_loop()
    task = asyncio.current_task()
    assert task is not None
    caught: list[int] = []

    def stop(sig: int) -> None:
        if not caught:  # a second Ctrl-C must not cut the cleanup short
            caught.append(sig)
            task.cancel()

    for sig in STOP_SIGNALS:
        loop.add_signal_handler(sig, stop, sig)
    try:
        await run_tournament(server, plan, run.limits, on_game, concurrency, run.seed, web)
    except asyncio.CancelledError:
        if not caught:
            raise
    finally:
        for sig in STOP_SIGNALS:
            loop.remove_signal_handler(sig)
    return caught[0] if caught else None


class Progress:
    """A bar redrawn in place on a terminal; a line every tenth of the way otherwise."""

    def __init__(self) -> None:
        self.tty = sys.stderr.isatty()
        self.shown = -1
        self.began = time.monotonic()
        self.drawn = False

    def end(self) -> None:
        """Ends a bar cut short, so that what follows starts on a line of its own."""
        if self.tty and self.drawn:
            print(file=sys.stderr)
            self.drawn = False

    def __call__(self, done: int, total: int, game: GameRecord) -> None:
        width = 30
        filled = width * done // total
        bar = f"[{'#' * filled}{'.' * (width - filled)}] {done}/{total} games, {time.monotonic() - self.began:.0f} s"
        if self.tty:
            print(f"\r{bar}  {' vs '.join(game.seats)}: {game.result}".ljust(100)[:100], end="", file=sys.stderr)
            self.drawn = True
            if done == total:
                self.end()
        elif (tenth := 10 * done // total) != self.shown:
            self.shown = tenth
            print(bar, file=sys.stderr)
        sys.stderr.flush()


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    try:
        run = resume_run(args.resume, args.server) if args.resume is not None else new_run(args)
        server = find_server(run.server)
    except ArenaError as e:
        print(f"kestrel-arena: {e}", file=sys.stderr)
        return 1
    if run.played:
        print(f"kestrel-arena: {len(run.played)} of {run.total} games played already", file=sys.stderr)
    print(f"kestrel-arena: seed {run.seed}", file=sys.stderr)

    progress = Progress()
    web = None
    if args.web is not None:
        web = WebRun(
            args.web,
            [b.name for b in run.bots],
            run.total,
            lambda: sorted(run.played.values(), key=lambda g: g.game),
            lambda: report(run, server),
        )
    with (run.out / GAMES_FILE).open("a") as log:

        def on_game(game: GameRecord) -> None:
            run.played[game.game] = game
            log.write(json.dumps(asdict(game)) + "\n")
            log.flush()
            if web:
                web.game_over(game)
            progress(len(run.played), run.total, game)

        try:
            caught = asyncio.run(play(run, server, args.concurrency, on_game, web))
        except ArenaError as e:
            progress.end()
            print(f"kestrel-arena: {e}\nkestrel-arena --resume {run.out} plays the rest", file=sys.stderr)
            return 1
        except KeyboardInterrupt:  # before the loop could take the signal over
            caught = signal.SIGINT
    if web and web.reported:
        return 0  # the whole run was played and reported; a signal only closed its page
    if caught is not None:
        progress.end()
        print(
            f"kestrel-arena: interrupted ({signal.Signals(caught).name}) after {len(run.played)} of {run.total} "
            f"games; kestrel-arena --resume {run.out} plays the rest",
            file=sys.stderr,
        )
        print(f"Standings after {len(run.played)} of {run.total} games:")
    # A signal while the files are written (matplotlib takes seconds to
    # import) ends the run as Ctrl-C does, without a traceback; nothing is left
    # running by then.
    for sig in STOP_SIGNALS:
        signal.signal(sig, interrupt)
    try:
        report(run, server)
    except KeyboardInterrupt as stopped:
        caught = stopped.args[0] if stopped.args else signal.SIGINT
        print(f"kestrel-arena: interrupted ({signal.Signals(caught).name}) while writing the results", file=sys.stderr)
    return 0 if caught is None else 128 + caught


def interrupt(sig: int, frame: object) -> None:
    raise KeyboardInterrupt(sig)


def report(run: Run, server: Path) -> None:
    """The standings on stdout, and the files, from the games played so far."""
    games = sorted(run.played.values(), key=lambda g: g.game)
    rows = standings([b.name for b in run.bots], games)
    print(format_table(rows))
    print(f"Elo: {ELO_METHOD}.")
    print(f"{INTERVAL_METHOD}.")
    problems = problem_summary(games)
    if problems:
        print("\nForfeits:")
        for line in problems:
            print(f"  {line}")

    header = run.header() | {"server": str(server), "complete": len(games) == run.total}
    json_path = run.out / RESULT_FILE
    write_json(json_path, header, rows, games)
    print(f"\nWrote {json_path}")
    png_path = run.out / "crosstable.png"
    if write_png(png_path, rows, games):
        print(f"Wrote {png_path}")
    else:
        print(f"No {png_path.name}: matplotlib is not installed (pip install 'kestrel[arena]')")


if __name__ == "__main__":
    sys.exit(main())
