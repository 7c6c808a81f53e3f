"""A bot that cannot even be imported."""

from __future__ import annotations

import kestrel_arena_no_such_module  # noqa: F401

import kestrel


class Broken(kestrel.TicTacToeClient):
    async def handle_turn(self, state: kestrel.PyTicTacToeState) -> int:
        return 0
