"""One bot in a process of its own, playing the games the arena hands it:

    python -m kestrel_arena.player --channel FD [--parent PID] FILE.py[:CLASS]

Loads the file once under a name other than "__main__" (so a bot's own
`if __name__ == "__main__":` block does not run), picks its one
`TicTacToeClient` subclass (or CLASS) and writes a ready line to file
descriptor FD, a pipe of the arena's own: the module writes its lines to
stdout, which the arena keeps apart. Then, for each line "play SEED URL
OPENING" on stdin (OPENING: the game's first cells, comma-separated, which
the bots play in place of handle_turn, or "-"), seeds `random` with SEED, builds a new instance and awaits
`connect(URL)`, and writes "over" to FD once the game has ended. The URL
(which may name the seat) travels on stdin, not the command line, which
other processes can read. Module-level state persists from game to game, as
an engine's does; the arena starts a process per game when told to.
When handle_turn raises (SystemExit too), its traceback goes to stderr and
"raised NAME" to FD before the exception goes on to the module: a game lost
by the bot's own play is thus told from a process that died. With --check,
it loads the bot, builds one instance and exits, to refuse an unloadable bot
before a run begins. It also ends by itself once the arena has gone (its
parent process changes), so that no bot outlives a killed arena.
Exit status: 0 at end of input, 3 when the bot cannot be loaded or built (the
last line on stderr says why), 4 on a line that is no command, anything else
when a game failed (its traceback on stderr).
"""

from __future__ import annotations

import argparse
import asyncio
import inspect
import operator
import os
import random
import sys
import threading
import time
import traceback
from collections.abc import Awaitable, Callable, Sequence
from typing import IO

from kestrel_testing.bots import load_bot
from kestrel_testing.errors import BotLoadError

LOAD_FAILED = 3
LOAD_FAILED_PREFIX = "kestrel-arena: cannot load bot: "
PROTOCOL_BROKEN = 4
CHANNEL_FLAG = "--channel"
READY = "ready"
PLAY = "play"
OVER = "over"
THINK = "think"  # "think SECONDS" after each move
RAISED = "raised"  # "raised NAME" when handle_turn raised: the bot's own play, not a crash
CHECK_FLAG = "--check"
PARENT_FLAG = "--parent"
ORPHAN_POLL = 0.5  # seconds between looks at whether the arena is still there
NO_OPENING = "-"  # the opening field of a play line for a game without one
# Written to stderr before an answer that is no cell reaches the module, whose
# own report of it (an unwrap of None) does not say what the bot did.
ANSWER_PREFIX = "kestrel-arena: "
NOT_A_CELL_SUFFIX = ", not a cell"


def not_a_cell(answer: object) -> str | None:
    """What to report of an answer the module cannot take as a cell, else None."""
    try:
        cell = operator.index(answer)  # type: ignore[arg-type]
    except TypeError:
        return f"answered {answer!r}{NOT_A_CELL_SUFFIX}"
    return None if 0 <= cell <= 8 else f"answered {cell}{NOT_A_CELL_SUFFIX}"


def load_reason(error: BaseException) -> str:
    """One line on why a bot's file cannot be loaded; a syntax error names its file and line."""
    if isinstance(error, SyntaxError):
        return f"{type(error).__name__}: {error.msg} ({error.filename}, line {error.lineno})"
    return "".join(traceback.format_exception_only(error)).strip()


def watch_answers(bot: object, say: Callable[[str], None], opening: Sequence[int] = ()) -> bool:
    """Wraps the bot's handle_turn, on the instance, to play the game's
    `opening` moves in its place, to report an answer that is no cell, to
    time each of its own moves (to `say`) and to report an exception it
    raises (its traceback to stderr, the bot's own lines in it; its name to
    `say`) before letting it go on unchanged. False when it cannot be wrapped."""
    original = bot.handle_turn  # type: ignore[attr-defined]
    asynchronous = inspect.iscoroutinefunction(original)

    async def given(cell: int) -> int:
        return cell

    def raised(error: BaseException) -> None:
        if isinstance(error, asyncio.CancelledError):
            return  # the game was called off from outside: nothing the bot did
        traceback.print_exception(error, file=sys.stderr)
        sys.stderr.flush()
        say(f"{RAISED} {type(error).__name__}")

    def report(answer: object, began: float) -> object:
        say(f"{THINK} {time.perf_counter() - began:.6f}")
        if (text := not_a_cell(answer)) is not None:
            print(ANSWER_PREFIX + text, file=sys.stderr, flush=True)
        return answer

    async def checked(pending: Awaitable[object], began: float) -> object:
        try:
            answer = await pending
        except BaseException as error:
            raised(error)
            raise
        return report(answer, began)

    def handle_turn(state: object) -> object:
        played = sum(mark is not None for mark in state.board)  # type: ignore[attr-defined]
        if played < len(opening):
            # Answered as the bot answers: a coroutine from an async handle_turn.
            return given(opening[played]) if asynchronous else opening[played]
        began = time.perf_counter()
        try:
            answer = original(state)
        except BaseException as error:
            raised(error)
            raise
        return checked(answer, began) if inspect.isawaitable(answer) else report(answer, began)

    # A class with __slots__ keeps its handle_turn, and its answers go unexplained.
    try:
        bot.handle_turn = handle_turn  # type: ignore[attr-defined]
    except AttributeError:
        return False
    return True


