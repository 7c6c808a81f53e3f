"""A hand-written `aiohttp` client."""

from __future__ import annotations

from comparison.game import JOIN, FirstFreeGame

NAME = "aiohttp"
RANK = 2
PACKAGE = "aiohttp"
COLOUR = "#7570b3"


class Client:
    async def __aenter__(self) -> Client:
        import aiohttp

        self.binary = aiohttp.WSMsgType.BINARY
        # One session for every connection; no pool limit, since each
        # WebSocket holds its connection for the whole game.
        self.session = aiohttp.ClientSession(connector=aiohttp.TCPConnector(limit=0))
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self.session.close()

    async def game(self, url: str) -> None:
        async with self.session.ws_connect(url, compress=0) as ws:
            await ws.send_bytes(JOIN)
            game = FirstFreeGame()
            async for message in ws:
                if message.type == self.binary and (reply := game.on_message(message.data)):
                    await ws.send_bytes(reply)

    async def idle(self, url: str) -> None:
        async with self.session.ws_connect(url, compress=0) as ws:
            await ws.send_bytes(JOIN)
            await ws.receive()


STARTUP = """
import asyncio
import aiohttp

async def main():
    async with aiohttp.ClientSession() as session:
        async with session.ws_connect(URL, compress=0):
            print("Connected to " + URL, flush=True)
"""
