"""The tournament's kestrel-server: started on a free port with the arena's
own settings. Each game is announced on its control channel (stdin), seat
by seat with one-use tokens, and its outcome comes back as a JSON line on a
pipe of the arena's own (--report): no prose is parsed, nothing is polled."""

from __future__ import annotations

import asyncio
import contextlib
import json
import os
import secrets
import subprocess
import urllib.parse
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from kestrel_arena.live import LivePage, WebRun
from kestrel_testing.server_binary import first_executable, server_candidates
from kestrel_testing.server_process import WEB_LISTENING, ServerProcess

PROTOCOL = 2  # the control channel's: games announced seat by seat
HELLO_TIME = 10.0  # seconds a server has to answer hello
SEAT_PATH = "/seat/"
TOO_OLD = "is too old for this kestrel-arena (it needs a server that announces games: control protocol {})"


class ArenaError(Exception):
    """The tournament cannot go on (the server failed); not a bot's fault."""


def find_server(explicit: str | None) -> Path:
    """--server, else the kestrel-server installed beside this package (a
    venv's scripts folder need not be on PATH), else PATH."""
    candidates = [Path(explicit)] if explicit else server_candidates()
    if found := first_executable(candidates):
        return found
    raise ArenaError(f"kestrel-server not found (looked for {', '.join(map(str, candidates))}); use --server PATH")


@dataclass
class ServerResult:
    """A game as the server reported it: who won by seat (None: a tie), and why."""

    server_game: int
    addresses: tuple[str, str]
    winner: int | None
    reason: str
    forfeit: bool
    moves: list[int]
    times: list[float]


def result_of(report: dict[str, Any], started: dict[str, Any]) -> ServerResult:
    """The result in an `ended` report; `started` names the seats' addresses."""
    peers = tuple(seat["peer"] for seat in started["seats"])
    forfeit = report["forfeit"]
    winner = report["winner"]
    if forfeit is not None:
        reason = forfeit["reason"]
    else:
        reason = "board full" if winner is None else "three in a row"
    return ServerResult(
        report["server_game"],
        (peers[0], peers[1]),
        winner,
        reason,
        forfeit is not None,
        report["moves"],
        report["times"],
    )


@dataclass
class Cancelled:
    """An announced game that never started: the seats that joined, and why."""

    joined: list[int]
    reason: str


class Reports:
    """The server's report pipe, read as it comes; each announced game's outcome a future."""

    def __init__(self) -> None:
        self.hello: asyncio.Future[dict[str, Any]] = asyncio.get_running_loop().create_future()
        self._started: dict[int, dict[str, Any]] = {}
        self._outcomes: dict[int, asyncio.Future[ServerResult | Cancelled]] = {}
        self._ended = False

    def expect(self, game: int) -> asyncio.Future[ServerResult | Cancelled]:
        future: asyncio.Future[ServerResult | Cancelled] = asyncio.get_running_loop().create_future()
        if self._ended:
            future.set_exception(ArenaError("kestrel-server stopped reporting games"))
        self._outcomes[game] = future
        return future

    def forget(self, game: int) -> None:
        self._started.pop(game, None)
        self._outcomes.pop(game, None)

    def take(self, report: dict[str, Any]) -> None:
        kind, game = report.get("type"), report.get("game")
        if kind == "hello" and not self.hello.done():
            self.hello.set_result(report)
        elif kind == "started" and game in self._outcomes:
            self._started[game] = report
        elif kind == "ended" and game in self._outcomes:
            self._settle(game, result_of(report, self._started.pop(game)))
        elif kind == "cancelled" and game in self._outcomes:
            self._settle(game, Cancelled(report["joined"], report["reason"]))
        elif kind == "refused":
            words = str(report.get("command", "")).split()
            if len(words) > 1 and words[0] == "announce" and words[1].isdigit():
                future = self._outcomes.pop(int(words[1]), None)
                if future is not None and not future.done():
                    future.set_exception(ArenaError(f"kestrel-server refused game {words[1]}: {report['reason']}"))

    def _settle(self, game: int, outcome: ServerResult | Cancelled) -> None:
        future = self._outcomes.pop(game)
        if not future.done():
            future.set_result(outcome)

    def end(self) -> None:
        """The pipe closed: the server has gone."""
        self._ended = True
        if not self.hello.done():
            self.hello.set_exception(EOFError())
        for future in self._outcomes.values():
            if not future.done():
                future.set_exception(ArenaError("kestrel-server stopped reporting games"))
        self._outcomes.clear()


async def read_reports(pipe: asyncio.StreamReader, reports: Reports) -> None:
    try:
        async for line in pipe:
            with contextlib.suppress(ValueError):
                reports.take(json.loads(line))
    finally:
        reports.end()


