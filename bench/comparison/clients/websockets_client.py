"""A hand-written `websockets` client."""

from __future__ import annotations

from typing import Any

from comparison.game import JOIN, FirstFreeGame

NAME = "websockets"
RANK = 1
PACKAGE = "websockets"
COLOUR = "#1b9e77"


class Client:
    async def __aenter__(self) -> Client:
        from websockets.asyncio.client import connect

        self.connect = connect
        return self

    async def __aexit__(self, *exc: object) -> None:
        pass

    def _open(self, url: str) -> Any:
        return self.connect(url, compression=None, proxy=None)

    async def game(self, url: str) -> None:
        async with self._open(url) as ws:
            await ws.send(JOIN)
            game = FirstFreeGame()
            async for message in ws:
                if isinstance(message, bytes) and (reply := game.on_message(message)):
                    await ws.send(reply)

    async def idle(self, url: str) -> None:
        async with self._open(url) as ws:
            await ws.send(JOIN)
            await ws.recv()


STARTUP = """
import asyncio
from websockets.asyncio.client import connect

async def main():
    async with connect(URL, compression=None, proxy=None):
        print("Connected to " + URL, flush=True)
"""
