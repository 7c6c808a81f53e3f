"""The clients compared, one module each, found here by listing the package:
a new client is a new module. Each module names itself (`NAME`), says where
it comes in the default order (`RANK`; the first is the reference the others
are divided by), which distribution's version the results record (`PACKAGE`,
or None), its chart colour (`COLOUR`), and holds:

- `Client`, an async context manager run in a child process, whose `game(url)`
  plays one whole game first-free and whose `idle(url)` joins and then waits
  for ever;
- `STARTUP`, a program for a bare interpreter (so nothing the benchmark imports
  is preloaded) that defines `async def main()` opening one connection to
  `URL` and printing "Connected to URL" once it is open.
"""

from __future__ import annotations

import importlib
import pkgutil
from types import ModuleType
from typing import Any


def _modules() -> dict[str, ModuleType]:
    found = [importlib.import_module(f"{__name__}.{m.name}") for m in pkgutil.iter_modules(__path__)]
    return {m.NAME: m for m in sorted(found, key=lambda m: m.RANK)}


MODULES = _modules()
CLIENTS = tuple(MODULES)
# The default clients: all but those only measured when asked for.
DEFAULT_CLIENTS = tuple(name for name, m in MODULES.items() if not getattr(m, "OPTIONAL", False))
COLOURS = {name: m.COLOUR for name, m in MODULES.items()}
PACKAGES = [m.PACKAGE for m in MODULES.values() if m.PACKAGE]


def client_class(name: str) -> type[Any]:
    return MODULES[name].Client


def startup_program(client: str, url: str) -> str:
    """The client's start-up program, timed from before its imports: it prints
    its monotonic clock on stderr at the end; the parent notes when "Connected
    to" reaches it."""
    return (
        "import sys, time\nt0 = time.monotonic()\n"
        f"URL = {url!r}\n{MODULES[client].STARTUP}\nasyncio.run(main())\n"
        "sys.stderr.write(f'\\nt0 {t0!r}\\n')\n"
    )
