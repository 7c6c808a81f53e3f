"""The server side of a WebSocket, written by hand for the peers that tests and
benchmarks script themselves: the opening handshake's answer and the frames a
server sends. Reading the client's frames stays with each peer, since one
reads a blocking socket step by step and checks what it reads, the other
parses an asyncio buffer as fast as it can."""

from __future__ import annotations

import base64
import hashlib
import os
import struct

GUID = b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11"

CONTINUATION, TEXT, BINARY, CLOSE, PING, PONG = 0x0, 0x1, 0x2, 0x8, 0x9, 0xA


def accept_for(key: str) -> str:
    return base64.b64encode(hashlib.sha1(key.encode() + GUID).digest()).decode()


def header_value(request: bytes, name: str) -> str | None:
    for line in request.split(b"\r\n")[1:]:
        if b":" in line:
            n, v = line.split(b":", 1)
            if n.strip().lower() == name.lower().encode():
                return v.strip().decode()
    return None


def response_head(status_line: str, headers: list[tuple[str, str]]) -> bytes:
    return (status_line + "\r\n" + "".join(f"{n}: {v}\r\n" for n, v in headers) + "\r\n").encode()


def upgrade_response(
    request: bytes,
    *,
    status_line: str = "HTTP/1.1 101 Switching Protocols",
    upgrade: str | None = "websocket",
    connection: str | None = "Upgrade",
    accept: str | None = None,
    extra: list[tuple[str, str]] | None = None,
) -> bytes:
    """The answer to an upgrade request; every part can be replaced or left out (None)."""
    key = header_value(request, "Sec-WebSocket-Key") or ""
    headers: list[tuple[str, str]] = []
    if upgrade is not None:
        headers.append(("Upgrade", upgrade))
    if connection is not None:
        headers.append(("Connection", connection))
    headers.append(("Sec-WebSocket-Accept", accept if accept is not None else accept_for(key)))
    headers.extend(extra or [])
    return response_head(status_line, headers)


def encode_frame(
    opcode: int,
    payload: bytes,
    *,
    fin: bool = True,
    mask: bool = False,
    length: int | None = None,
) -> bytes:
    """One frame as a server would send it; `length` may lie about the size."""
    n = len(payload) if length is None else length
    head = bytes([(0x80 if fin else 0) | opcode])
    mask_bit = 0x80 if mask else 0
    if n < 126:
        head += bytes([mask_bit | n])
    elif n < 1 << 16:
        head += bytes([mask_bit | 126]) + struct.pack("!H", n)
    else:
        head += bytes([mask_bit | 127]) + struct.pack("!Q", n)
    if mask:
        key = os.urandom(4)
        payload = bytes(b ^ key[i % 4] for i, b in enumerate(payload))
        head += key
    return head + payload
