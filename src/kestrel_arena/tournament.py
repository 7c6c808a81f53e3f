"""Plays the games: one kestrel-server on a free port, then every pair of bots
the given (even) number of times with seats alternating, up to `concurrency`
games at a time, each bot in a process of its own.

The server's game line is the record of every game that started. A game is
set up so that the seats are never left to chance: the server pairs clients
in join order, so the seat-0 bot is told to join alone and the opponent only
once the server has logged that bot as waiting ("joined ADDR: ..."); its
address then picks out the game line ("game N (seat 0 ADDR, ...").  Games
in parallel take turns at that step (the lobby lock): while one game's first
bot waits for its partner nobody else joins, so the server cannot pair it
with another game's bot. Loading bots and playing go on in parallel.

Every process (the server's and the bots') runs in a session of its own, so a
Ctrl-C at the terminal reaches the arena alone, which stops them in order.
"""

from __future__ import annotations

import asyncio
import contextlib
import hashlib
import itertools
import os
import re
import signal
import sys
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import TypeVar

from kestrel_arena.live import LivePage, WebRun
from kestrel_arena.player import (
    ANSWER_PREFIX,
    LOAD_FAILED,
    LOAD_FAILED_PREFIX,
    NOT_A_CELL_SUFFIX,
    READY,
    SEED_FLAG,
    WAIT_FLAG,
)
from kestrel_arena.results import GameRecord, ServerResult, parse_game_line
from kestrel_testing.server_binary import first_executable, server_candidates
from kestrel_testing.server_process import WEB_LISTENING, ServerProcess

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

    def __init__(self, binary: Path, move_time: float, web: WebRun | None = None) -> None:
        page = ["--web", str(web.port), "--control"] if web else []
        self._process = ServerProcess(
            binary, "--move-time", f"{move_time:.3f}", *page, new_session=True, control=web is not None
        )
        self.url = ""
        self._web = web
        self.page: LivePage | None = None  # with --web

    async def __aenter__(self) -> Server:
        try:
            await asyncio.to_thread(self._process.__enter__)
        except RuntimeError as error:
            await asyncio.to_thread(self._process.__exit__)
            raise ArenaError(f"kestrel-server did not start: {' '.join(self._process.args)}: {error}") from None
        self.url = self._process.url
        process = self._process.process
        if self._web and process is not None and process.stdin is not None:
            web_url = await asyncio.to_thread(self._process.second_line, WEB_LISTENING)
            if not web_url:
                await asyncio.to_thread(self._process.__exit__)
                raise ArenaError(f"kestrel-server did not start its page: {' '.join(self._process.args)}")
            self.page = self._web.attach(process.stdin, web_url)
        return self

    def seat_url(self, bot: Bot) -> str | None:
        """A URL that names `bot` on the page (good for one connection), with --web."""
        return self.page.seat_url(self.url, bot.name) if self.page else None

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


def seed_for(seed: str, game: int, seat: int) -> str:
    """A bot's seed in one game: the same game of the same run gets the same one, whatever ran before it."""
    return f"{seed}/{game}/{seat}"


