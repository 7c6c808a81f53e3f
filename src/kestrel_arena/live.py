"""The arena's side of the spectator page (--web): its kestrel-server runs
with the page and a control channel on its stdin, a pipe only the arena
holds. Over it the arena names each seat and sends the standings and every
finished game as the run goes.

A bot is named by a token: the arena mints one per seat, tells the server
`seat TOKEN NAME`, and gives the bot the URL ws://HOST:PORT/seat/TOKEN on
its stdin (not its command line, which other processes can read). The
server labels the one connection that presents the token, then forgets it;
a player without a valid token plays as before, shown by its address.
"""

from __future__ import annotations

import asyncio
import json
import sys
import threading
import time
from collections.abc import Callable, Sequence
from dataclasses import asdict, dataclass
from typing import IO

from kestrel_arena.results import TOLD_APART, GameRecord, standings
from kestrel_arena.tables import mistakes_text, percent

COLUMNS = [
    *("#", "bot", "games", "wins", "draws", "losses", "crashes", "points", "Elo", "95 % interval", "mistakes"),
    "beats the next",
]
# The Elo fit takes about a tenth of a second for seven bots, as long as a
# quick game: the page's standings follow at most this often, and once more
# when the run ends.
STANDINGS_EVERY = 1.0


async def until_end_of_input() -> None:
    """Returns at end of stdin or when a line is entered. A daemon thread
    reads: a thread of the loop's executor stuck in a read would keep the
    loop from closing after Ctrl-C."""
    loop = asyncio.get_running_loop()
    done = loop.create_future()

    def read() -> None:
        sys.stdin.readline()
        loop.call_soon_threadsafe(lambda: done.done() or done.set_result(None))

    threading.Thread(target=read, daemon=True).start()
    await done


class LivePage:
    """Writes control lines to the server's stdin; a server that has gone
    (a closed pipe) is noticed by the tournament, not here."""

    def __init__(
        self,
        pipe: IO[str],
        names: Sequence[str],
        total: int,
        note: Callable[[], str] | None = None,
        uncounted: Callable[[], list[int]] | None = None,
    ) -> None:
        self._pipe = pipe
        self._note = note
        self._uncounted = uncounted
        self._names = list(names)
        self._total = total
        self._sent = -STANDINGS_EVERY

    def _send(self, command: str, text: str) -> None:
        if "\n" in text or "\r" in text:
            raise ValueError("a control line is one line")
        try:
            self._pipe.write(f"{command} {text}\n")
            self._pipe.flush()
        except (BrokenPipeError, OSError, ValueError):
            pass

    def standings(self, games: list[GameRecord], final: bool = False) -> None:
        if not final and time.monotonic() - self._sent < STANDINGS_EVERY:
            return
        self._sent = time.monotonic()
        rows = standings(self._names, games)
        table = {
            "columns": COLUMNS,
            "rows": [
                [
                    rank,
                    r.name,
                    r.games,
                    r.wins,
                    r.draws,
                    r.losses,
                    r.crashes,
                    r.points,
                    round(r.elo),
                    f"{r.elo_low:.0f} to {r.elo_high:.0f}",
                    mistakes_text(r),
                    "" if r.superiority is None else los(r.superiority),
                ]
                for rank, r in enumerate(rows, 1)
            ],
            "played": len(games),
            "total": self._total,
            "finished": final,
            "note": self._note() if self._note else "",
            # Games shown already that the SPRT's decision leaves out (past its deciding pair).
            "uncounted": self._uncounted() if self._uncounted else [],
        }
        self._send("standings", json.dumps(table, separators=(",", ":"), ensure_ascii=False))

    def game(self, game: GameRecord) -> None:
        record = asdict(game)
        # What the page shows of a game; the rest stays in tournament.json.
        keys = ("game", "seats", "winner", "loser", "result", "reason", "forfeit", "moves", "server_game")
        keys += ("opening", "mistakes")
        shown = {k: record[k] for k in keys}
        # What the arena saw beats the server's "disconnected": the exception, the limit missed.
        if game.loser and game.problems.get(game.loser):
            shown["reason"] = game.problems[game.loser]
        self._send("game", json.dumps(shown, separators=(",", ":"), ensure_ascii=False))


def los(p: float) -> str:
    return percent(p) + (", cannot be told apart" if p < TOLD_APART else "")


@dataclass
class WebRun:
    """A run shown on the page: what the tournament's server needs to show it
    (`attach` once the server is up), told of each game as it ends
    (`game_over`), and what happens once all are played (`finish`)."""

    port: int
    names: list[str]
    total: int
    played: Callable[[], list[GameRecord]]  # the run's games so far, a resumed run's earlier ones too
    report: Callable[[], None]  # the standings and files, printed before the page is left up
    note: Callable[[], str] | None = None  # a line under the standings (the SPRT: hypotheses, LLR, decision, Elo)
    uncounted: Callable[[], list[int]] | None = None  # the games the SPRT's decision leaves out
    page: LivePage | None = None
    url: str = ""
    reported: bool = False

    def attach(self, pipe: IO[str], url: str) -> LivePage:
        self.page = LivePage(pipe, self.names, self.total, self.note, self.uncounted)
        self.url = url
        print(f"kestrel-arena: watch at {url}", file=sys.stderr, flush=True)
        games = self.played()
        for game in games:
            self.page.game(game)
        self.page.standings(games)
        return self.page

    def game_over(self, game: GameRecord) -> None:
        if self.page:
            self.page.game(game)
            self.page.standings(self.played())

    async def finish(self) -> None:
        # Files first: the page's final table tells a watcher they are written.
        self.report()
        self.reported = True
        if self.page:
            self.page.standings(self.played(), final=True)
        print(
            f"kestrel-arena: the run is over; its page stays up at {self.url} until Enter, end of input or Ctrl-C",
            file=sys.stderr,
            flush=True,
        )
        await until_end_of_input()
