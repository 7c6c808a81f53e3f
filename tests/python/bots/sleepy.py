"""A bot whose import never finishes, so it never joins."""

from __future__ import annotations

import time

import kestrel

time.sleep(3600)


class Sleepy(kestrel.TicTacToeClient):
    async def handle_turn(self, state: kestrel.PyTicTacToeState) -> int:
        return 0
