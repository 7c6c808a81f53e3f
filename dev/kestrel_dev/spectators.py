"""The spectator side of kestrel-server --web: its address, its JSON state,
a reader of its event stream, and raw-WebSocket players for its games.
Shared by the tests and the benchmarks; it needs `websockets`, a test and
benchmark dependency, so the arena itself never imports it."""

from __future__ import annotations

import asyncio
import json
import urllib.request
from dataclasses import dataclass, field
from typing import Any

from websockets.asyncio.client import ClientConnection, connect

from kestrel_dev.board import over
from kestrel_testing.server_process import ServerProcess

SPECTATORS = "kestrel-server spectators on "
JOIN = b"\x00\x00"


def web_url(server: ServerProcess) -> str:
    """The page's address: the line the server prints right after its
    listening line (usually already in the pipe's read buffer, so no select)."""
    assert server.process is not None and server.process.stdout is not None
    line = server.process.stdout.readline()
    assert line.startswith(SPECTATORS), f"no spectator line: {line!r}"
    return line[len(SPECTATORS) :].strip()


def state(url: str) -> dict[str, Any]:
    with urllib.request.urlopen(url + "state", timeout=30) as response:
        assert response.headers["Content-Type"] == "application/json"
        return json.loads(response.read())


def peer(ws: ClientConnection) -> str:
    host, port = ws.local_address[:2]
    return f"{host}:{port}"


@dataclass
class EventStream:
    """GET /events on a raw connection; `events` fills as they arrive.
    `closed` is set once the server ends the stream (a drop)."""

    events: list[dict[str, Any]] = field(default_factory=list)
    closed: bool = False
    head: bytes = b""
    _task: asyncio.Task[None] | None = None
    _writer: asyncio.StreamWriter | None = None

    async def open(self, url: str) -> EventStream:
        host, port = url.removeprefix("http://").rstrip("/").rsplit(":", 1)
        reader, self._writer = await asyncio.open_connection(host, int(port))
        self._writer.write(f"GET /events HTTP/1.1\r\nHost: {host}\r\n\r\n".encode())
        self.head = await reader.readuntil(b"\r\n\r\n")
        self._task = asyncio.create_task(self._read(reader))
        return self

    async def _read(self, reader: asyncio.StreamReader) -> None:
        # Whole chunks split by hand: parsing line by line would make the
        # reader, not the server, the slow part of a busy run.
        pending = b""
        while chunk := await reader.read(1 << 16):
            pending += chunk
            *whole, pending = pending.split(b"\n\n")
            for block in whole:
                if block.startswith(b"data: "):
                    self.events.append(json.loads(block[6:]))
        self.closed = True

    def of_type(self, kind: str) -> list[dict[str, Any]]:
        return [e for e in self.events if e["type"] == kind]

    async def close(self) -> None:
        if self._writer is not None:
            self._writer.close()
            await asyncio.gather(self._writer.wait_closed(), return_exceptions=True)
        if self._task is not None:
            await asyncio.gather(self._task, return_exceptions=True)


async def wait_for(condition: Any, timeout: float = 60.0) -> None:
    end = asyncio.get_running_loop().time() + timeout
    while not condition():
        if asyncio.get_running_loop().time() > end:
            raise TimeoutError("condition not reached")
        await asyncio.sleep(0.01)


async def house_game(url: str, started: asyncio.Event | None = None, ready: list[int] | None = None) -> str:
    """One game against the house bot, first free cell each turn. With
    `started`, reports itself in `ready` once its game is on and makes no
    move until `started` is set. Returns the final board as 'XO.' text."""
    ws = await connect(url, proxy=None, compression=None)
    try:
        await ws.send(JOIN)
        start = await ws.recv()
        assert isinstance(start, bytes) and start[0] == 0
        seat = start[1]
        board: list[str | None] = [None] * 9
        turn = 0
        if started is not None and ready is not None:
            if seat == 1:  # the house has moved already; take its move first
                board[(await ws.recv())[0]] = "X"
                turn = 1
            ready.append(seat)
            await started.wait()
        while not over(board):
            mark = "XO"[turn % 2]
            if turn % 2 == seat:
                cell = board.index(None)
                await ws.send(bytes([cell]))
            else:
                message = await ws.recv()
                assert isinstance(message, bytes) and len(message) == 1
                cell = message[0]
            board[cell] = mark
            turn += 1
        return "".join(m or "." for m in board)
    finally:
        await ws.close()
