"""kestrel-arena: plays kestrel bots against each other and ranks them.

kestrel-arena examples/perfect.py examples/random_bot.py mybot.py --games 20
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import re
import signal
import subprocess
import sys
import time
from collections.abc import Callable
from dataclasses import asdict
from pathlib import Path

from kestrel_arena.arguments import parse_args
from kestrel_arena.live import WebRun
from kestrel_arena.picture import Painter
from kestrel_arena.player import CHECK_FLAG, LOAD_FAILED_PREFIX, PARENT_FLAG
from kestrel_arena.progress import Progress
from kestrel_arena.results import (
    ELO_METHOD,
    INTERVAL_METHOD,
    GameRecord,
    standings,
    tally,
    write_json,
)
from kestrel_arena.run_folder import GAMES_FILE, RESULT_FILE, Run, discard_if_unplayed, new_run, resume_run
from kestrel_arena.sprt import H0, H1
from kestrel_arena.tables import format_table, problem_summary
from kestrel_arena.tournament import ArenaError, find_server, run_tournament, schedule

STDERR_FOLDER = "stderr"
STDOUT_FOLDER = "stdout"
EXIT_USAGE = 2  # what argparse returns; also a bot that cannot be loaded for --sprt
EXIT_H0 = 10  # --sprt: H0 accepted (0: H1 accepted)
EXIT_INCONCLUSIVE = 11  # --sprt: --max-games reached undecided
EXIT_CRASHED = 12  # --sprt without --recover: a bot's process died or never started a game
EXIT_NEVER_PLAYED = 13  # a round robin played to its end, but a bot never played a game
STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


class BotCrashed(Exception):
    """--sprt: a game was lost to a bot's process, not to its play; the run stops there."""

    def __init__(self, game: GameRecord, name: str, why: str, stderr: str | None) -> None:
        super().__init__(name)
        self.game, self.name, self.why, self.stderr = game, name, why, stderr


async def play(
    run: Run,
    server: Path,
    args: argparse.Namespace,
    on_game: Callable[[GameRecord], None],
    web: WebRun | None = None,
) -> int | None:
    """Plays the run's remaining games; the signal that stopped it, if one did."""
    plan = schedule(run.bots, run.games_per_pair, run.seed, run.openings, run.opening_choice)
    plan = [g for g in plan if g.number not in run.played]
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
    # The loop handles them now: one that came while it was being built is delivered here.
    signal.pthread_sigmask(signal.SIG_UNBLOCK, STOP_SIGNALS)
    try:
        await run_tournament(
            server, plan, run.limits, on_game, args.concurrency, run.seed, web, args.fresh_process, run.finished
        )
    except asyncio.CancelledError:
        if not caught:
            raise
    finally:
        for sig in STOP_SIGNALS:
            loop.remove_signal_handler(sig)
    return caught[0] if caught else None


def main(argv: list[str] | None = None, held: list[int] | None = None) -> int:
    """`held`: the stop signals that came before (kestrel_arena.launch holds them from the start)."""
    args = parse_args(argv)
    # Until the run's loop takes them over (and again while the results are
    # written), a stop signal ends the arena as Ctrl-C does, without a traceback.
    for sig in STOP_SIGNALS:
        signal.signal(sig, interrupt)
    try:
        if held:
            raise KeyboardInterrupt(held[0])
        return arena(args)
    except KeyboardInterrupt as stopped:
        sig = stopped.args[0] if stopped.args else signal.SIGINT
        print(f"kestrel-arena: interrupted ({signal.Signals(sig).name}) before the first game", file=sys.stderr)
        return 128 + sig


