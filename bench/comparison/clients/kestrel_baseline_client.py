"""kestrel-base: the same player on another build of kestrel (`--baseline
DIR`), so that a change is measured against its base in one run, taking turns
with the other clients. Only measured when asked for."""

from __future__ import annotations

import os
import sys
from typing import Any

NAME = "kestrel-base"
RANK = 90
PACKAGE = None
COLOUR = "#fdb863"
OPTIONAL = True  # not among the default clients


class Client:
    async def __aenter__(self) -> Client:
        sys.path.insert(0, os.environ["KESTREL_BASELINE_DIR"])
        import kestrel

        assert os.path.dirname(os.path.abspath(kestrel.__file__)) == os.path.abspath(sys.path[0])

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


STARTUP = """
import asyncio
import os
import sys
sys.path.insert(0, os.environ["KESTREL_BASELINE_DIR"])
import kestrel

class FirstFree(kestrel.TicTacToeClient):
    async def handle_turn(self, state):
        return state.board.index(None)

async def main():
    await FirstFree().connect(URL)
"""
