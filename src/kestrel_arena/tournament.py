"""Plays the games: one kestrel-server on a free port, then every pair of bots
the given number of times with seats alternating, one game at a time, each
bot in a process of its own.

The server's game line is the record of every game that started. A game is
set up so that the seats are never left to chance: the server pairs clients
in join order, so the seat-0 bot is told to join alone and the opponent only
once the server has logged that bot as waiting ("joined ADDR: ..."); its
address then picks out the game line ("game N (seat 0 ADDR, ...").
"""

from __future__ import annotations

import asyncio
import contextlib
import itertools
import re
import sys
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import TypeVar

from kestrel_arena.live import LivePage, until_end_of_input
from kestrel_arena.player import LOAD_FAILED, LOAD_FAILED_PREFIX, READY, WAIT_FLAG
from kestrel_arena.results import GameRecord, ServerResult, parse_game_line
from kestrel_arena.server_binary import first_executable, server_candidates
from kestrel_arena.server_process import WEB_LISTENING, ServerProcess

PYTHON_ERROR = re.compile(r"PyErr \{ type: .*?, value: (.*?), traceback: ")
T = TypeVar("T")


class ArenaError(Exception):
    """The tournament cannot go on (the server failed); not a bot's fault."""


@dataclass
class Bot:
    name: str
    spec: str  # FILE.py or FILE.py:CLASS, as given
    # Set once the bot has shown it cannot play at all (it does not load, or
    # never joins): its remaining games are forfeited without being played.
    disqualified: str | None = None


@dataclass
class Limits:
    move_time: float  # seconds per move, enforced by the server
    join_time: float  # seconds for a bot's process to start and join


def find_server(explicit: str | None) -> Path:
    """--server, else the kestrel-server installed beside this package (a
    venv's scripts folder need not be on PATH), else PATH."""
    candidates = [Path(explicit)] if explicit else server_candidates()
    if found := first_executable(candidates):
        return found
    raise ArenaError(f"kestrel-server not found (looked for {', '.join(map(str, candidates))}); use --server PATH")


async def until(condition: Callable[[], T | None], timeout: float) -> T | None:
    """The first value of `condition` that is not None, polled every 20 ms;
    None after `timeout` seconds. Polling keeps one loop for lines and exits alike."""
    end = asyncio.get_running_loop().time() + timeout
    while (value := condition()) is None:
        if asyncio.get_running_loop().time() >= end:
            return None
        await asyncio.sleep(0.02)
    return value


async def pump(stream: asyncio.StreamReader | None, lines: list[str]) -> None:
    assert stream is not None
    async for raw in stream:
        lines.append(raw.decode(errors="replace").rstrip("\r\n"))


class Server:
    """The tournament's kestrel-server. Starting and stopping it wait on the
    process, so they run off the loop; its log is read as lines while the
    games poll it."""

    def __init__(self, binary: Path, move_time: float, web_port: int | None = None) -> None:
        web = ["--web", str(web_port), "--control"] if web_port is not None else []
        self._process = ServerProcess(binary, "--move-time", f"{move_time:.3f}", *web, control=bool(web))
        self.url = ""
        self.web_url = ""  # the spectator page, with --web
        self.live: LivePage | None = None

    async def __aenter__(self) -> Server:
        try:
            await asyncio.to_thread(self._process.__enter__)
        except RuntimeError as error:
            await asyncio.to_thread(self._process.__exit__)
            raise ArenaError(f"kestrel-server did not start: {' '.join(self._process.args)}: {error}") from None
        self.url = self._process.url
        if self._process.control:
            self.web_url = await asyncio.to_thread(self._process.second_line, WEB_LISTENING)
            if not self.web_url:
                await asyncio.to_thread(self._process.__exit__)
                raise ArenaError(f"kestrel-server did not start its page: {' '.join(self._process.args)}")
        return self

    def show(self, names: list[str], total: int) -> LivePage | None:
        """The page's control channel, with --web."""
        process = self._process.process
        if self._process.control and process is not None and process.stdin is not None:
            self.live = LivePage(process.stdin, names, total)
        return self.live

    def seat_url(self, bot: Bot) -> str | None:
        """A URL that names `bot` on the page (one connection's worth), with --web."""
        return self.live.seat_url(self.url, bot.name) if self.live else None

    async def __aexit__(self, *exc: object) -> None:
        await asyncio.to_thread(self._process.__exit__)

    @property
    def lines(self) -> list[str]:
        """Its stderr so far."""
        return self._process.log_lines()

    def running(self) -> bool:
        process = self._process.process
        return process is not None and process.poll() is None

    def line_after(self, start: int, prefix: str) -> str | None:
        return next((line for line in self.lines[start:] if line.startswith(prefix)), None)


