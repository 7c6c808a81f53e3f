"""A bot that never answers its turn (the server's --move-time decides)."""

from __future__ import annotations

import asyncio

import kestrel


class Hang(kestrel.TicTacToeClient):
    async def handle_turn(self, state: kestrel.PyTicTacToeState) -> int:
        await asyncio.Event().wait()
        return 0
