"""The cross-table picture, drawn by a process of its own (a Painter) that
imports matplotlib while the games play, at a lower priority than they: the
half CPU-second of that import is then off the path to the result, and
nothing of matplotlib is imported into the arena."""

from __future__ import annotations

import contextlib
import json
import math
import os
import subprocess
import sys
from collections import Counter
from dataclasses import asdict
from pathlib import Path
from typing import Any

from kestrel_arena.results import GameRecord, Standing, cross_table

MISSING = "no matplotlib"
DRAWN = "drawn"


class Painter:
    """`python -m kestrel_arena.picture`, once started: it imports matplotlib
    and waits on stdin for what to draw. Its stdin closed without it (the
    arena stopped), it ends."""

    def __init__(self) -> None:
        self._process: subprocess.Popen[str] | None = None

    def start(self) -> None:
        if self._process is None:
            self._process = subprocess.Popen(
                [sys.executable, "-m", "kestrel_arena.picture"],
                stdin=subprocess.PIPE,
                stdout=subprocess.PIPE,
                text=True,
                start_new_session=True,
            )

    def draw(self, path: Path, rows: list[Standing], games: list[GameRecord]) -> bool:
        """Draws the picture into `path`; False when matplotlib is not installed."""
        self.start()
        assert self._process is not None
        order = json.dumps({"path": str(path), "rows": [asdict(r) for r in rows], "games": [asdict(g) for g in games]})
        try:
            said, _ = self._process.communicate(order, timeout=120)
        except (OSError, subprocess.TimeoutExpired):
            said = ""
        self.close()
        if said.strip() not in (DRAWN, MISSING):
            raise RuntimeError(f"the cross-table picture failed: {said.strip() or 'no answer'}")
        return said.strip() == DRAWN

    def close(self) -> None:
        if self._process is not None:
            with contextlib.suppress(ProcessLookupError):
                self._process.kill()
            self._process.wait()
            for pipe in (self._process.stdin, self._process.stdout):
                if pipe is not None:
                    with contextlib.suppress(OSError):
                        pipe.close()
            self._process = None


def draw(plt: Any, path: Path, rows: list[Standing], games: list[GameRecord]) -> None:
    """The cross-table as a picture, with pyplot as `plt`."""
    names = [r.name for r in rows]
    table = cross_table(names, games)
    # Losses that were forfeits (a crash, a timeout, a bad answer), told apart from games lost on the board.
    forfeits: Counter[tuple[str, str]] = Counter()
    for g in games:
        if g.forfeit and g.loser is not None and g.winner is not None:
            forfeits[g.loser, g.winner] += 1
    n = len(names)
    share = [[math.nan] * n for _ in names]
    labels = [[""] * n for _ in names]
    for i, a in enumerate(names):
        for j, b in enumerate(names):
            if a == b:
                continue
            w, d, lo = table[a][b]
            played = w + d + lo
            share[i][j] = (w + 0.5 * d) / played if played else math.nan
            labels[i][j] = f"{w}-{d}-{lo}" + (f"\n{forfeits[a, b]} forfeited" if forfeits[a, b] else "")
    size = 1.6 + 1.1 * n
    fig, ax = plt.subplots(figsize=(size + 1.5, size))
    image = ax.imshow(share, cmap="RdYlGn", vmin=0, vmax=1)
    for i in range(n):
        for j in range(n):
            # Both ends of the colour scale are dark: white text there, black in the light middle.
            light = math.isnan(share[i][j]) or 0.2 <= share[i][j] <= 0.8
            colour = "black" if light else "white"
            ax.text(j, i, labels[i][j] or "—", ha="center", va="center", fontsize=9, color=colour)
    ax.set_xticks(range(n), names, rotation=30, ha="right")
    ax.set_yticks(range(n), [f"{r.name} ({r.points:g}, {r.elo:.0f})" for r in rows])
    ax.set_xlabel("opponent")
    ax.set_ylabel("bot (points, Elo)")
    ax.set_title(
        "kestrel-arena: wins-draws-losses of the row bot, and how many it forfeited\n(colour: its share of the points)"
    )
    fig.colorbar(image, ax=ax, fraction=0.046, pad=0.04)
    # Measured from what was drawn, so that long names never cut the axis label off.
    fig.savefig(path, dpi=110, bbox_inches="tight", pad_inches=0.2)
    plt.close(fig)


def main() -> None:
    with contextlib.suppress(OSError):
        os.nice(10)  # the games come first
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        plt = None
    text = sys.stdin.read()
    if not text:
        return  # the arena stopped before the end
    order = json.loads(text)
    if plt is None:
        print(MISSING)
        return
    rows = [Standing(**r) for r in order["rows"]]
    games = [GameRecord(**(g | {"seats": tuple(g["seats"])})) for g in order["games"]]
    draw(plt, Path(order["path"]), rows, games)
    print(DRAWN)


if __name__ == "__main__":
    main()