def unloadable(specs: list[str], seconds: float) -> str | None:
    """Why one of the bots cannot be loaded (each in a process of its own, as it
    will play), else None: a test that plays a bot that never moves would decide
    on forfeits alone."""
    env = {**os.environ, "PYTHONUNBUFFERED": "1"}
    command = [sys.executable, "-m", "kestrel_arena.player", CHECK_FLAG, PARENT_FLAG, str(os.getpid())]
    checks = [
        subprocess.Popen(
            [*command, spec],
            stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE,
            text=True,
            env=env,
            start_new_session=True,  # a Ctrl-C reaches the arena alone, which stops them
        )
        for spec in specs
    ]
    end = time.monotonic() + seconds
    try:
        for spec, check in zip(specs, checks, strict=True):
            try:
                _, err = check.communicate(timeout=max(end - time.monotonic(), 0.01))
            except subprocess.TimeoutExpired:
                return f"{spec}: did not load within {seconds:g} s"
            if check.returncode != 0:
                last = next((ln.strip() for ln in reversed(err.splitlines()) if ln.strip()), "")
                why = last.removeprefix(LOAD_FAILED_PREFIX) or f"its process ended with status {check.returncode}"
                return f"cannot load {spec}: {why}"
        return None
    finally:
        for check in checks:
            if check.poll() is None:
                check.kill()
            check.wait()


def arena(args: argparse.Namespace) -> int:
    painter = Painter()
    try:
        return play_arena(args, painter)
    finally:
        painter.close()


def play_arena(args: argparse.Namespace, painter: Painter) -> int:
    if args.sprt is not None and (why := unloadable(args.bots, args.join_time)):
        print(f"kestrel-arena: error: {why}", file=sys.stderr)
        return EXIT_USAGE
    try:
        run = resume_run(args.resume, args.server) if args.resume is not None else new_run(args)
        server = find_server(run.server)
    except ArenaError as e:
        print(f"kestrel-arena: {e}", file=sys.stderr)
        return 1
    resumed_test = args.resume is not None and run.sprt is not None
    if resumed_test and (why := unloadable([b.spec for b in run.bots], run.limits.join_time)):
        print(f"kestrel-arena: error: {why}", file=sys.stderr)
        return EXIT_USAGE
    if run.played:
        print(f"kestrel-arena: {len(run.played)} of {run.total} games played already", file=sys.stderr)
    elif args.out is None:
        print(f"kestrel-arena: writing to {run.out}", file=sys.stderr)
    print(f"kestrel-arena: seed {run.seed}", file=sys.stderr)

    painter.start()  # its import overlaps the games
    progress = Progress(run.sprt.status if run.sprt else None)
    web = None
    if args.web is not None:
        web = WebRun(
            args.web,
            [b.name for b in run.bots],
            run.total,
            run.games,
            lambda: report(run, server, painter),
            run.sprt_note if run.sprt else None,
            run.past_deciding_pair,
        )
    crashed: BotCrashed | None = None
    with (run.out / GAMES_FILE).open("a") as log:

        def on_game(game: GameRecord) -> None:
            if run.finished():
                return  # a game that was playing when the test decided: not part of the test
            keep_output(run.out, game)
            if run.sprt and game.crashed and not args.recover:
                name = game.crashed[0]
                raise BotCrashed(game, name, game.problems.get(name, ""), game.stderr.get(name))
            if run.record(game):
                # The deciding game: the games past its pair are marked in the file, which takes this one too.
                run.write_games()
            else:
                log.write(json.dumps(asdict(game)) + "\n")
                log.flush()
            if web:
                web.game_over(game)
            progress(len(run.played), run.total, game)
            if run.finished():
                progress.end()  # what follows (the standings) starts on a line of its own

        try:
            # Held back while asyncio builds its loop (a KeyboardInterrupt there leaves a
            # half-made loop that complains at exit); `play` lets them through.
            signal.pthread_sigmask(signal.SIG_BLOCK, STOP_SIGNALS)
            caught = asyncio.run(play(run, server, args, on_game, web))
        except BotCrashed as crash:
            progress.end()
            caught = None
            where = f"; its stderr: {run.out / crash.stderr}" if crash.stderr else "; it wrote nothing to stderr"
            print(
                f"kestrel-arena: stopped: {crash.name} lost game {crash.game.game} to its process, not to its play "
                f"({crash.why}){where}\nkestrel-arena: the game is not counted; kestrel-arena --resume {run.out} "
                "plays it again (add --recover to count such games as losses and go on)",
                file=sys.stderr,
            )
            crashed = crash
        except ArenaError as e:
            progress.end()
            if not run.played and args.resume is None:
                discard_if_unplayed(run, True)
                print(f"kestrel-arena: {e}", file=sys.stderr)
            else:
                print(f"kestrel-arena: {e}\nkestrel-arena --resume {run.out} plays the rest", file=sys.stderr)
            return 1
        except KeyboardInterrupt:  # before the loop could take the signal over
            caught = signal.SIGINT
        finally:
            signal.pthread_sigmask(signal.SIG_UNBLOCK, STOP_SIGNALS)
    if web and web.reported:
        return outcome(run)  # the whole run was played and reported; a signal only closed its page
    if crashed is not None:
        print(f"Standings after {len(run.played)} of {run.total} games, before {crashed.name}'s crash:")
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
    # running by then. (The loop put the default handlers back.)
    for sig in STOP_SIGNALS:
        signal.signal(sig, interrupt)
    try:
        report(run, server, painter)
    except KeyboardInterrupt as stopped:
        caught = stopped.args[0] if stopped.args else signal.SIGINT
        print(f"kestrel-arena: interrupted ({signal.Signals(caught).name}) while writing the results", file=sys.stderr)
    if caught is not None:
        return 128 + caught
    return EXIT_CRASHED if crashed is not None else outcome(run)


