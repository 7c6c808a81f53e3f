"""kestrel-arena's command line: its options, their defaults and the checks
that refuse an unusable combination before anything starts."""

from __future__ import annotations

import argparse
import os
import re
from collections.abc import Callable
from pathlib import Path

from kestrel_arena.openings import BALANCED, MAX_OPENING, UNIFORM
from kestrel_testing.bots import split_spec

SPRT_OPENINGS = 2  # deterministic bots would otherwise replay one pair again and again


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


def probability(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0 < value < 0.5:
        raise argparse.ArgumentTypeError(f"must be above 0 and below 0.5: {text!r}")
    return value


def opening_length(text: str) -> int:
    if not text.isdigit() or int(text) > MAX_OPENING:
        raise argparse.ArgumentTypeError(f"not a number of moves from 0 to {MAX_OPENING}: {text!r}")
    return int(text)


def port_number(text: str) -> int:
    if not text.isdigit() or int(text) > 65535:
        raise argparse.ArgumentTypeError(f"not a port number (0 to 65535): {text!r}")
    return int(text)


def package_version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("kestrel")
    except PackageNotFoundError:
        return "(not installed)"


def processors() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1


def build_parser() -> argparse.ArgumentParser:
    """The arena's arguments, in groups: the run, the sequential test, where it runs and shows."""
    parser = argparse.ArgumentParser(
        prog="kestrel-arena",
        description="Plays every pair of bots against each other on a kestrel-server of its own, seats "
        "alternating, and prints the standings. A bot is a Python file with one TicTacToeClient subclass "
        "(FILE.py:CLASS names one). A bot's process plays game after game, a new instance of its class "
        "each game, so module-level state persists between its games as an engine's does (--fresh-process: a "
        "process per game). A bot that cannot be loaded, crashes, never joins or runs out of time loses the "
        "game, is named with the reason and plays its next game in a fresh process; one that cannot be loaded "
        "or never joins forfeits its remaining games unplayed. With --sprt both bots are loaded before the first "
        "game, and one that cannot be is refused. Each bot's stderr and what it prints go to files per game "
        "(DIR/stderr, DIR/stdout), named in games.jsonl. "
        "Each game is written to DIR/games.jsonl as it ends; an interrupted run (Ctrl-C, SIGTERM) prints "
        "the standings so far and --resume DIR plays the rest.",
        epilog="exit status: 0 the run was played (with --sprt: H1 accepted), 1 an error (the arena or its "
        "server, not a bot), 2 unusable arguments (with --sprt also a bot that cannot be loaded), 13 a round "
        "robin was played but a bot never played a game (it could not load or never joined), 128+N stopped by "
        "signal N (--resume plays the rest; with --web, a signal that arrives once the run is played and "
        "reported only closes the page, and the status is the run's own); with --sprt: 0 H1 accepted, 10 H0 "
        "accepted, 11 inconclusive at --max-games, 12 stopped because a bot's process died, never started a "
        "game or broke the arena's protocol (that game is not counted: --resume plays it again; --recover "
        "counts such games as losses and goes on).",
    )
    add_run_options(parser)
    add_test_options(parser)
    add_place_options(parser)
    return parser


def add_run_options(parser: argparse.ArgumentParser) -> None:
    """The bots, the games and their limits."""
    parser.add_argument("--version", action="version", version=f"%(prog)s {package_version()}")
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
        help="seeds each bot's random module per game and seat (and the openings), so that a run repeats "
        "exactly at any --concurrency, with or without --fresh-process, for bots that keep nothing between "
        "games (default: a new one, printed and recorded)",
    )
    parser.add_argument(
        "--concurrency",
        type=positive(int),
        default=processors(),
        metavar="N",
        help="games played at once (default: the number of processors, here %(default)s)",
    )
    parser.add_argument(
        "--openings",
        type=opening_length,
        metavar="K",
        help="each two games of a pair of bots (one with each moving first) start from the same K random legal "
        "moves (balanced ones unless --uniform-openings), played for the bots and not counted as theirs, so that "
        "deterministic bots do not replay one game "
        f"(0 to {MAX_OPENING}; default 0, with --sprt {SPRT_OPENINGS})",
    )
    parser.add_argument(
        "--uniform-openings",
        action="store_true",
        default=None,
        help="any legal opening, whatever its value with best play; by default only balanced ones, a draw with "
        "best play from both sides, so that neither bot starts from a lost position (24 of the 72 two-move "
        "openings); the choice is recorded in run.json",
    )


