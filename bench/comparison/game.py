"""The game as the hand-written clients and the measuring server play it."""

from __future__ import annotations

from kestrel_wire import read_varint

from kestrel_dev.board import over

JOIN = b"\x00\x00"


class FirstFreeGame:
    """The hand-written clients' side of one game: feed it each binary message,
    send back what it returns. Plays the first free cell."""

    __slots__ = ("board", "seat", "mover")

    def __init__(self) -> None:
        self.board: list[int | None] = [None] * 9
        self.seat = -1
        self.mover = 0

    def on_message(self, data: bytes) -> bytes | None:
        if self.seat < 0:
            if len(data) < 2 or data[0] != 0:
                return None
            self.seat, _ = read_varint(data, 1)
            return self._move() if self.seat == 0 else None
        cell = data[0]
        self.board[cell] = self.mover
        self.mover ^= 1
        return None if over(self.board) else self._move()

    def _move(self) -> bytes:
        cell = self.board.index(None)
        self.board[cell] = self.mover
        self.mover ^= 1
        return bytes((cell,))
