"""A bot given as a class or as a file (`bot.py`, `bot.py:ClassName`),
turned into the class to make one player from per game."""

from __future__ import annotations

import importlib.util
import os
import sys
from pathlib import Path
from typing import TYPE_CHECKING, TypeAlias

from kestrel_testing.errors import BotLoadError

if TYPE_CHECKING:
    import kestrel

    BotClass: TypeAlias = type[kestrel.TicTacToeClient]
    # A class, or a file holding one: "bot.py" or "bot.py:ClassName".
    Bot: TypeAlias = BotClass | str | os.PathLike[str]

__all__ = ["load_bot", "split_spec"]


def split_spec(spec: str) -> tuple[Path, str | None]:
    """`FILE.py:CLASS` -> (FILE.py, CLASS); a path that exists as given wins,
    so a Windows drive letter is never taken for a class name."""
    path, sep, name = spec.rpartition(":")
    if sep and name.isidentifier() and not Path(spec).exists():
        return Path(path), name
    return Path(spec), None


def load_bot(bot: Bot) -> BotClass:
    """The bot class itself, or the one `TicTacToeClient` subclass a file
    defines (or the one named after a colon). Raises BotLoadError, with the
    reason, for anything else; an exception the file raises on import is
    chained to it."""
    import kestrel

    if isinstance(bot, type):
        if issubclass(bot, kestrel.TicTacToeClient) and bot is not kestrel.TicTacToeClient:
            return bot
        raise BotLoadError(f"{bot.__qualname__} is not a subclass of kestrel.TicTacToeClient")
    if not isinstance(bot, (str, os.PathLike)):
        raise BotLoadError(f"a bot is a TicTacToeClient subclass or a file, not {bot!r}")
    path, class_name = split_spec(os.fspath(bot))
    if not path.is_file():
        raise BotLoadError(f"no such bot file: {path}")
    # Named after the file, apart from any module of that name already loaded.
    module_name = f"kestrel_testing_bot_{path.stem}_{abs(hash(path.resolve()))}"
    spec = importlib.util.spec_from_file_location(module_name, path)
    if spec is None or spec.loader is None:
        raise BotLoadError(f"not a Python file: {path}")
    module = importlib.util.module_from_spec(spec)
    # Sibling modules import as they would when the bot runs as a script.
    folder = str(path.resolve().parent)
    if folder not in sys.path:
        sys.path.insert(0, folder)
    sys.modules[module_name] = module  # dataclasses and pickling look the module up
    try:
        spec.loader.exec_module(module)
    except Exception as e:
        del sys.modules[module_name]
        raise BotLoadError(f"{path} failed to load: {type(e).__name__}: {e}") from e
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
