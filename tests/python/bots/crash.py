"""A bot whose every turn raises: its process ends mid-game."""

from __future__ import annotations

import kestrel


class Crash(kestrel.TicTacToeClient):
    async def handle_turn(self, state: kestrel.PyTicTacToeState) -> int:
        raise RuntimeError("crash.py gives up")
