"""A match server for tests, built on the `websockets` library.

It pairs clients in the order their join requests arrive, sends seats 0 and 1,
and relays every binary message of one player to the other. It runs its own
event loop on a background thread so that synchronous tests, asyncio tests and
subprocess tests can all use it.
"""

from __future__ import annotations

import asyncio
import threading
import time
from collections import deque
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

from websockets.asyncio.server import ServerConnection, serve
from websockets.exceptions import ConnectionClosed

from kestrel_dev.board import over

JOIN = b"\x00\x00"


@dataclass
class Game:
    """What the server saw of one game: the moves relayed, by seat."""

    moves: list[tuple[int, int]] = field(default_factory=list)
    finished: threading.Event = field(default_factory=threading.Event)


def _wait(condition: Callable[[], bool], timeout: float, why: Callable[[], str]) -> None:
    end = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > end:
            raise TimeoutError(why())
        time.sleep(0.01)


class MatchServer:
    """Start with `with MatchServer() as server:`; clients connect to `server.url`."""

    def __init__(self, close_after_game: bool = False) -> None:
        self.close_after_game = close_after_game
        self.games: list[Game] = []
        self.join_requests: list[bytes] = []
        self._loop = asyncio.new_event_loop()
        self._thread = threading.Thread(target=self._loop.run_forever, daemon=True)
        # First players still without a partner, with the future their
        # handler waits on until their game is over.
        self._waiting: deque[tuple[ServerConnection, asyncio.Future[None]]] | None = None
        self._server: Any = None
        self.port = 0

    @property
    def url(self) -> str:
        return f"ws://127.0.0.1:{self.port}"

    def __enter__(self) -> MatchServer:
        self._thread.start()
        asyncio.run_coroutine_threadsafe(self._start(), self._loop).result(timeout=10)
        return self

    def __exit__(self, *exc: object) -> None:
        asyncio.run_coroutine_threadsafe(self._stop(), self._loop).result(timeout=10)
        self._loop.call_soon_threadsafe(self._loop.stop)
        self._thread.join(timeout=10)
        self._loop.close()

    def wait_for_games(self, count: int, timeout: float = 30.0) -> list[Game]:
        """Blocks until `count` games have finished (by the board) or raises."""
        _wait(lambda: sum(g.finished.is_set() for g in self.games) >= count, timeout,
              lambda: f"only {len(self.games)} games started, fewer finished")
        return [g for g in self.games if g.finished.is_set()]

    def wait_for_joins(self, count: int, timeout: float = 30.0) -> list[bytes]:
        """Blocks until `count` clients have sent their first message, so that
        tests can decide who gets seat 0."""
        _wait(lambda: len(self.join_requests) >= count, timeout,
              lambda: f"only {len(self.join_requests)} clients joined")
        return list(self.join_requests)

    async def _start(self) -> None:
        self._waiting = deque()
        self._server = await serve(self._handle, "127.0.0.1", 0, max_size=None)
        self.port = self._server.sockets[0].getsockname()[1]

    async def _stop(self) -> None:
        self._server.close()
        await self._server.wait_closed()

    async def _handle(self, ws: ServerConnection) -> None:
        try:
            first = await ws.recv()
        except ConnectionClosed:
            return  # left (or the server stopped) before joining
        self.join_requests.append(first if isinstance(first, bytes) else first.encode())
        if first != JOIN:
            await ws.close()
            return
        assert self._waiting is not None
        if not self._waiting:
            await self._wait_for_partner(ws)
            return
        opponent, game_over = self._waiting.popleft()
        game = Game()
        self.games.append(game)
        try:
            await self._play(game, opponent, ws)
        finally:
            game_over.set_result(None)

    async def _wait_for_partner(self, ws: ServerConnection) -> None:
        """Parks the first player until its game is over, or until its
        connection goes away before a partner came (then it leaves the queue,
        and stopping the server never waits for a partner that won't come)."""
        assert self._waiting is not None
        game_over: asyncio.Future[None] = asyncio.get_running_loop().create_future()
        entry = (ws, game_over)
        self._waiting.append(entry)
        closed = asyncio.ensure_future(ws.wait_closed())
        try:
            await asyncio.wait({game_over, closed}, return_when=asyncio.FIRST_COMPLETED)
        finally:
            closed.cancel()
            if entry in self._waiting:
                self._waiting.remove(entry)

    async def _play(self, game: Game, first: ServerConnection, second: ServerConnection) -> None:
        try:
            await first.send(b"\x00\x00")
            await second.send(b"\x00\x01")
        except ConnectionClosed:
            game.finished.set()
            return
        board: list[int | None] = [None] * 9
        seats = (first, second)
        mover = 0
        while not over(board):
            try:
                message = await seats[mover].recv()
            except Exception:
                break
            if not isinstance(message, bytes) or not message or message[0] > 8:
                continue
            cell = message[0]
            board[cell] = mover
            game.moves.append((mover, cell))
            try:
                await seats[1 - mover].send(bytes([cell]))
            except Exception:
                break
            mover = 1 - mover
        game.finished.set()
        if self.close_after_game:
            await first.close()
            await second.close()
        else:
            # Keep both connections open until the clients go away.
            await asyncio.gather(first.wait_closed(), second.wait_closed())