async def serve(spec: str, channel: IO[str] | None, check: bool = False) -> int:
    """Loads the bot once, says so on `channel`, then plays a game for each
    "play SEED URL OPENING" line on stdin until end of input, saying "over" on
    `channel` after each. A failed game ends the process (the arena replaces
    it): the exception propagates with its traceback on stderr. `check`:
    loads it and builds one instance, then ends."""
    try:
        bot_class = load_bot(spec)
    except BotLoadError as e:
        if e.__cause__ is None:
            print(LOAD_FAILED_PREFIX + str(e), file=sys.stderr)
        else:  # the bot's own import failed: its traceback, then its words
            traceback.print_exception(e.__cause__)
            print(LOAD_FAILED_PREFIX + load_reason(e.__cause__), file=sys.stderr)
        return LOAD_FAILED
    except Exception as e:  # whatever the bot's import does, the arena reports it
        traceback.print_exc()
        print(LOAD_FAILED_PREFIX + load_reason(e), file=sys.stderr)
        return LOAD_FAILED
    if check:
        try:
            bot_class()
        except Exception as e:
            traceback.print_exc()
            print(LOAD_FAILED_PREFIX + load_reason(e), file=sys.stderr)
            return LOAD_FAILED
        return 0
    assert channel is not None

    def say(line: str) -> None:
        channel.write(line + "\n")
        channel.flush()

    say(READY)
    loop = asyncio.get_running_loop()
    while line := await loop.run_in_executor(None, sys.stdin.readline):
        words = line.split()
        try:
            command, seed, url, cells = words
            opening = [int(c) for c in cells.split(",")] if cells != NO_OPENING else []
        except ValueError:
            command = ""
        if command != PLAY:
            print(f"kestrel-arena: not a command: {line.strip()!r}", file=sys.stderr)
            return PROTOCOL_BROKEN
        random.seed(seed)
        # A new instance per game, built inside the loop: a client may look for the running loop when made.
        try:
            bot = bot_class()
        except Exception as e:
            traceback.print_exc()
            print(LOAD_FAILED_PREFIX + load_reason(e), file=sys.stderr)
            return LOAD_FAILED
        if not watch_answers(bot, say, opening) and opening:
            print(LOAD_FAILED_PREFIX + "its handle_turn cannot be wrapped to play the opening", file=sys.stderr)
            return LOAD_FAILED
        await bot.connect(url)
        del bot
        say(OVER)
    return 0


def end_with_parent(parent: int | None) -> None:
    """Ends the process once its parent (the arena, `parent` when given: it
    may have gone before this line runs) has gone, however it went (SIGKILL
    included): a bot stuck in its import or its turn would otherwise play on
    for ever. A thread, so that a bot that never yields is ended too."""
    if os.name != "posix":
        return
    if parent is None:
        parent = os.getppid()

    def watch() -> None:
        while os.getppid() == parent:
            time.sleep(ORPHAN_POLL)
        os._exit(1)

    threading.Thread(target=watch, name="kestrel-arena-parent", daemon=True).start()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m kestrel_arena.player")
    parser.add_argument(CHANNEL_FLAG, type=int, metavar="FD")
    parser.add_argument(CHECK_FLAG, action="store_true", help="load the bot, build one instance and end")
    parser.add_argument(PARENT_FLAG, type=int, metavar="PID", help="end once this process is no longer the parent")
    parser.add_argument("bot", metavar="FILE.py[:CLASS]")
    args = parser.parse_args(argv)
    if (args.channel is None) != args.check:
        parser.error(f"give {CHANNEL_FLAG} FD, or {CHECK_FLAG}")
    end_with_parent(args.parent)
    if args.check:
        return asyncio.run(serve(args.bot, None, check=True))
    with open(args.channel, "w", encoding="utf-8", closefd=True) as channel:
        return asyncio.run(serve(args.bot, channel))


if __name__ == "__main__":
    sys.exit(main())
