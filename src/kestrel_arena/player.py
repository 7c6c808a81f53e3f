"""One bot for one game, in a process of its own:

    python -m kestrel_arena.player [--wait-for-go] FILE.py[:CLASS] URL

Loads the file under a name other than "__main__" (so a bot's own
`if __name__ == "__main__":` block does not run), picks its one
`TicTacToeClient` subclass (or CLASS), and awaits `connect(URL)`; with
--wait-for-go, only after printing a ready line and reading a line on stdin
("go", or "go URL" to connect to URL instead: a URL that names the seat is
kept off the command line, which other processes can read).
Exit status: 0 after the game, 3 when the bot cannot be loaded or built (the
last line on stderr says why), anything else when the game itself failed.
"""

from __future__ import annotations

import asyncio
import importlib.util
import sys
import traceback
from pathlib import Path

LOAD_FAILED = 3
LOAD_FAILED_PREFIX = "kestrel-arena: cannot load bot: "
WAIT_FLAG = "--wait-for-go"
READY = "kestrel-arena: bot ready"


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


async def play(spec: str, url: str, wait_for_go: bool) -> int:
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
    args = sys.argv[1:] if argv is None else argv
    wait_for_go = args[:1] == [WAIT_FLAG]
    if wait_for_go:
        args = args[1:]
    if len(args) != 2:
        print(f"usage: python -m kestrel_arena.player [{WAIT_FLAG}] FILE.py[:CLASS] URL", file=sys.stderr)
        return 2
    return asyncio.run(play(args[0], args[1], wait_for_go))


if __name__ == "__main__":
    sys.exit(main())
