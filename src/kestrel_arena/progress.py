"""The run's progress on stderr."""

from __future__ import annotations

import sys
import time
from collections.abc import Callable

from kestrel_arena.results import GameRecord

SPRT_LINE_EVERY = 100


class Progress:
    """A bar redrawn in place on a terminal; a line every tenth of the way
    otherwise. With a test's `status` (its LLR), that follows the count, and
    a line goes out every SPRT_LINE_EVERY games, since the test ends it anywhere."""

    def __init__(self, status: Callable[[], str] | None = None) -> None:
        self.status = status
        self.tty = sys.stderr.isatty()
        self.shown = -1
        self.began = time.monotonic()
        self.drawn = False

    def end(self) -> None:
        """Ends a bar cut short, so that what follows starts on a line of its own."""
        if self.tty and self.drawn:
            print(file=sys.stderr)
            self.drawn = False

    def __call__(self, done: int, total: int, game: GameRecord) -> None:
        width = 30
        filled = width * done // total
        bar = f"[{'#' * filled}{'.' * (width - filled)}] {done}/{total} games, {time.monotonic() - self.began:.0f} s"
        if self.status:
            bar = f"{done} games, {self.status()}, {time.monotonic() - self.began:.0f} s"
        if self.tty:
            print(f"\r{bar}  {' vs '.join(game.seats)}: {game.result}".ljust(100)[:100], end="", file=sys.stderr)
            self.drawn = True
            if done == total:
                self.end()
        elif self.status:
            if done % SPRT_LINE_EVERY == 0:
                print(bar, file=sys.stderr)
        elif (tenth := 10 * done // total) != self.shown:
            self.shown = tenth
            print(bar, file=sys.stderr)
        sys.stderr.flush()
