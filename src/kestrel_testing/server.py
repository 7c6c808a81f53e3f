"""A kestrel-server of the test's own on a free port of 127.0.0.1, started and
stopped around a block, synchronously or from a running event loop."""

from __future__ import annotations

import asyncio
import contextlib
import os
import threading
import time
from collections.abc import AsyncIterator, Iterator
from pathlib import Path

from kestrel_testing.errors import ServerFailed, ServerNotFound
from kestrel_testing.game_line import GameLine
from kestrel_testing.server_process import ServerProcess, find_server_binary

__all__ = ["LocalServer", "serve", "serve_async"]


def _server_args(house_bot: bool, house_seat: int | None, move_time: float | None) -> list[str]:
    args: list[str] = []
    if house_seat is not None:
        if house_seat not in (0, 1):
            raise ValueError(f"house_seat must be 0, 1 or None (alternate), not {house_seat!r}")
        if not house_bot:
            raise ValueError("house_seat needs house_bot=True")
        # The server is told the client's seat; the house takes the other.
        args += ["--seat", str(1 - house_seat)]
    if house_bot:
        args.insert(0, "--house-bot")
    if move_time is not None:
        args += ["--move-time", format(move_time, "f")]
    return args


class LocalServer:
    """A running kestrel-server: `url` for `connect`, and the games it has
    finished so far (`games()`), read from its log."""

    def __init__(self, process: ServerProcess) -> None:
        self._process = process
        self.url = process.url

    def games(self) -> list[GameLine]:
        """Every game the server has finished, in the order they ended."""
        return [g for line in self._process.log_lines() if (g := GameLine.parse(line)) is not None]

    def wait_for_games(self, count: int, timeout: float = 10.0) -> list[GameLine]:
        """The finished games once there are `count` of them: the server
        writes a game's line as it ends it, which a client may notice first.
        Blocks, so it refuses a thread that runs an event loop (whose games
        could not go on meanwhile): there, `await wait_for_games_async(...)`."""
        try:
            asyncio.get_running_loop()
        except RuntimeError:
            pass
        else:
            raise RuntimeError(
                "wait_for_games() would block the event loop this thread runs, and the games on it with it; "
                "inside a running loop, use `await server.wait_for_games_async(...)`"
            )
        deadline = time.monotonic() + timeout
        while len(games := self.games()) < count:
            if time.monotonic() > deadline:
                raise self._too_few(games, count, timeout)
            time.sleep(0.01)
        return games

    async def wait_for_games_async(self, count: int, timeout: float = 10.0) -> list[GameLine]:
        """`wait_for_games` for code in a running event loop: the loop, and
        the bots playing on it, run on while it waits."""
        loop = asyncio.get_running_loop()
        deadline = loop.time() + timeout
        while len(games := self.games()) < count:
            if loop.time() > deadline:
                raise self._too_few(games, count, timeout)
            await asyncio.sleep(0.01)
        return games

    def _too_few(self, games: list[GameLine], count: int, timeout: float) -> TimeoutError:
        return TimeoutError(f"{len(games)} of {count} games finished in {timeout:g} s:\n{self.log()}")

    def log(self) -> str:
        """What the server has written on standard error so far."""
        return self._process.log()


def _start(
    house_bot: bool, house_seat: int | None, move_time: float | None, binary: str | os.PathLike[str] | None
) -> ServerProcess:
    args = _server_args(house_bot, house_seat, move_time)
    path = Path(binary) if binary is not None else find_server_binary()
    if path is None or not path.is_file():
        where = f" at {path}" if path is not None else " (set KESTREL_SERVER, or install kestrel into this Python)"
        raise ServerNotFound(f"no kestrel-server found{where}")
    process = ServerProcess(path, *args)
    try:
        process.__enter__()
    except RuntimeError:
        log = process.log().strip()
        process.__exit__(None, None, None)
        raise ServerFailed(f"kestrel-server did not start: {log or 'it wrote nothing'}") from None
    except BaseException:
        process.__exit__(None, None, None)
        raise
    return process


@contextlib.contextmanager
def serve(
    *,
    house_bot: bool = False,
    house_seat: int | None = None,
    move_time: float | None = None,
    binary: str | os.PathLike[str] | None = None,
) -> Iterator[LocalServer]:
    """`with serve(house_bot=True) as server:` -- a kestrel-server on a free
    port for the length of the block, stopped however the block ends.

    house_bot: every client plays the server's perfect player;
    house_seat: the seat it takes, 0 (moves first) or 1, None to alternate;
    move_time: seconds a side may take over a move before it forfeits;
    binary: the kestrel-server to run (default: $KESTREL_SERVER, else the
    one in $KESTREL_BUILD_DIR, else the one installed beside this Python,
    else PATH)."""
    process = _start(house_bot, house_seat, move_time, binary)
    try:
        yield LocalServer(process)
    finally:
        process.__exit__(None, None, None)


@contextlib.asynccontextmanager
async def serve_async(
    *,
    house_bot: bool = False,
    house_seat: int | None = None,
    move_time: float | None = None,
    binary: str | os.PathLike[str] | None = None,
) -> AsyncIterator[LocalServer]:
    """`serve` for code already in a running event loop: `async with
    serve_async(...) as server:`; starting and stopping the process never
    blocks the loop."""
    start = _Start(house_bot, house_seat, move_time, binary)
    # A thread of the loop's executor, not a task: a loop that is shutting
    # down cancels its tasks, and with them the start, but waits for the
    # executor's threads, so the thread itself sees the start abandoned.
    starting = asyncio.get_running_loop().run_in_executor(None, start.run)
    try:
        process = await asyncio.shield(starting)
    except asyncio.CancelledError:
        start.abandon()
        raise
    try:
        yield LocalServer(process)
    finally:
        # Shielded: a cancellation here still lets the stop finish.
        await asyncio.shield(asyncio.to_thread(process.__exit__, None, None, None))


class _Start:
    """A server started on a thread for a caller who may give up waiting:
    whichever of the two comes second, the start or the giving up, stops
    the server, so none outlives a cancelled `serve_async`."""

    def __init__(
        self, house_bot: bool, house_seat: int | None, move_time: float | None, binary: str | os.PathLike[str] | None
    ) -> None:
        self._args = (house_bot, house_seat, move_time, binary)
        self._lock = threading.Lock()
        self._abandoned = False
        self._process: ServerProcess | None = None

    def run(self) -> ServerProcess:
        process = _start(*self._args)
        with self._lock:
            abandoned = self._abandoned
            self._process = None if abandoned else process
        if abandoned:
            process.__exit__(None, None, None)
        return process

    def abandon(self) -> None:
        with self._lock:
            self._abandoned = True
            process, self._process = self._process, None
        if process is not None:
            process.__exit__(None, None, None)
