"""Players and helpers shared by the kestrel client tests."""

from __future__ import annotations

import asyncio
import os
import subprocess
import sys
import time
from collections.abc import Callable, Iterable
from typing import Any

from websockets.asyncio.client import connect as ws_connect

import kestrel
from support.loops import child_preamble

# Move lists per seat for three finished games (seat 0 plays X).
TIE = ([0, 2, 7, 3, 8], [4, 1, 5, 6])  # X O X / X O O / O X X
X_WINS = ([0, 1, 2], [3, 4])  # top row
O_WINS = ([0, 1, 8], [3, 4, 5])  # middle row

TIMEOUT = 30.0  # generous: only there to turn a hang into a failure


class ScriptedClient(kestrel.TicTacToeClient):
    """Plays a fixed list of cells and records every state it was shown."""

    def __new__(cls, *args: Any, **kwargs: Any) -> ScriptedClient:
        return super().__new__(cls)

    def __init__(self, moves: Iterable[int]) -> None:
        self.moves = list(moves)
        self.states: list[Any] = []
        self.boards: list[list[str | None]] = []

    async def handle_turn(self, state: Any) -> int:
        self.states.append(state)
        self.boards.append(state.board)
        return self.moves.pop(0)


async def wait_until(condition: Callable[[], bool], timeout: float = TIMEOUT) -> None:
    """Polls `condition` on the running loop; raises instead of hanging."""
    end = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > end:
            raise TimeoutError("condition not reached")
        await asyncio.sleep(0.005)


def wait_until_sync(condition: Callable[[], bool], timeout: float = TIMEOUT) -> None:
    end = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > end:
            raise TimeoutError("condition not reached")
        time.sleep(0.005)


async def connect_in_seat_order(server: Any, url: str, *clients: kestrel.TicTacToeClient) -> list[Any]:
    """Starts the clients one after the other, each once the server has seen
    the previous one's join request, so the first gets seat 0."""
    futures = []
    for client in clients:
        seen = len(server.join_requests)
        futures.append(client.connect(url))
        await wait_until(lambda: len(server.join_requests) > seen)  # noqa: B023 (called before the loop moves on)
    return futures


async def play_game(server: Any, url: str, *clients: kestrel.TicTacToeClient) -> list[Any]:
    futures = await connect_in_seat_order(server, url, *clients)
    return await asyncio.wait_for(asyncio.gather(*futures), TIMEOUT)


class RawOpponent:
    """A plain websockets peer that joins and then only listens; used where
    the kestrel client under test must not depend on a second kestrel."""

    def __init__(self, url: str) -> None:
        self.url = url
        self.received: list[bytes] = []
        self._task: asyncio.Task[None] | None = None

    async def __aenter__(self) -> RawOpponent:
        self._task = asyncio.ensure_future(self._run())
        return self

    async def __aexit__(self, *exc: object) -> None:
        assert self._task is not None
        self._task.cancel()
        try:
            await self._task
        except asyncio.CancelledError:
            pass

    async def _run(self) -> None:
        async with ws_connect(self.url) as ws:
            await ws.send(b"\x00\x00")
            async for message in ws:
                self.received.append(message if isinstance(message, bytes) else message.encode())


def run_python(code: str, *args: str, env: dict[str, str] | None = None, timeout: float = 60.0,
               **kwargs: Any) -> subprocess.CompletedProcess[str]:
    """Runs `code` in a fresh interpreter with this process's environment
    (so `import kestrel` resolves the same way) and event loop."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run([sys.executable, "-c", child_preamble() + code, *args], env=full_env,
                          capture_output=True, text=True, timeout=timeout, **kwargs)


def start_python(code: str, *args: str, env: dict[str, str] | None = None) -> subprocess.Popen[str]:
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.Popen([sys.executable, "-c", child_preamble() + code, *args], env=full_env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

