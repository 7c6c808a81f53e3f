"""The event loop the suite runs on: asyncio's own, or uvloop when the
environment sets KESTREL_TEST_LOOP=uvloop. kestrel may only use the loop's
public interface, and a second implementation of that interface is what
shows whether it does."""

from __future__ import annotations

import asyncio
import os
import warnings
from pathlib import Path

SWITCH = "KESTREL_TEST_LOOP"
CHOICES = ("asyncio", "uvloop")
_TESTS_DIR = str(Path(__file__).resolve().parents[1])


def chosen() -> str:
    choice = os.environ.get(SWITCH) or "asyncio"
    if choice not in CHOICES:
        raise ValueError(f"{SWITCH}={choice!r}: expected one of {', '.join(CHOICES)}")
    return choice


def install() -> None:
    """Makes asyncio.run and asyncio.new_event_loop in this process create
    the chosen loop."""
    if chosen() != "uvloop":
        return
    import uvloop

    # Policies are the one switch that reaches every asyncio.run; Python
    # 3.14 deprecates them, and the suite turns warnings into errors.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        asyncio.set_event_loop_policy(uvloop.EventLoopPolicy())


def describe() -> str:
    if chosen() != "uvloop":
        return "asyncio"
    import uvloop

    return f"uvloop {uvloop.__version__}"


def loop_class() -> type[asyncio.AbstractEventLoop]:
    """The class of the loops install() makes, for a test that subclasses it."""
    loop = asyncio.new_event_loop()
    loop.close()
    return type(loop)


def child_preamble() -> str:
    """Source that puts a child interpreter (which inherits the environment)
    on the same loop, for the front of a `python -c` program."""
    if chosen() != "uvloop":
        return ""
    return (
        f"import sys; sys.path.insert(0, {_TESTS_DIR!r}); import support.loops; "
        "sys.path.pop(0); support.loops.install()\n"
    )
