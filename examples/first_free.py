"""The simplest bot: takes the first free cell, scanning 0 to 8.

    python examples/first_free.py [ws://127.0.0.1:9000]
"""

from __future__ import annotations  # kestrel.PyTicTacToeState exists for type checkers only

import asyncio
import sys

import kestrel


class FirstFree(kestrel.TicTacToeClient):
    async def handle_turn(self, state: kestrel.PyTicTacToeState) -> int:
        return state.board.index(None)


async def main(url: str) -> None:
    await FirstFree().connect(url)


if __name__ == "__main__":
    asyncio.run(main(sys.argv[1] if len(sys.argv) > 1 else "ws://127.0.0.1:9000"))
