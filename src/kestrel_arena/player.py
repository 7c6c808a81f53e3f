"""One bot for one game, in a process of its own:

    python -m kestrel_arena.player [--wait-for-go] [--seed TEXT] FILE.py[:CLASS] URL

Seeds `random` with TEXT before any of the bot's code runs, loads the file
under a name other than "__main__" (so a bot's own
`if __name__ == "__main__":` block does not run), picks its one
`TicTacToeClient` subclass (or CLASS), and awaits `connect(URL)`; with
--wait-for-go, only after printing a ready line and reading a line on stdin
("go", or "go URL" to connect to URL instead: a URL that names the seat is
kept off the command line, which other processes can read).
Exit status: 0 after the game, 3 when the bot cannot be loaded or built (the
last line on stderr says why), anything else when the game itself failed.
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import importlib.util
import inspect
import operator
import random
import sys
import traceback
from collections.abc import Awaitable
from pathlib import Path

LOAD_FAILED = 3
LOAD_FAILED_PREFIX = "kestrel-arena: cannot load bot: "
WAIT_FLAG = "--wait-for-go"
READY = "kestrel-arena: bot ready"
SEED_FLAG = "--seed"
# Written to stderr before an answer that is no cell reaches the module, whose
# own report of it (an unwrap of None) does not say what the bot did.
ANSWER_PREFIX = "kestrel-arena: "
NOT_A_CELL_SUFFIX = ", not a cell"


class BotLoadError(Exception):
    pass


def split_spec(spec: str) -> tuple[Path, str | None]:
    """`FILE.py:CLASS` -> (FILE.py, CLASS); a path that exists as given wins,
    so a Windows drive letter is never taken for a class name."""
    path, sep, name = spec.rpartition(":")
    if sep and name.isidentifier() and not Path(spec).exists():
        return Path(path), name
    return Path(spec), None


def load_bot_class(spec: str) -> type:
    import kestrel  # here, not at import: the arena itself never needs the module

    path, class_name = split_spec(spec)
    if not path.is_file():
        raise BotLoadError(f"no such file: {path}")
    # Sibling modules of the bot import as they would when it runs as a script.
    sys.path.insert(0, str(path.resolve().parent))
    module_name = "kestrel_arena_bot"
    module_spec = importlib.util.spec_from_file_location(module_name, path)
    if module_spec is None or module_spec.loader is None:
        raise BotLoadError(f"not a Python file: {path}")
    module = importlib.util.module_from_spec(module_spec)
    sys.modules[module_name] = module  # dataclasses and pickling look the module up
    module_spec.loader.exec_module(module)

    if class_name is not None:
        found = getattr(module, class_name, None)
        if not (isinstance(found, type) and issubclass(found, kestrel.TicTacToeClient)):
            raise BotLoadError(f"{path} has no TicTacToeClient subclass named {class_name}")
        return found
    classes = [
        value
        for value in vars(module).values()
        if isinstance(value, type)
        and issubclass(value, kestrel.TicTacToeClient)
        and value is not kestrel.TicTacToeClient
    ]
    # A class the file defines beats one it merely imports.
    own = [c for c in classes if c.__module__ == module_name] or classes
    if len(own) != 1:
        names = ", ".join(sorted(c.__name__ for c in own)) or "none"
        raise BotLoadError(
            f"{path} needs exactly one TicTacToeClient subclass (found: {names}); name one as FILE:CLASS"
        )
    return own[0]


def not_a_cell(answer: object) -> str | None:
    """What to report of an answer the module cannot take as a cell, else None."""
    try:
        cell = operator.index(answer)  # type: ignore[arg-type]
    except TypeError:
        return f"answered {answer!r}{NOT_A_CELL_SUFFIX}"
    return None if 0 <= cell <= 8 else f"answered {cell}{NOT_A_CELL_SUFFIX}"


def watch_answers(bot: object) -> None:
    """Wraps the bot's handle_turn, on the instance, to report an answer that is no cell."""
    original = bot.handle_turn  # type: ignore[attr-defined]

    def report(answer: object) -> object:
        if (text := not_a_cell(answer)) is not None:
            print(ANSWER_PREFIX + text, file=sys.stderr, flush=True)
        return answer

    async def checked(pending: Awaitable[object]) -> object:
        return report(await pending)

    def handle_turn(state: object) -> object:
        answer = original(state)
        return checked(answer) if inspect.isawaitable(answer) else report(answer)

    # A class with __slots__ keeps its handle_turn, and its answers go unexplained.
    with contextlib.suppress(AttributeError):
        bot.handle_turn = handle_turn  # type: ignore[attr-defined]


async def play(spec: str, url: str, wait_for_go: bool, seed: str | None = None) -> int:
    if seed is not None:
        random.seed(seed)
    # Built inside the loop: a client may look for the running loop when made.
    try:
        bot = load_bot_class(spec)()
    except BotLoadError as e:
        print(LOAD_FAILED_PREFIX + str(e), file=sys.stderr)
        return LOAD_FAILED
    except Exception as e:  # whatever the bot's import does, the arena reports it
        traceback.print_exc()
        print(LOAD_FAILED_PREFIX + "".join(traceback.format_exception_only(e)).strip(), file=sys.stderr)
        return LOAD_FAILED
    watch_answers(bot)
    if wait_for_go:
        # The arena starts both players of a game at once, so their start-up
        # overlaps, and tells each when to join (seat order is join order).
        print(READY, flush=True)
        line = await asyncio.get_running_loop().run_in_executor(None, sys.stdin.readline)
        if line.startswith("go "):
            url = line[3:].strip()
    await bot.connect(url)
    return 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m kestrel_arena.player")
    parser.add_argument(WAIT_FLAG, action="store_true", dest="wait_for_go")
    parser.add_argument(SEED_FLAG, metavar="TEXT")
    parser.add_argument("bot", metavar="FILE.py[:CLASS]")
    parser.add_argument("url")
    args = parser.parse_args(argv)
    return asyncio.run(play(args.bot, args.url, args.wait_for_go, args.seed))


if __name__ == "__main__":
    sys.exit(main())
