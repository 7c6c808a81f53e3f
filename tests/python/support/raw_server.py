"""Scripted raw-TCP WebSocket servers for what a well-behaved library won't do.

The test drives each accepted connection step by step from its own thread:
record the exact handshake bytes, answer with any status line and headers,
send arbitrary frames (pings, text, junk, close, oversized headers, masked
frames), read the client's frames (checking that they are masked) and watch
the connection end.

    with RawServer() as server:
        client = start_client(server.url)
        conn = server.accept()
        request = conn.read_request()
        conn.upgrade(request)
        assert conn.read_frame() == Frame(True, BINARY, b"\\x00\\x00")
"""

from __future__ import annotations

import socket
import struct
from dataclasses import dataclass
from typing import Any

from kestrel_dev.websocket_server import BINARY, CLOSE, PING, TEXT, encode_frame, response_head, upgrade_response

TIMEOUT = 30.0  # generous: only there so that a broken client cannot hang a test


@dataclass(frozen=True)
class Frame:
    fin: bool
    opcode: int
    payload: bytes

    @property
    def close_code(self) -> int | None:
        return struct.unpack("!H", self.payload[:2])[0] if len(self.payload) >= 2 else None


class RawConnection:
    def __init__(self, sock: socket.socket) -> None:
        self.sock = sock
        self.sock.settimeout(TIMEOUT)
        self._buffer = b""

    # --- bytes -------------------------------------------------------------

    def _fill(self) -> bool:
        chunk = self.sock.recv(65536)
        if not chunk:
            return False
        self._buffer += chunk
        return True

    def _take(self, n: int) -> bytes | None:
        while len(self._buffer) < n:
            if not self._fill():
                return None
        out, self._buffer = self._buffer[:n], self._buffer[n:]
        return out

    def read_exact(self, n: int) -> bytes | None:
        """Exactly n raw bytes from the client; None if it ends first."""
        return self._take(n)

    def send(self, data: bytes) -> None:
        self.sock.sendall(data)

    # --- handshake ---------------------------------------------------------

    def read_request(self) -> bytes:
        """The client's upgrade request, byte for byte, up to its empty line."""
        while b"\r\n\r\n" not in self._buffer:
            if not self._fill():
                raise EOFError(f"connection ended inside the request: {self._buffer!r}")
        end = self._buffer.index(b"\r\n\r\n") + 4
        request, self._buffer = self._buffer[:end], self._buffer[end:]
        return request

    def respond(self, status_line: str, headers: list[tuple[str, str]], body: bytes = b"") -> None:
        self.send(response_head(status_line, headers) + body)

    def upgrade(self, request: bytes, **answer: Any) -> None:
        """Answers the upgrade; `answer` replaces or leaves out (None) any part
        of it, as `upgrade_response` takes them."""
        self.send(upgrade_response(request, **answer))

    def handshake(self) -> bytes:
        """Reads the request and accepts it; returns the request."""
        request = self.read_request()
        self.upgrade(request)
        return request

    # --- frames ------------------------------------------------------------

    def send_frame(self, opcode: int, payload: bytes = b"", **kwargs: object) -> None:
        self.send(encode_frame(opcode, payload, **kwargs))  # type: ignore[arg-type]

    def send_binary(self, payload: bytes) -> None:
        self.send_frame(BINARY, payload)

    def send_text(self, text: str) -> None:
        self.send_frame(TEXT, text.encode())

    def send_ping(self, payload: bytes) -> None:
        self.send_frame(PING, payload)

    def send_close(self, code: int | None = 1000, reason: str = "") -> None:
        payload = b"" if code is None else struct.pack("!H", code) + reason.encode()
        self.send_frame(CLOSE, payload)

    def read_frame(self) -> Frame | None:
        """The client's next frame, unmasked; None at the end of the stream.
        Client frames must be masked: an unmasked one fails the test."""
        head = self._take(2)
        if head is None:
            return None
        fin = bool(head[0] & 0x80)
        opcode = head[0] & 0x0F
        assert head[1] & 0x80, "client frame is not masked"
        n = head[1] & 0x7F
        if n == 126:
            n = struct.unpack("!H", self._take(2) or b"\0\0")[0]
        elif n == 127:
            n = struct.unpack("!Q", self._take(8) or b"\0" * 8)[0]
        key = self._take(4)
        payload = self._take(n)
        assert key is not None and payload is not None, "connection ended inside a frame"
        return Frame(fin, opcode, bytes(b ^ key[i % 4] for i, b in enumerate(payload)))

    def frames_until_end(self) -> list[Frame]:
        """Every further frame until the client closes the TCP connection."""
        frames = []
        while True:
            try:
                frame = self.read_frame()
            except ConnectionResetError:
                return frames
            if frame is None:
                return frames
            frames.append(frame)

    def read_until_end(self) -> bytes:
        """Every further byte until the client closes the TCP connection."""
        data, self._buffer = self._buffer, b""
        while True:
            try:
                chunk = self.sock.recv(65536)
            except ConnectionResetError:
                return data
            if not chunk:
                return data
            data += chunk

    def close(self) -> None:
        try:
            self.sock.close()
        except OSError:
            pass


class RawServer:
    """A listening socket on 127.0.0.1 (or another address and port); the test
    accepts and scripts each connection itself."""

    def __init__(
        self,
        host: str = "127.0.0.1",
        port: int = 0,
        family: int = socket.AF_INET,
        receive_buffer: int | None = None,
    ) -> None:
        self._listener = socket.socket(family, socket.SOCK_STREAM)
        self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        if receive_buffer is not None:
            # Set before listening so that accepted sockets advertise a small window.
            self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
        self._listener.bind((host, port))
        self._listener.listen(16)
        self._listener.settimeout(TIMEOUT)
        self.host = host
        self.port = self._listener.getsockname()[1]
        self._connections: list[RawConnection] = []

    @property
    def url(self) -> str:
        host = f"[{self.host}]" if ":" in self.host else self.host
        return f"ws://{host}:{self.port}"

    def accept(self) -> RawConnection:
        sock, _ = self._listener.accept()
        conn = RawConnection(sock)
        self._connections.append(conn)
        return conn

    def __enter__(self) -> RawServer:
        return self

    def __exit__(self, *exc: object) -> None:
        for conn in self._connections:
            conn.close()
        self._listener.close()