class BotProcess:
    """One bot's process for one game, its output collected as it comes."""

    def __init__(self, bot: Bot) -> None:
        self.bot = bot
        self.out: list[str] = []
        self.err: list[str] = []
        self._process: asyncio.subprocess.Process | None = None
        self._tasks: list[asyncio.Task[object]] = []
        self._seat_url: str | None = None

    async def start(self, url: str, seat_url: str | None = None) -> BotProcess:
        self._seat_url = seat_url
        self._process = await asyncio.create_subprocess_exec(
            sys.executable,
            "-m",
            "kestrel_arena.player",
            WAIT_FLAG,
            self.bot.spec,
            url,
            stdin=asyncio.subprocess.PIPE,
            stdout=asyncio.subprocess.PIPE,
            stderr=asyncio.subprocess.PIPE,
        )
        self._tasks = [
            asyncio.create_task(pump(self._process.stdout, self.out)),
            asyncio.create_task(pump(self._process.stderr, self.err)),
        ]
        return self

    def ready(self) -> bool:
        return READY in self.out

    def settled(self) -> bool | None:
        """True once the bot is ready to join or its process has ended."""
        return True if self.ready() or self.exit_code is not None else None

    def go(self) -> None:
        """Lets the bot connect and join."""
        assert self._process is not None and self._process.stdin is not None
        with contextlib.suppress(ConnectionError):  # it ended already; its exit tells why
            line = f"go {self._seat_url}\n" if self._seat_url else "go\n"
            self._process.stdin.write(line.encode())
            self._process.stdin.close()

    @property
    def exit_code(self) -> int | None:
        """Set once the process has ended and its output is read."""
        if self._process is None or not all(t.done() for t in self._tasks):
            return None
        return self._process.returncode

    def started_game(self) -> bool:
        return any(line.startswith("Game started, player id: ") for line in self.out)

    def failure(self) -> str:
        """Why the process ended badly, from its exit status and last stderr line."""
        code = self.exit_code
        last = next((line.strip() for line in reversed(self.err) if line.strip()), "")
        if code == LOAD_FAILED and last.startswith(LOAD_FAILED_PREFIX):
            return "failed to load: " + shorten(last[len(LOAD_FAILED_PREFIX) :])
        if code is None:
            return "still running"
        # An exception from handle_turn reaches stderr wrapped in the module's
        # panic report; the Python exception inside says what happened.
        if raised := PYTHON_ERROR.search(last):
            last = "handle_turn raised " + raised.group(1)
        return f"crashed (exit {code})" + (f": {shorten(last)}" if last else "")

    async def stop(self, grace: float) -> None:
        """Lets the process end by itself within `grace` seconds, then kills it."""
        if self._process is None:
            return
        try:
            await asyncio.wait_for(self._process.wait(), grace)
        except TimeoutError:
            with contextlib.suppress(ProcessLookupError):  # it ended meanwhile
                self._process.kill()
            await self._process.wait()
        await asyncio.gather(*self._tasks)


def shorten(text: str, limit: int = 160) -> str:
    return text if len(text) <= limit else text[: limit - 1] + "…"


