"""kestrel: a `kestrel.TicTacToeClient` subclass, the reference."""

from __future__ import annotations

from typing import Any

NAME = "kestrel"
RANK = 0
PACKAGE = None  # the module measured is recorded by path instead
COLOUR = "#d95f02"


class Client:
    async def __aenter__(self) -> Client:
        import kestrel

        class FirstFree(kestrel.TicTacToeClient):
            async def handle_turn(self, state: Any) -> int:
                return state.board.index(None)

        self.player = FirstFree
        return self

    async def __aexit__(self, *exc: object) -> None:
        pass

    async def game(self, url: str) -> None:
        await self.player().connect(url)

    async def idle(self, url: str) -> None:
        await self.player().connect(url)


# kestrel prints "Connected to" itself.
STARTUP = """
import asyncio
import kestrel

class FirstFree(kestrel.TicTacToeClient):
    async def handle_turn(self, state):
        return state.board.index(None)

async def main():
    await FirstFree().connect(URL)
"""
