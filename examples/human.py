"""Play yourself: shows the board and reads your move from the keyboard.

    python examples/human.py [ws://127.0.0.1:9000]

Start `kestrel-server --house-bot` to play the server's own (unbeatable) player.
"""

from __future__ import annotations  # kestrel.PyTicTacToeState exists for type checkers only

import asyncio
import sys

import kestrel


def render(board: list[str | None]) -> str:
    """The board as a 3x3 grid; free cells show their number."""
    cells = [mark or str(i) for i, mark in enumerate(board)]
    rows = [" | ".join(cells[r : r + 3]) for r in (0, 3, 6)]
    return "\n---------\n".join(rows)


class Human(kestrel.TicTacToeClient):
    async def handle_turn(self, state: kestrel.PyTicTacToeState) -> int:
        board = state.board
        print(f"\n{render(board)}\n", flush=True)
        while True:
            # input() blocks, so it runs in a worker thread and the event
            # loop (and the connection) stays alive while you think.
            try:
                answer = await asyncio.to_thread(input, "Your move (0-8): ")
            except EOFError:
                return board.index(None)  # no keyboard: take the first free cell
            if answer.strip().isdigit() and int(answer) < 9 and board[int(answer)] is None:
                return int(answer)
            print("Pick the number of a free cell.", flush=True)


async def main(url: str) -> None:
    await Human().connect(url)


if __name__ == "__main__":
    asyncio.run(main(sys.argv[1] if len(sys.argv) > 1 else "ws://127.0.0.1:9000"))
