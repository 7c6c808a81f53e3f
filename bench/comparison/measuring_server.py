"""The measuring server: plain asyncio with minimal frame code, the same for
every client, in a process of its own. It times the client's replies
("latency") or takes the join and then stays silent ("idle")."""

from __future__ import annotations

import asyncio
import json
import os
import sys
import time
from typing import Any

from comparison.child import raise_nofile
from comparison.game import JOIN
from kestrel_dev.board import over
from kestrel_dev.websocket_server import BINARY, CLOSE, PING, PONG, encode_frame, upgrade_response


class MeasuringConnection(asyncio.Protocol):
    """One connection to the measuring server, an asyncio protocol: a
    minimal WebSocket server side that either plays first-free at once and
    times the client's replies ("latency") or takes the join and then stays
    silent ("idle")."""

    def __init__(self, server: MeasuringServer) -> None:
        super().__init__()
        self.server = server
        self.buffer = bytearray()
        self.upgraded = False
        self.game: list[int | None] | None = None
        self.client_seat = 0
        self.mover = 0
        self.sent_at = 0
        self.closing = False
        self.transport: Any = None

    def connection_made(self, transport: Any) -> None:  # type: ignore[override]
        self.transport = transport

    def connection_lost(self, exc: Exception | None) -> None:
        if self.game is not None:
            self.server.game_ended()

    def eof_received(self) -> bool:
        return False

    def data_received(self, data: bytes) -> None:
        now = time.perf_counter_ns()
        self.buffer += data
        if not self.upgraded:
            end = self.buffer.find(b"\r\n\r\n")
            if end < 0:
                return
            request = bytes(self.buffer[:end])
            del self.buffer[: end + 4]
            self.transport.write(upgrade_response(request))
            self.upgraded = True
        while len(self.buffer) >= 2:
            size = self.buffer[1] & 0x7F
            at = 2
            if size == 126:
                size, at = int.from_bytes(self.buffer[2:4], "big"), 4
            elif size == 127:
                size, at = int.from_bytes(self.buffer[2:10], "big"), 10
            masked = self.buffer[1] & 0x80
            if len(self.buffer) < at + (4 if masked else 0) + size:
                return
            opcode = self.buffer[0] & 0x0F
            if masked:
                mask = self.buffer[at : at + 4]
                at += 4
                payload = bytes(b ^ mask[i % 4] for i, b in enumerate(self.buffer[at : at + size]))
            else:
                payload = bytes(self.buffer[at : at + size])
            del self.buffer[: at + size]
            self.on_frame(opcode, payload, now)

    def on_frame(self, opcode: int, payload: bytes, now: int) -> None:
        if opcode == PING:
            self.transport.write(encode_frame(PONG, payload))
        elif opcode == CLOSE:
            if not self.closing:
                self.transport.write(encode_frame(CLOSE, payload[:2]))
            self.transport.close()
        elif opcode == BINARY and not self.closing:
            if self.game is None:
                if payload == JOIN:
                    self.start()
            elif self.server.mode == "latency" and self.mover == self.client_seat and payload:
                if self.sent_at:  # not the opening move, which answers the start
                    self.server.sample(now - self.sent_at, self.sent_at)
                self.play(payload[0])
                if not self.closing:
                    self.move()

    def start(self) -> None:
        self.game = [None] * 9
        self.client_seat = self.server.game_started()
        if self.server.mode != "latency":
            return
        self.transport.write(encode_frame(BINARY, bytes((0, self.client_seat))))
        if self.client_seat == 1:
            self.move()

    def move(self) -> None:
        assert self.game is not None
        cell = self.game.index(None)
        data = encode_frame(BINARY, bytes((cell,)))  # before the clock: the client's time only
        self.sent_at = time.perf_counter_ns()
        self.transport.write(data)
        self.play(cell)

    def play(self, cell: int) -> None:
        assert self.game is not None
        self.game[cell] = self.mover
        self.mover ^= 1
        if over(self.game):
            # Like kestrel-server: the last move, then a normal close.
            self.closing = True
            self.transport.write(encode_frame(CLOSE, (1000).to_bytes(2, "big") + b"game over"))


class MeasuringServer:
    def __init__(self, mode: str, warm_games: int, targets: set[int], moments: bool = False) -> None:
        self.mode = mode
        self.warm_games = warm_games
        self.targets = targets
        self.started = 0
        self.ended = 0
        self.samples: list[int] = []
        # With `moments`, also when each timed move left (monotonic clock),
        # for bench/turn_budget.py to line up with the client's own stamps.
        self.sent: list[int] | None = [] if moments else None

    def game_started(self) -> int:
        self.started += 1
        if self.started in self.targets:
            print(f"joined {self.started}", flush=True)
        return self.started % 2  # the client's seat alternates

    def game_ended(self) -> None:
        self.ended += 1

    def sample(self, ns: int, sent_at: int) -> None:
        if self.started > self.warm_games:
            self.samples.append(ns)
            if self.sent is not None:
                self.sent.append(sent_at)


def run_measuring_server(spec: dict[str, Any]) -> None:
    """Listens on loopback, prints its port, serves until stdin closes, then
    prints what it measured as one JSON line."""
    import threading

    raise_nofile()
    server = MeasuringServer(spec["mode"], spec.get("warm_games", 0), set(spec.get("targets", [])),
                             spec.get("moments", False))

    async def serve() -> None:
        loop = asyncio.get_running_loop()
        stop = asyncio.Event()
        threading.Thread(
            target=lambda: (sys.stdin.read(), loop.call_soon_threadsafe(stop.set)), daemon=True
        ).start()
        listener = await loop.create_server(
            lambda: MeasuringConnection(server), "127.0.0.1", 0, backlog=4096
        )
        print(f"port {listener.sockets[0].getsockname()[1]}", flush=True)
        await stop.wait()
        listener.close()

    asyncio.run(serve())
    result = {"samples_ns": server.samples, "started": server.started, "ended": server.ended}
    if server.sent is not None:
        result["sent_ns"] = server.sent
    print(json.dumps(result))
    sys.stdout.flush()
    os._exit(0)
