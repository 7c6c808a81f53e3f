"""A bot that calls sys.exit in its turn, as a script's author might."""

from __future__ import annotations

import sys

import kestrel


class Exits(kestrel.TicTacToeClient):
    async def handle_turn(self, state: kestrel.PyTicTacToeState) -> int:
        sys.exit(3)