class Server:
    """Starting and stopping it wait on the process, so they run off the loop."""

    def __init__(self, binary: Path, move_time: float, join_time: float, web: WebRun | None = None) -> None:
        page = ["--web", str(web.port)] if web else []
        self._binary = binary
        self._report_read, report_write = os.pipe()
        self._report_write: int | None = report_write
        # --control: the server ends when its stdin does, that is when the arena is gone however it went.
        self._process = ServerProcess(
            binary,
            "--move-time",
            f"{move_time:.3f}",
            *page,
            "--control",
            "--join-time",
            f"{join_time:.3f}",
            "--report",
            f"/dev/fd/{report_write}",
            new_session=True,
            control=True,
            pass_fds=(report_write,),
        )
        self.url = ""
        self._web = web
        self.page: LivePage | None = None  # with --web
        self._reports: Reports | None = None
        self._reader: asyncio.Task[None] | None = None

    async def __aenter__(self) -> Server:
        # Started off the loop: a cancel (Ctrl-C) cannot stop that thread, so
        # it is let finish and the server it started is stopped, not left behind.
        starting = asyncio.ensure_future(self._start())
        try:
            return await asyncio.shield(starting)
        except asyncio.CancelledError:
            with contextlib.suppress(Exception):
                await starting
            await asyncio.to_thread(self._process.__exit__)
            raise

    async def _start(self) -> Server:
        try:
            await asyncio.to_thread(self._process.__enter__)
        except RuntimeError:
            said = await self._failed()
            if "unknown argument: --join-time" in said or "unknown argument: --report" in said:
                raise ArenaError(f"kestrel-server {self._binary} {TOO_OLD.format(PROTOCOL)}") from None
            raise ArenaError(
                f"kestrel-server did not start: {said or 'it ended without a word'} ({' '.join(self._process.args)})"
            ) from None
        finally:
            self._close_write_end()
        self.url = self._process.url
        await self._greet()
        process = self._process.process
        if self._web and process is not None and process.stdin is not None:
            web_url = await asyncio.to_thread(self._process.second_line, WEB_LISTENING)
            if not web_url:
                said = await self._failed()
                raise ArenaError(
                    f"kestrel-server did not start its page: {said or 'it ended without a word'} "
                    f"({' '.join(self._process.args)})"
                )
            self.page = self._web.attach(process.stdin, web_url)
        return self

    def _close_write_end(self) -> None:
        # The server holds its own copy: the pipe ends when the server does.
        if self._report_write is not None:
            os.close(self._report_write)
            self._report_write = None

    async def _greet(self) -> None:
        """Starts reading the reports and asks the server what it knows: a
        server that cannot announce games is found now, not by a game that
        never comes."""
        self._reports = Reports()
        pipe = asyncio.StreamReader()
        loop = asyncio.get_running_loop()
        await loop.connect_read_pipe(lambda: asyncio.StreamReaderProtocol(pipe), os.fdopen(self._report_read, "rb"))
        self._reader = asyncio.create_task(read_reports(pipe, self._reports))
        self._send("hello")
        try:
            hello = await asyncio.wait_for(asyncio.shield(self._reports.hello), HELLO_TIME)
        except (TimeoutError, EOFError):
            hello = {}
        if hello.get("protocol", 0) < PROTOCOL or "announce" not in hello.get("commands", []):
            await asyncio.to_thread(self._process.__exit__)
            raise ArenaError(f"kestrel-server {self._binary} {TOO_OLD.format(PROTOCOL)}")

    def _send(self, line: str) -> None:
        process = self._process.process
        assert process is not None and process.stdin is not None
        try:
            process.stdin.write(line + "\n")
            process.stdin.flush()
        except (BrokenPipeError, OSError, ValueError):
            pass  # the server has gone: its reports end, and the games waiting on them fail

    def announce(self, game: int, names: tuple[str, str]) -> tuple[list[str], asyncio.Future[ServerResult | Cancelled]]:
        """Holds the two seats of `game` on the server: the URL each bot
        connects to (good for one connection, and naming it on the page), and
        the game's outcome once the server reports it."""
        assert self._reports is not None
        outcome = self._reports.expect(game)
        tokens = [secrets.token_hex(16) for _ in names]
        seats = " ".join(
            f"{token} {urllib.parse.quote(name, safe='')}" for token, name in zip(tokens, names, strict=True)
        )
        self._send(f"announce {game} {seats}")
        base = self.url.rstrip("/")
        return [base + SEAT_PATH + token for token in tokens], outcome

    def forget(self, game: int) -> None:
        """A game the arena decided without the server (a bot died before it started)."""
        if self._reports is not None:
            self._reports.forget(game)

    async def _failed(self) -> str:
        """Stops a server that failed to start; its last log lines, which say why (a port in use)."""
        process = self._process.process
        if process is not None:
            with contextlib.suppress(subprocess.TimeoutExpired):  # it ends by itself once it has said why
                await asyncio.to_thread(process.wait, 5)
        said = " ".join(line.strip() for line in self._process.log().splitlines()[-3:] if line.strip())
        await asyncio.to_thread(self._process.__exit__)
        return said

    async def __aexit__(self, *exc: object) -> None:
        await asyncio.to_thread(self._process.__exit__)
        if self._reader is not None:
            await asyncio.gather(self._reader, return_exceptions=True)
        elif self._report_read >= 0:
            with contextlib.suppress(OSError):
                os.close(self._report_read)

    @property
    def lines(self) -> list[str]:
        """Its stderr so far."""
        return self._process.log_lines()

    def running(self) -> bool:
        process = self._process.process
        return process is not None and process.poll() is None
