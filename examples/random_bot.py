"""Plays a random free cell each turn.

    python examples/random_bot.py [ws://127.0.0.1:9000]
"""

from __future__ import annotations  # kestrel.PyTicTacToeState exists for type checkers only

import asyncio
import random
import sys

import kestrel


class RandomBot(kestrel.TicTacToeClient):
    async def handle_turn(self, state: kestrel.PyTicTacToeState) -> int:
        free = [cell for cell, mark in enumerate(state.board) if mark is None]
        return random.choice(free)


async def main(url: str) -> None:
    await RandomBot().connect(url)


if __name__ == "__main__":
    asyncio.run(main(sys.argv[1] if len(sys.argv) > 1 else "ws://127.0.0.1:9000"))