def forfeited(number: int, seats: tuple[Bot, Bot], losers: list[Bot], reasons: dict[str, str]) -> GameRecord:
    """A game decided before the server could start it."""
    names = (seats[0].name, seats[1].name)
    if len(losers) == 2:
        return GameRecord(number, names, None, None, "both forfeit", reasons[losers[0].name], True, problems=reasons)
    loser = losers[0]
    winner = seats[1] if loser is seats[0] else seats[0]
    return GameRecord(
        number, names, winner.name, loser.name, f"{winner.name} wins", reasons[loser.name], True, problems=reasons
    )


async def launch(server: Server, seats: tuple[Bot, Bot]) -> list[BotProcess]:
    """Starts a game's two processes; they load their bots and wait to be told to join."""
    if any(b.disqualified for b in seats):
        return []
    return [await BotProcess(bot).start(server.url, server.seat_url(bot)) for bot in seats]


async def play_game(
    server: Server, number: int, seats: tuple[Bot, Bot], bots: list[BotProcess], limits: Limits
) -> GameRecord:
    """Plays one game with the processes `launch` started for it."""
    out = [b for b in seats if b.disqualified]
    if out or not bots:
        for proc in bots:
            await proc.stop(0)
        return forfeited(number, seats, out, {b.name: b.disqualified or "" for b in out})

    start = len(server.lines)
    try:
        await until(lambda: True if all(p.settled() for p in bots) else None, limits.join_time)
        if unready := [side for side, proc in enumerate(bots) if not proc.ready()]:
            return decide_unstarted(number, seats, bots, unready, limits)
        bots[0].go()
        joined = await until(
            lambda: waiting_address(server, start) or ("" if bots[0].exit_code is not None else None),
            limits.join_time,
        )
        if not joined:
            return decide_unstarted(number, seats, bots, [0], limits)
        address = joined

        bots[1].go()

        def game_line() -> str | None:
            prefix = f"(seat 0 {address},"
            return next((ln for ln in server.lines[start:] if ln.startswith("game ") and prefix in ln), None)

        def started() -> bool:
            return game_line() is not None or any(b.started_game() for b in bots)

        status = await until(
            lambda: "started" if started() else "ended" if any(b.exit_code is not None for b in bots) else None,
            limits.join_time,
        )
        if status is None:
            return decide_unstarted(number, seats, bots, [1], limits)
        # A process that ended may still have joined first, and then the
        # server's line is on its way.
        if status == "ended" and await until(lambda: True if started() else None, 1.0) is None:
            return decide_unstarted(number, seats, bots, [0 if bots[0].exit_code is not None else 1], limits)

        line = await until(game_line, 9 * limits.move_time + limits.join_time + 10)
        if line is None:
            raise ArenaError(f"kestrel-server logged no result for game {number}: {server.lines[start:]}")
        result = parse_game_line(line)
        if result is None:
            raise ArenaError(f"cannot read kestrel-server's game line: {line!r}")
        # The server has decided; a bot that ran out of time is stuck in its turn.
        for side, proc in enumerate(bots):
            out_of_time = result.forfeit and result.winner != side and result.reason == "out of time"
            await proc.stop(0 if out_of_time else 3)
        return record_game(number, seats, bots, result, line, limits)
    finally:
        for proc in bots:
            await proc.stop(0)
        # A bot killed while waiting for a partner is still in the lobby until
        # the server sees it go; the next game must not meet it there.
        await until(lambda: True if waiting_address(server, start) is None else None, 5.0)


def waiting_address(server: Server, start: int) -> str | None:
    """The address of a client the server logged as waiting for a partner
    since line `start` and that has neither left nor been paired since."""
    waiting: list[str] = []
    for line in server.lines[start:]:
        if line.startswith("joined "):
            waiting.append(line.split()[1].rstrip(":"))
        elif line.startswith("left "):
            gone = line.split()[1].rstrip(":")
            waiting = [a for a in waiting if a != gone]
        elif line.startswith("game ") and (result := parse_game_line(line)):
            waiting = [a for a in waiting if a not in result.addresses]
    return waiting[0] if waiting else None


