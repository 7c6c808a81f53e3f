"""kestrel-arena's entry point. It takes the stop signals over before
anything else is imported: importing the arena takes a good part of a second
on a busy machine, and a Ctrl-C in that time would otherwise end it with an
import's traceback, or be lost altogether when the arena was started with
SIGINT ignored (as a script's background job is). A signal held here ends the
arena before its first game, as one that comes later does."""

from __future__ import annotations

import signal
import sys
from types import FrameType

STOP_SIGNALS = tuple(getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP") if hasattr(signal, name))


def main() -> int:
    held: list[int] = []

    def hold(sig: int, frame: FrameType | None) -> None:
        held.append(sig)

    for sig in STOP_SIGNALS:
        signal.signal(sig, hold)
    from kestrel_arena.cli import main as arena

    return arena(held=held)


if __name__ == "__main__":
    sys.exit(main())
