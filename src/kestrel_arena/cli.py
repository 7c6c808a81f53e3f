"""kestrel-arena: plays kestrel bots against each other and ranks them.

kestrel-arena examples/perfect.py examples/random_bot.py mybot.py --games 20
"""

from __future__ import annotations

import argparse
import asyncio
import re
import sys
import time
from collections.abc import Callable
from pathlib import Path

from kestrel_arena.player import split_spec
from kestrel_arena.results import (
    ELO_METHOD,
    GameRecord,
    format_table,
    problem_summary,
    standings,
    write_json,
    write_png,
)
from kestrel_arena.tournament import ArenaError, Bot, Limits, find_server, run_tournament


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


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="kestrel-arena",
        description="Plays every pair of bots against each other on a kestrel-server of its own, seats "
        "alternating, and prints the standings. A bot is a Python file with one TicTacToeClient subclass "
        "(FILE.py:CLASS names one); each game runs each bot in a process of its own. A bot that cannot be "
        "loaded, crashes, never joins or runs out of time loses the game and is named with the reason.",
    )
    parser.add_argument("bots", nargs="+", metavar="BOT", help="FILE.py or FILE.py:CLASS (at least two)")
    parser.add_argument("--games", type=positive(int), default=10, help="games per pair (default 10)")
    parser.add_argument(
        "--move-time",
        type=positive(float),
        default=5.0,
        metavar="SECONDS",
        help="time per move; the server forfeits a bot that takes longer (default 5)",
    )
    parser.add_argument(
        "--join-time",
        type=positive(float),
        default=15.0,
        metavar="SECONDS",
        help="time for a bot's process to start and join; a bot that misses it plays no more (default 15)",
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
        "with the bots' names, the standings, and every finished game with a replay",
    )
    parser.add_argument(
        "--out",
        type=Path,
        default=Path("arena-results"),
        metavar="DIR",
        help="where tournament.json and crosstable.png go (default ./arena-results)",
    )
    args = parser.parse_args(argv)
    # A path would turn "ws://host" into "ws:/host" and report that missing.
    if args.server and re.match(r"^[A-Za-z][A-Za-z0-9+.-]*://", args.server):
        parser.error(
            f"--server takes the path of a kestrel-server program, not a URL ({args.server}): the arena "
            "runs a server of its own to know each game's seats and result; --web PORT shows its games"
        )
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


class Progress:
    """A bar redrawn in place on a terminal; a line every tenth of the way otherwise."""

    def __init__(self) -> None:
        self.tty = sys.stderr.isatty()
        self.shown = -1
        self.began = time.monotonic()

    def __call__(self, done: int, total: int, game: GameRecord) -> None:
        width = 30
        filled = width * done // total
        bar = f"[{'#' * filled}{'.' * (width - filled)}] {done}/{total} games, {time.monotonic() - self.began:.0f} s"
        if self.tty:
            print(f"\r{bar}  {' vs '.join(game.seats)}: {game.result}".ljust(100)[:100], end="", file=sys.stderr)
            if done == total:
                print(file=sys.stderr)
        elif (tenth := 10 * done // total) != self.shown:
            self.shown = tenth
            print(bar, file=sys.stderr)
        sys.stderr.flush()


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    bots = bot_names(args.bots)
    reported = False

    def report(games: list[GameRecord]) -> None:
        nonlocal reported
        reported = True
        report_results(args, bots, server, games)

    try:
        server = find_server(args.server)
        asyncio.run(
            run_tournament(
                server,
                bots,
                args.games,
                Limits(args.move_time, args.join_time),
                Progress(),
                web_port=args.web,
                report=report,
            )
        )
    except ArenaError as e:
        print(f"kestrel-arena: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        if reported:  # Ctrl-C only closed the page after a whole run
            return 0
        print("\nkestrel-arena: interrupted", file=sys.stderr)
        return 130
    return 0


def report_results(args: argparse.Namespace, bots: list[Bot], server: Path, games: list[GameRecord]) -> None:
    names = [b.name for b in bots]
    rows = standings(names, games)
    print(format_table(rows))
    print(f"Elo: {ELO_METHOD}.")
    problems = problem_summary(games)
    if problems:
        print("\nForfeits:")
        for line in problems:
            print(f"  {line}")

    args.out.mkdir(parents=True, exist_ok=True)
    header = {
        "bots": [{"name": b.name, "bot": b.spec} for b in bots],
        "games_per_pair": args.games,
        "move_time": args.move_time,
        "server": str(server),
    }
    json_path = args.out / "tournament.json"
    write_json(json_path, header, rows, games)
    print(f"\nWrote {json_path}")
    png_path = args.out / "crosstable.png"
    if write_png(png_path, rows, games):
        print(f"Wrote {png_path}")
    else:
        print(f"No {png_path.name}: matplotlib is not installed (pip install 'kestrel[arena]')")
    sys.stdout.flush()


if __name__ == "__main__":
    sys.exit(main())
