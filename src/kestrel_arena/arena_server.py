"""The tournament's kestrel-server: started on a free port with the arena's
own settings, its log read as lines while the games poll it."""

from __future__ import annotations

import asyncio
import contextlib
import subprocess
from collections.abc import Callable
from pathlib import Path
from typing import TypeVar

from kestrel_arena.live import LivePage, WebRun
from kestrel_testing.server_binary import first_executable, server_candidates
from kestrel_testing.server_process import WEB_LISTENING, ServerProcess

T = TypeVar("T")
POLL_MAX = 0.02  # seconds between looks at a condition that is slow to come


class ArenaError(Exception):
    """The tournament cannot go on (the server failed); not a bot's fault."""


def find_server(explicit: str | None) -> Path:
    """--server, else the kestrel-server installed beside this package (a
    venv's scripts folder need not be on PATH), else PATH."""
    candidates = [Path(explicit)] if explicit else server_candidates()
    if found := first_executable(candidates):
        return found
    raise ArenaError(f"kestrel-server not found (looked for {', '.join(map(str, candidates))}); use --server PATH")


async def until(condition: Callable[[], T | None], timeout: float) -> T | None:
    """The first value of `condition` that is not None; None after `timeout`
    seconds. Polled, which keeps one loop for lines and exits alike: first
    at once, then less and less often (a quick game's steps take a
    millisecond or two, a bot's start-up a quarter of a second)."""
    loop = asyncio.get_running_loop()
    end = loop.time() + timeout
    delay = 0.0005
    while (value := condition()) is None:
        if loop.time() >= end:
            return None
        await asyncio.sleep(delay)
        delay = min(2 * delay, POLL_MAX)
    return value


class Server:
    """Starting and stopping it wait on the process, so they run off the loop."""

    def __init__(self, binary: Path, move_time: float, web: WebRun | None = None) -> None:
        page = ["--web", str(web.port)] if web else []
        # --control: the server ends when its stdin does, that is when the arena is gone however it went.
        self._process = ServerProcess(
            binary, "--move-time", f"{move_time:.3f}", *page, "--control", new_session=True, control=True
        )
        self.url = ""
        self._web = web
        self.page: LivePage | None = None  # with --web

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
            raise ArenaError(
                f"kestrel-server did not start: {said or 'it ended without a word'} ({' '.join(self._process.args)})"
            ) from None
        self.url = self._process.url
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

    async def _failed(self) -> str:
        """Stops a server that failed to start; its last log lines, which say why (a port in use)."""
        process = self._process.process
        if process is not None:
            with contextlib.suppress(subprocess.TimeoutExpired):  # it ends by itself once it has said why
                await asyncio.to_thread(process.wait, 5)
        said = " ".join(line.strip() for line in self._process.log().splitlines()[-3:] if line.strip())
        await asyncio.to_thread(self._process.__exit__)
        return said

    def seat_url(self, name: str) -> str:
        """A URL for a bot's connection; with --web one that names `name` on the page (good for one connection)."""
        return self.page.seat_url(self.url, name) if self.page else self.url

    async def __aexit__(self, *exc: object) -> None:
        await asyncio.to_thread(self._process.__exit__)

    @property
    def lines(self) -> list[str]:
        """Its stderr so far."""
        return self._process.log_lines()

    def running(self) -> bool:
        process = self._process.process
        return process is not None and process.poll() is None