def decide_unstarted(
    number: int, seats: tuple[Bot, Bot], bots: list[BotProcess], sides: list[int], limits: Limits
) -> GameRecord:
    """No game on the server: the bots on `sides` never got as far as joining."""
    reasons = {}
    for side in sides:
        proc = bots[side]
        if proc.exit_code is None:
            reason = f"did not join within {limits.join_time:g} s"
            seats[side].disqualified = reason
        else:
            reason = proc.failure()
            if reason.startswith("failed to load"):
                seats[side].disqualified = reason
        reasons[seats[side].name] = reason
    return forfeited(number, seats, [seats[side] for side in sides], reasons)


def record_game(
    number: int, seats: tuple[Bot, Bot], bots: list[BotProcess], result: ServerResult, line: str, limits: Limits
) -> GameRecord:
    names = (seats[0].name, seats[1].name)
    problems: dict[str, str] = {}
    if result.winner is None:
        winner = loser = None
        verdict = "draw"
    else:
        winner, loser = names[result.winner], names[1 - result.winner]
        verdict = f"{winner} wins"
    if result.forfeit:
        assert loser is not None
        proc = bots[1 - result.winner] if result.winner is not None else bots[0]
        if result.reason == "out of time":
            problems[loser] = f"out of time (no move within {limits.move_time:g} s)"
        elif result.reason == "disconnected" and proc.exit_code not in (None, 0):
            problems[loser] = proc.failure()
        else:
            problems[loser] = result.reason
    return GameRecord(
        game=number,
        seats=names,
        winner=winner,
        loser=loser,
        result=verdict,
        reason=result.reason,
        forfeit=result.forfeit,
        moves=result.moves,
        server_game=result.server_game,
        addresses=result.addresses,
        server_line=line,
        problems=problems,
    )


def schedule(bots: list[Bot], games_per_pair: int) -> list[tuple[Bot, Bot]]:
    """Round by round, so every pair has played about as often at any point;
    within a pair the seats alternate, the first-named bot moving first in
    the pair's first game."""
    pairs = list(itertools.combinations(bots, 2))
    return [(a, b) if k % 2 == 0 else (b, a) for k in range(games_per_pair) for a, b in pairs]


async def run_tournament(
    server_binary: Path,
    bots: list[Bot],
    games_per_pair: int,
    limits: Limits,
    progress: Callable[[int, int, GameRecord], None],
    web_port: int | None = None,
    report: Callable[[list[GameRecord]], None] | None = None,
) -> list[GameRecord]:
    """Plays the whole schedule; `report` gets the games once all are played,
    while the server (and with `web_port` its page) is still up."""
    games: list[GameRecord] = []
    plan = schedule(bots, games_per_pair)
    async with Server(server_binary, limits.move_time, web_port) as server:
        live = server.show([b.name for b in bots], len(plan))
        if live:
            print(f"kestrel-arena: watch at {server.web_url}", file=sys.stderr, flush=True)
            live.standings(games, final=not plan)
        # The next game's bots load while the current one plays: starting
        # Python and importing is most of the time a short game takes.
        upcoming = await launch(server, plan[0]) if plan else []
        try:
            for number, seats in enumerate(plan, 1):
                if not server.running():
                    raise ArenaError("kestrel-server ended during the tournament:\n" + "\n".join(server.lines[-20:]))
                current, upcoming = upcoming, []
                if number < len(plan):
                    upcoming = await launch(server, plan[number])
                games.append(await play_game(server, number, seats, current, limits))
                if live:
                    live.game_over(games[-1], games)
                progress(number, len(plan), games[-1])
            if live:
                live.standings(games, final=True)
            if report:
                report(games)
            if live:
                print(
                    f"kestrel-arena: the run is over; its page stays up at {server.web_url} "
                    "until Enter, end of input or Ctrl-C",
                    file=sys.stderr,
                    flush=True,
                )
                await until_end_of_input()
        finally:
            for proc in upcoming:
                await proc.stop(0)
    return games
