"""Play tic-tac-toe against a kestrel match server from asyncio.

Subclass `TicTacToeClient`, give it an ``async def handle_turn(self, state)``
that returns the cell to take (0-8, ``3 * row + column``), and await
``connect(url)`` from inside a running event loop::

    class Bot(kestrel.TicTacToeClient):
        async def handle_turn(self, state: kestrel.PyTicTacToeState) -> int:
            return state.board.index(None)

    async def main() -> None:
        await Bot().connect("ws://127.0.0.1:9000")

    asyncio.run(main())

The module prints its progress and the result on standard output itself.
"""

import asyncio
from abc import abstractmethod
from typing import Self, final

from typing_extensions import disjoint_base

__all__ = ["TicTacToeClient"]

@final
class PyTicTacToeState:
    """The board at the moment a turn began; read-only and never changes.

    It is created by the module for each call of ``handle_turn``: it cannot be
    constructed or subclassed, and at run time it is not an attribute of the
    module (annotate with ``from __future__ import annotations``).
    """

    @property
    def board(self) -> list[str | None]:
        """The nine cells in order 0-8 (``3 * row + column``): ``"X"`` for the
        player who moves first (seat 0), ``"O"`` for the other, ``None`` when
        empty. Each read returns a new list."""

@disjoint_base
class TicTacToeClient:
    """Base class of a tic-tac-toe player; subclass it and define `handle_turn`.

    Takes no constructor arguments (a subclass whose ``__init__`` takes some
    must also override ``__new__``).
    """

    def __new__(cls) -> Self: ...
    def connect(self, url: str) -> asyncio.Future[None]:
        """Plays one whole game on the server at ``url`` (``ws://host:port``).

        Must be called while an asyncio event loop is running in this thread
        (otherwise it raises at once). Returns at once a future of that loop
        which completes with ``None`` when the game is over -- also when the
        connection failed or was closed, which is printed rather than raised.
        The future fails only when ``handle_turn`` does (raises, is missing, or
        returns something other than an integer from 0 to 8); cancelling it
        abandons the game. Several games may run at once.
        """

    @abstractmethod
    async def handle_turn(self, state: PyTicTacToeState) -> int:
        """Provided by the subclass: called on each of this player's turns
        with the current board, returns the cell to take, 0-8.

        Runs on the event loop of `connect`; it may await anything (network,
        ``asyncio.to_thread(input)``) but should not block the loop. Choosing
        an occupied cell loses the game on a kestrel-server.
        """