class BotProcess:
    """One bot's process for one game, its output collected as it comes."""

    def __init__(self, bot: Bot, seed: str | None = None) -> None:
        self.bot = bot
        self.seed = seed
        self.out: list[str] = []
        self.err: list[str] = []
        self._process: asyncio.subprocess.Process | None = None
        self._tasks: list[asyncio.Task[object]] = []
        self._seat_url: str | None = None

    async def start(self, url: str, seat_url: str | None = None) -> BotProcess:
        self._seat_url = seat_url
        env = None
        seeding: list[str] = []
        if self.seed is not None:
            seeding = [SEED_FLAG, self.seed]
            # The hash seed too, so that even a bot's walk over a set of strings repeats.
            digest = hashlib.sha256(self.seed.encode()).digest()
            env = {**os.environ, "PYTHONHASHSEED": str(int.from_bytes(digest[:4], "big"))}
        self._process = await asyncio.create_subprocess_exec(
            sys.executable,
            "-m",
            "kestrel_arena.player",
            WAIT_FLAG,
            *seeding,
            self.bot.spec,
            url,
            stdin=asyncio.subprocess.PIPE,
            stdout=asyncio.subprocess.PIPE,
            stderr=asyncio.subprocess.PIPE,
            env=env,
            start_new_session=True,
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
        # The arena's own player said what the bot answered that was no cell.
        for line in self.err:
            if line.startswith(ANSWER_PREFIX) and line.endswith(NOT_A_CELL_SUFFIX):
                return shorten(line[len(ANSWER_PREFIX) :])
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
            self.kill()
            await self._process.wait()
        await asyncio.gather(*self._tasks)

    def kill(self) -> None:
        """Kills the process and whatever it started (its session's group)."""
        if self._process is not None and self._process.returncode is None:
            with contextlib.suppress(ProcessLookupError, PermissionError):  # it ended meanwhile
                os.killpg(self._process.pid, signal.SIGKILL)


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


@dataclass(frozen=True)
class Scheduled:
    number: int  # the game's place in the schedule, from 1
    seats: tuple[Bot, Bot]


async def launch(server: Server, game: Scheduled, seed: str | None, live: set[BotProcess]) -> list[BotProcess]:
    """Starts a game's two processes; they load their bots and wait to be told to join.
    They are in `live` until stopped, so that nothing started is left behind."""
    if any(b.disqualified for b in game.seats):
        return []
    started: list[BotProcess] = []
    for seat, bot in enumerate(game.seats):
        proc = BotProcess(bot, None if seed is None else seed_for(seed, game.number, seat))
        live.add(proc)
        started.append(await proc.start(server.url, server.seat_url(bot)))
    return started


async def play_game(
    server: Server, lobby: asyncio.Lock, game: Scheduled, bots: list[BotProcess], limits: Limits
) -> GameRecord:
    """Plays one game with the processes `launch` started for it."""
    number, seats = game.number, game.seats
    out = [b for b in seats if b.disqualified]
    if out or not bots:
        for proc in bots:
            await proc.stop(0)
        return forfeited(number, seats, out, {b.name: b.disqualified or "" for b in out})

    try:
        await until(lambda: True if all(p.settled() for p in bots) else None, limits.join_time)
        if unready := [side for side, proc in enumerate(bots) if not proc.ready()]:
            return decide_unstarted(number, seats, bots, unready, limits)
        async with lobby:
            start = len(server.lines)
            joined = await pair(server, start, bots, limits)
            if isinstance(joined, list):
                for proc in bots:
                    await proc.stop(0)
                # A bot killed while waiting for a partner is still in the lobby
                # until the server sees it go; the next pair must not meet it there.
                await until(lambda: True if waiting_address(server, start) is None else None, 5.0)
                return decide_unstarted(number, seats, bots, joined, limits)
        address = joined

        def game_line() -> str | None:
            prefix = f"(seat 0 {address},"
            return next((ln for ln in server.lines[start:] if ln.startswith("game ") and prefix in ln), None)

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


async def pair(server: Server, start: int, bots: list[BotProcess], limits: Limits) -> str | list[int]:
    """Lets the seat-0 bot join, then its opponent once the server has it
    waiting; the seat-0 bot's address once the game has started, else the
    sides that never got as far as joining. Called holding the lobby lock."""
    bots[0].go()
    joined = await until(
        lambda: waiting_address(server, start) or ("" if bots[0].exit_code is not None else None),
        limits.join_time,
    )
    if not joined:
        return [0]
    address = joined
    bots[1].go()

    def started() -> bool:
        prefix = f"(seat 0 {address},"
        return any(b.started_game() for b in bots) or any(
            ln.startswith("game ") and prefix in ln for ln in server.lines[start:]
        )

    status = await until(
        lambda: "started" if started() else "ended" if any(b.exit_code is not None for b in bots) else None,
        limits.join_time,
    )
    if status is None:
        return [1]
    # A process that ended may still have joined first, and then the game is on.
    if status == "ended" and await until(lambda: True if started() else None, 1.0) is None:
        return [0 if bots[0].exit_code is not None else 1]
    return address


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
        reason = f"did not join within {limits.join_time:g} s" if proc.exit_code is None else proc.failure()
        if disqualifies(reason):
            seats[side].disqualified = reason
        reasons[seats[side].name] = reason
    return forfeited(number, seats, [seats[side] for side in sides], reasons)


def disqualifies(reason: str) -> bool:
    """A bot that failed so cannot play at all: its remaining games are forfeited unplayed."""
    return reason.startswith(("did not join within", "failed to load"))


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


def schedule(bots: list[Bot], games_per_pair: int) -> list[Scheduled]:
    """Round by round, so every pair has played about as often at any point;
    within a pair the seats alternate, the first-named bot moving first in
    the pair's first game, so that with an even count each bot moves first in
    half its games against each opponent."""
    pairs = list(itertools.combinations(bots, 2))
    seats = [(a, b) if k % 2 == 0 else (b, a) for k in range(games_per_pair) for a, b in pairs]
    return [Scheduled(number, pair) for number, pair in enumerate(seats, 1)]


async def run_tournament(
    server_binary: Path,
    plan: list[Scheduled],
    limits: Limits,
    on_game: Callable[[GameRecord], None],
    concurrency: int = 1,
    seed: str | None = None,
    web: WebRun | None = None,
) -> None:
    """Plays the games of `plan`, `concurrency` at a time, calling `on_game`
    as each ends (so not in the plan's order when several run). Stopped by an
    error or by cancelling, it stops the server and every bot process first.
    With `web`, the server shows the run, and once every game is played it
    stays up until `web.finish` returns."""
    pending = list(reversed(plan))
    lobby = asyncio.Lock()
    live: set[BotProcess] = set()

    async def worker(server: Server) -> None:
        # The next game's bots load while the current one plays: starting
        # Python and importing is most of the time a short game takes.
        upcoming: tuple[Scheduled, list[BotProcess]] | None = None
        while pending or upcoming:
            if upcoming is None:
                game = pending.pop()
                upcoming = game, await launch(server, game, seed, live)
            (game, current), upcoming = upcoming, None
            if pending:
                following = pending.pop()
                upcoming = following, await launch(server, following, seed, live)
            if not server.running():
                raise ArenaError("kestrel-server ended during the tournament:\n" + "\n".join(server.lines[-20:]))
            record = await play_game(server, lobby, game, current, limits)
            # Only now: a game cut short leaves its processes to the final sweep.
            live.difference_update(current)
            on_game(record)

    async with Server(server_binary, limits.move_time, web) as server:
        try:
            async with asyncio.TaskGroup() as group:
                for _ in range(min(concurrency, len(plan)) or 1):
                    group.create_task(worker(server))
            if web:
                await web.finish()
        except BaseExceptionGroup as group_error:
            # One worker's failure (the server ended) stops the rest; say that one.
            errors = [e for e in group_error.exceptions if not isinstance(e, asyncio.CancelledError)]
            raise errors[0] if errors else group_error from None
        finally:
            for proc in live:
                proc.kill()
            for proc in live:
                await proc.stop(0)