def keep_output(out: Path, game: GameRecord) -> None:
    """Each bot's stderr and stdout in the game into files of their own beside the results, named in the record."""
    for folder_name, kept in ((STDERR_FOLDER, game.stderr), (STDOUT_FOLDER, game.stdout)):
        folder = out / folder_name
        for name, text in list(kept.items()):
            folder.mkdir(exist_ok=True)
            path = folder / f"{game.game}-{re.sub(r'[^A-Za-z0-9_.#-]', '_', name)}.txt"
            path.write_text(text)
            kept[name] = path.relative_to(out).as_posix()


def never_played(run: Run) -> list[str]:
    """The bots that lost every game of theirs without one starting on the server."""
    rows = tally([b.name for b in run.bots], run.games()).values()
    return [r.name for r in rows if r.games and not r.played and r.crashes == r.games]


def outcome(run: Run) -> int:
    """The exit status of a run played to its end: with --sprt, its decision."""
    if run.sprt is None:
        return EXIT_NEVER_PLAYED if run.finished() and never_played(run) else 0
    return {H1: 0, H0: EXIT_H0}.get(run.sprt.decision or "", EXIT_INCONCLUSIVE)


def interrupt(sig: int, frame: object) -> None:
    raise KeyboardInterrupt(sig)


def report(run: Run, server: Path, painter: Painter) -> None:
    """The standings on stdout, and the files, from the games played so far."""
    games = run.games()
    rows = standings([b.name for b in run.bots], games)
    print(format_table(rows))
    print(f"Elo: {ELO_METHOD}.")
    print(f"{INTERVAL_METHOD}.")
    problems = problem_summary(games)
    if problems:
        print("\nForfeits:")
        for line in problems:
            print(f"  {line}")
    for name in never_played(run):
        why = next((g.problems[name] for g in games if g.problems.get(name)), "")
        print(f"\n{name} never played a game ({why}): its games were forfeited unplayed")

    if run.sprt:
        print()
        for line in run.sprt_summary():
            print(line)
    header = run.header() | {"server": str(server), "complete": run.finished()}
    json_path = run.out / RESULT_FILE
    write_json(json_path, header, rows, games)
    print(f"\nWrote {json_path}")
    png_path = run.out / "crosstable.png"
    if painter.draw(png_path, rows, games):
        print(f"Wrote {png_path}")
    else:
        print(f"No {png_path.name}: matplotlib is not installed (pip install 'kestrel[arena]')")


if __name__ == "__main__":
    sys.exit(main())
