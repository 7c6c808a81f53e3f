"""A hand-written `picows` client: callbacks instead of an `async for`, the
fastest asyncio WebSocket client a user could pick, so the anchor of the
comparison."""

from __future__ import annotations

from typing import Any

from comparison.game import JOIN, FirstFreeGame

NAME = "picows"
RANK = 3
PACKAGE = "picows"
COLOUR = "#e7298a"


def _listener_classes() -> tuple[type[Any], type[Any]]:
    from picows import WSListener, WSMsgType

    binary, close = WSMsgType.BINARY, WSMsgType.CLOSE

    class Player(WSListener):
        def on_ws_connected(self, transport: Any) -> None:
            self.game = FirstFreeGame()
            transport.send(binary, JOIN)

        def on_ws_frame(self, transport: Any, frame: Any) -> None:
            if frame.msg_type == binary:
                if reply := self.game.on_message(frame.get_payload_as_bytes()):
                    transport.send(binary, reply)
            elif frame.msg_type == close:
                # picows leaves the closing handshake to its user: answer
                # with the peer's code and hang up.
                transport.send_close(frame.get_close_code(), frame.get_close_message())
                transport.disconnect()

    class Idle(WSListener):
        def on_ws_connected(self, transport: Any) -> None:
            transport.send(binary, JOIN)

    return Player, Idle


class Client:
    async def __aenter__(self) -> Client:
        from picows import ws_connect

        self.connect = ws_connect
        self.player, self.idler = _listener_classes()
        return self

    async def __aexit__(self, *exc: object) -> None:
        pass

    async def game(self, url: str) -> None:
        transport, _ = await self.connect(self.player, url)
        await transport.wait_disconnected()

    async def idle(self, url: str) -> None:
        transport, _ = await self.connect(self.idler, url)
        await transport.wait_disconnected()


STARTUP = """
import asyncio
from picows import WSListener, ws_connect

async def main():
    transport, _ = await ws_connect(WSListener, URL)
    print("Connected to " + URL, flush=True)
    transport.disconnect()
    await transport.wait_disconnected()
"""