def add_test_options(parser: argparse.ArgumentParser) -> None:
    """The sequential test."""
    test = parser.add_argument_group(
        "sequential test",
        "kestrel-arena NEW.py OLD.py --sprt ELO0 ELO1: plays game pairs (each bot moving first once) until the "
        "log-likelihood ratio of the pairs' pentanomial crosses a bound: H1 (NEW is stronger by at least ELO1, "
        "logistic Elo) or H0 (not stronger than ELO0), or --max-games is reached",
    )
    test.add_argument("--sprt", nargs=2, type=float, metavar=("ELO0", "ELO1"), help="run the test, ELO0 < ELO1")
    test.add_argument("--alpha", type=probability, default=0.05, help="false H1 rate (default %(default)s)")
    test.add_argument("--beta", type=probability, default=0.05, help="false H0 rate (default %(default)s)")
    test.add_argument(
        "--max-games", type=positive(int), metavar="N", help="even; stop undecided after N games (default 10000)"
    )
    test.add_argument(
        "--recover",
        action="store_true",
        help="a game lost to a bot's process dying or never starting it counts as that bot's loss and the test "
        "goes on (default: the test stops there, exit status 12, naming the bot and its stderr file; a "
        "handle_turn that raises or runs out of time loses its game either way); also with --resume",
    )


def add_place_options(parser: argparse.ArgumentParser) -> None:
    """Where the run goes and how it is shown: its processes, server, page and folder."""
    parser.add_argument(
        "--fresh-process",
        action="store_true",
        help="start each bot in a new process for every game, for bots that must start clean (slower: "
        "each game then pays Python's start-up)",
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
        help="where games.jsonl, tournament.json and crosstable.png go; a folder that holds a run is refused "
        "(default: a new numbered folder in ./arena-results, printed)",
    )
    parser.add_argument(
        "--resume",
        type=Path,
        metavar="DIR",
        help="continues the interrupted run in DIR with its bots and settings (a bot file changed since is "
        "refused); takes only --concurrency, --server, --web, --fresh-process and --recover besides",
    )


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    parser = build_parser()
    args = parser.parse_args(argv)
    # A path would turn "ws://host" into "ws:/host" and report that missing.
    if args.server and re.match(r"^[A-Za-z][A-Za-z0-9+.-]*://", args.server):
        parser.error(
            f"--server takes the path of a kestrel-server program, not a URL ({args.server}): the arena "
            "runs a server of its own to know each game's seats and result; --web PORT shows its games"
        )
    if args.resume is not None:
        settings = ("games", "move_time", "join_time", "seed", "out", "sprt", "max_games", "openings")
        settings += ("uniform_openings",)
        given = [flag for flag in settings if getattr(args, flag) is not None]
        if args.bots or given:
            parser.error(
                "--resume takes the bots and settings of the run it continues; "
                "give only --concurrency, --server, --web, --fresh-process or --recover"
            )
        return args
    settle_games(parser, args)
    check_run(parser, args)
    return args


def settle_games(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    """How many games, and the defaults that depend on --sprt."""
    if args.sprt is not None:
        if args.games is not None:
            parser.error("--sprt plays pairs until it decides; give --max-games, not --games")
        if len(args.bots) != 2:
            parser.error("--sprt takes two bots: the new one, then the one it is tested against")
        if not args.sprt[0] < args.sprt[1]:
            parser.error("--sprt ELO0 ELO1 needs ELO0 below ELO1")
        args.games = 10000 if args.max_games is None else args.max_games
    elif args.max_games is not None:
        parser.error("--max-games goes with --sprt; a round robin takes --games")
    elif args.recover:
        parser.error("--recover goes with --sprt; a round robin always counts such games as losses and goes on")
    args.games = 10 if args.games is None else args.games
    if args.openings is None:
        args.openings = SPRT_OPENINGS if args.sprt else 0
    args.opening_choice = UNIFORM if args.uniform_openings else BALANCED
    args.move_time = 5.0 if args.move_time is None else args.move_time
    args.join_time = 15.0 if args.join_time is None else args.join_time


def check_run(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    """What makes a run unfair or unplayable."""
    if args.games % 2:
        parser.error(
            f"{'--max-games' if args.sprt else '--games'} must be even, so that each bot moves first in half "
            "its games against each opponent"
        )
    if not 0.001 <= args.move_time <= 86400:
        parser.error("--move-time must be from 0.001 to 86400 seconds")
    if len(args.bots) < 2:
        parser.error("needs at least two bots")
    for spec in args.bots:
        if not split_spec(spec)[0].is_file():
            parser.error(f"no such bot file: {split_spec(spec)[0]}")
