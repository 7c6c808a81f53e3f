"""kestrel-arena: plays kestrel bots against each other and ranks them.

kestrel-arena examples/perfect.py examples/random_bot.py mybot.py --games 20
"""

from __future__ import annotations

import argparse
import asyncio
import json
import re
import signal
import sys
from collections.abc import Callable
from dataclasses import asdict
from pathlib import Path

from kestrel_arena.arguments import parse_args
from kestrel_arena.live import WebRun
from kestrel_arena.progress import Progress
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
from kestrel_arena.run_folder import GAMES_FILE, RESULT_FILE, Run, discard_if_unplayed, new_run, resume_run
from kestrel_arena.sprt import H0, H1
from kestrel_arena.tournament import ArenaError, find_server, run_tournament, schedule

STDERR_FOLDER = "stderr"
EXIT_H0 = 10  # --sprt: H0 accepted (0: H1 accepted)
EXIT_INCONCLUSIVE = 11  # --sprt: --max-games reached undecided
STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


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


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    # Until the run's loop takes them over (and again while the results are
    # written), a stop signal ends the arena as Ctrl-C does, without a traceback.
    for sig in STOP_SIGNALS:
        signal.signal(sig, interrupt)
    try:
        return arena(args)
    except KeyboardInterrupt as stopped:
        sig = stopped.args[0] if stopped.args else signal.SIGINT
        print(f"kestrel-arena: interrupted ({signal.Signals(sig).name}) before the first game", file=sys.stderr)
        return 128 + sig


def arena(args: argparse.Namespace) -> int:
    try:
        run = resume_run(args.resume, args.server) if args.resume is not None else new_run(args)
        server = find_server(run.server)
    except ArenaError as e:
        print(f"kestrel-arena: {e}", file=sys.stderr)
        return 1
    if run.played:
        print(f"kestrel-arena: {len(run.played)} of {run.total} games played already", file=sys.stderr)
    elif args.out is None:
        print(f"kestrel-arena: writing to {run.out}", file=sys.stderr)
    print(f"kestrel-arena: seed {run.seed}", file=sys.stderr)

    progress = Progress(run.sprt.status if run.sprt else None)
    web = None
    if args.web is not None:
        web = WebRun(
            args.web,
            [b.name for b in run.bots],
            run.total,
            run.games,
            lambda: report(run, server),
            run.sprt_note if run.sprt else None,
            run.past_deciding_pair,
        )
    with (run.out / GAMES_FILE).open("a") as log:

        def on_game(game: GameRecord) -> None:
            if run.finished():
                return  # a game that was playing when the test decided: not part of the test
            keep_stderr(run.out, game)
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
        report(run, server)
    except KeyboardInterrupt as stopped:
        caught = stopped.args[0] if stopped.args else signal.SIGINT
        print(f"kestrel-arena: interrupted ({signal.Signals(caught).name}) while writing the results", file=sys.stderr)
    return outcome(run) if caught is None else 128 + caught


def keep_stderr(out: Path, game: GameRecord) -> None:
    """Each bot's stderr in the game into a file of its own beside the results, named in the record."""
    folder = out / STDERR_FOLDER
    for name, text in list(game.stderr.items()):
        folder.mkdir(exist_ok=True)
        path = folder / f"{game.game}-{re.sub(r'[^A-Za-z0-9_.#-]', '_', name)}.txt"
        path.write_text(text)
        game.stderr[name] = path.relative_to(out).as_posix()


def outcome(run: Run) -> int:
    """The exit status of a run played to its end: with --sprt, its decision."""
    if run.sprt is None:
        return 0
    return {H1: 0, H0: EXIT_H0}.get(run.sprt.decision or "", EXIT_INCONCLUSIVE)


def interrupt(sig: int, frame: object) -> None:
    raise KeyboardInterrupt(sig)


def report(run: Run, server: Path) -> None:
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

    if run.sprt:
        print()
        for line in run.sprt_summary():
            print(line)
    header = run.header() | {"server": str(server), "complete": run.finished()}
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
