"""The WebSocket transport against scripted raw-TCP servers, through the
session_client driver: opening failures and their exact texts, the exact
request bytes, the response checks, and what the read and write halves do
with every kind of frame."""

from __future__ import annotations

import base64
import errno
import os
import re
import socket
import struct

import pytest

from kestrel_dev.websocket_server import (
    BINARY,
    CLOSE,
    CONTINUATION,
    PING,
    PONG,
    TEXT,
    accept_for,
    encode_frame,
    header_value,
)
from support.raw_server import Frame, RawServer
from support.session_driver import Driver, run_driver

KEY = r"[A-Za-z0-9+/]{22}=="
MAX_MESSAGE = 64 * 1024 * 1024


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def failed(url: str, description: str) -> str:
    return f"Failed to connect to {url}: {description}\n"


def assert_failed(result, url: str, description: str) -> None:
    assert (result.status, result.out, result.err) == (0, "", failed(url, description))



@pytest.fixture(autouse=True)
def _no_driver_left_behind():
    yield
    Driver.kill_all()

# --- failures before any network activity -----------------------------------


@pytest.mark.parametrize(
    ("url", "description"),
    [
        ("ws://bad host:1", "HTTP format error: invalid uri character"),
        ("ws://h/a b", "HTTP format error: invalid uri character"),
        ("ws://", "HTTP format error: invalid format"),
        ("ws://127.0.0.1:99999", "HTTP format error: invalid port"),
        ("/game", "URL error: No host name in the URL"),
        ("ws://:9000", "URL error: URL contains empty host name"),
        # No port and no ws/wss: refused without a lookup or a connection
        # (either would have failed differently).
        ("http://127.0.0.1", "URL error: URL scheme not supported"),
        ("http://kestrel-test.invalid/x", "URL error: URL scheme not supported"),
        ("WS://127.0.0.1", "URL error: URL scheme not supported"),
    ],
)
def test_unusable_urls_fail_with_their_text_only_on_stderr(build_dir, url, description):
    assert_failed(run_driver(build_dir, url), url, description)


def test_refused_connection_reports_the_system_text(build_dir):
    url = f"ws://127.0.0.1:{free_port()}/game"
    text = f"IO error: {os.strerror(errno.ECONNREFUSED)} (os error {errno.ECONNREFUSED})"
    assert_failed(run_driver(build_dir, url), url, text)


def test_failed_lookup_is_an_io_error(build_dir):
    url = "ws://kestrel-test.invalid:9000"
    result = run_driver(build_dir, url)
    assert result.out == "" and result.status == 0
    assert result.err.startswith(failed(url, "IO error: failed to lookup address information: ")[:-1])
    assert result.err.count("\n") == 1


# --- failures after the TCP connection ---------------------------------------


@pytest.mark.parametrize(
    ("scheme", "description"),
    [("wss", "URL error: TLS support not compiled in"), ("http", "URL error: URL scheme not supported")],
)
def test_other_schemes_fail_after_connecting_without_sending(build_dir, scheme, description):
    with RawServer() as server:
        url = f"{scheme}://127.0.0.1:{server.port}/x"
        driver = Driver(build_dir, url)
        conn = server.accept()  # the TCP connection was made ...
        assert conn.read_until_end() == b""  # ... and closed without a byte
        assert_failed(driver.finish(), url, description)


def test_wss_without_port_connects_to_443(build_dir):
    try:
        server = RawServer(port=443)
    except OSError:
        pytest.skip("port 443 is not available here")
    with server:
        url = "wss://127.0.0.1"
        driver = Driver(build_dir, url)
        assert server.accept().read_until_end() == b""
        assert_failed(driver.finish(), url, "URL error: TLS support not compiled in")


RESPONSE_FAILURES = [
    ({"status_line": "HTTP/1.1 200 OK", "extra": [("Content-Length", "0")]}, "HTTP error: 200 OK"),
    ({"status_line": "HTTP/1.1 404 Nope", "extra": [("Content-Length", "0")]}, "HTTP error: 404 Not Found"),
    (
        {"status_line": "HTTP/1.0 101 Switching Protocols"},
        "WebSocket protocol error: HTTP version must be 1.1 or higher",
    ),
    ({"upgrade": None}, 'WebSocket protocol error: No "Upgrade: websocket" header'),
    ({"upgrade": "websocket, h2c"}, 'WebSocket protocol error: No "Upgrade: websocket" header'),
    ({"upgrade": None, "connection": None}, 'WebSocket protocol error: No "Upgrade: websocket" header'),
    ({"connection": None}, 'WebSocket protocol error: No "Connection: upgrade" header'),
    ({"connection": "keep-alive"}, 'WebSocket protocol error: No "Connection: upgrade" header'),
    (
        {"accept": "AAAAAAAAAAAAAAAAAAAAAAAAAAA="},
        'WebSocket protocol error: Key mismatch in "Sec-WebSocket-Accept" header',
    ),
    (
        {"extra": [("Sec-WebSocket-Protocol", "chat")]},
        "WebSocket protocol error: SubProtocol error: Server sent a subprotocol but none was requested",
    ),
]


@pytest.mark.parametrize(("answer", "description"), RESPONSE_FAILURES)
def test_handshake_response_checks(build_dir, answer, description):
    with RawServer() as server:
        driver = Driver(build_dir, server.url)
        conn = server.accept()
        conn.upgrade(conn.read_request(), **answer)
        assert conn.read_until_end() == b""  # nothing sent, then closed
        assert_failed(driver.finish(), server.url, description)


@pytest.mark.parametrize(
    ("head", "description"),
    [
        (b"HTTP/1.1 200 OK\r\n\r\n", "HTTP error: 200 OK"),  # body until the server closes
        (b"HTTP/1.1 404 Not Found\r\nContent-Length: 100\r\n\r\npart of it", "HTTP error: 404 Not Found"),
        (b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n", "HTTP error: 200 OK"),
        (b"HTTP/1.0 200 OK\r\n\r\n", "WebSocket protocol error: HTTP version must be 1.1 or higher"),
        (b"HTTP/1.1 200 OK\r\nContent-Length: 9000000\r\n\r\n", "HTTP error: 200 OK"),
    ],
    ids=["no-length", "body-never-comes", "endless-chunks", "http-1.0", "huge-body"],
)
def test_refusals_are_judged_by_their_head_alone(build_dir, head, description):
    # The server keeps the connection open after the head: the client must
    # not wait for a body.
    with RawServer() as server:
        driver = Driver(build_dir, server.url)
        conn = server.accept()
        conn.read_request()
        conn.send(head)
        assert conn.read_until_end() == b""  # nothing sent, then closed
        assert_failed(driver.finish(), server.url, description)


def test_frame_in_the_same_segment_as_the_101(build_dir):
    with RawServer() as server:
        driver = Driver(build_dir, server.url, "--linger")
        conn = server.accept()
        key = header_value(conn.read_request(), "Sec-WebSocket-Key")
        conn.send(
            b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            + f"Sec-WebSocket-Accept: {accept_for(key)}\r\n\r\n".encode()
            + encode_frame(BINARY, b"\x00\x01")
        )
        driver.wait_for_line("Game started, player id: 1")
        conn.close()
        assert "Failed" not in driver.finish().err


def test_connection_header_with_upgrade_among_other_tokens_is_accepted(build_dir):
    # RFC 6455 asks for the "Upgrade" token, not for a value equal to it.
    with RawServer() as server:
        driver = Driver(build_dir, server.url, "--linger")
        conn = server.accept()
        conn.upgrade(conn.read_request(), connection="keep-alive, Upgrade")
        assert conn.read_frame() == Frame(True, BINARY, b"\x00\x00")
        conn.send_binary(b"\x00\x01")
        driver.wait_for_line("Game started, player id: 1")
        conn.close()
        assert "Failed" not in driver.finish().err


def test_server_gone_before_responding(build_dir):
    with RawServer() as server:
        driver = Driver(build_dir, server.url)
        conn = server.accept()
        conn.read_request()
        conn.close()
        assert_failed(driver.finish(), server.url, "WebSocket protocol error: Handshake not finished")


def test_response_that_is_not_http(build_dir):
    with RawServer() as server:
        driver = Driver(build_dir, server.url)
        conn = server.accept()
        conn.read_request()
        conn.send(b"SSH-2.0-OpenSSH_9.2\r\n\r\n")
        result = driver.finish()
        assert result.out == ""
        assert result.err.startswith(failed(server.url, "HTTP format error: ")[:-1])


# --- the request -------------------------------------------------------------


def expect_request(target: str, host: str) -> str:
    return (
        f"GET {target} HTTP/1.1\r\n"
        f"Host: {host}\r\n"
        "Connection: Upgrade\r\n"
        "Upgrade: websocket\r\n"
        "Sec-WebSocket-Version: 13\r\n"
        f"Sec-WebSocket-Key: {KEY}\r\n\r\n"
    )


def request_for(build_dir, server: RawServer, url: str) -> bytes:
    driver = Driver(build_dir, url)
    conn = server.accept()
    request = conn.read_request()
    conn.close()
    driver.finish()
    return request


def test_request_bytes_with_port_path_query_and_user_info(build_dir):
    with RawServer() as server:
        hostport = f"127.0.0.1:{server.port}"
        request = request_for(build_dir, server, f"ws://player@{hostport}/game?x=1#top")
        expected = re.escape(expect_request("/game?x=1", hostport)).replace(re.escape(KEY), KEY)
        assert re.fullmatch(expected, request.decode())
        assert b"player" not in request

        plain = request_for(build_dir, server, f"ws://{hostport}")
        assert re.fullmatch(re.escape(expect_request("/", hostport)).replace(re.escape(KEY), KEY), plain.decode())


def test_each_request_carries_a_fresh_16_byte_key(build_dir):
    with RawServer() as server:
        keys = {header_value(request_for(build_dir, server, server.url), "Sec-WebSocket-Key") for _ in range(3)}
        assert len(keys) == 3
        assert all(len(base64.b64decode(k)) == 16 for k in keys)


def test_ws_without_port_connects_to_80_with_the_bare_host(build_dir):
    try:
        server = RawServer(port=80)
    except OSError:
        pytest.skip("port 80 is not available here")
    with server:
        request = request_for(build_dir, server, "ws://127.0.0.1")
        assert re.fullmatch(re.escape(expect_request("/", "127.0.0.1")).replace(re.escape(KEY), KEY), request.decode())


def test_host_names_are_looked_up(build_dir):
    # Where "localhost" also resolves to ::1 (listed first), nothing listens
    # there and the client must go on to 127.0.0.1.
    with RawServer() as server:
        request = request_for(build_dir, server, f"ws://localhost:{server.port}/a")
        assert request.startswith(f"GET /a HTTP/1.1\r\nHost: localhost:{server.port}\r\n".encode())


def test_ipv6_literal_keeps_its_brackets_in_host(build_dir):
    try:
        server = RawServer(host="::1", family=socket.AF_INET6)
    except OSError:
        pytest.skip("no IPv6 loopback here")
    with server:
        request = request_for(build_dir, server, f"ws://[::1]:{server.port}/v6")
        assert request.startswith(f"GET /v6 HTTP/1.1\r\nHost: [::1]:{server.port}\r\n".encode())


# --- reading and writing (probe mode) ----------------------------------------


def probe(build_dir, server: RawServer, *args: str):
    driver = Driver(build_dir, server.url, "--probe", *args)
    conn = server.accept()
    conn.handshake()
    assert driver.line() == "open ok"
    return driver, conn


def test_messages_arrive_in_order_and_pings_at_once(build_dir):
    with RawServer() as server:
        driver, conn = probe(build_dir, server)
        conn.send(encode_frame(TEXT, b"hi") + encode_frame(PING, b"p") + encode_frame(BINARY, b"\x01\x02"))
        assert [driver.line() for _ in range(3)] == ["text hi", "ping 70", "binary 2 0102"]
        assert conn.read_frame() == Frame(True, PONG, b"p")
        # A ping is delivered before anything follows it, and answered.
        conn.send_ping(b"abc")
        assert driver.line() == "ping 616263"
        assert conn.read_frame() == Frame(True, PONG, b"abc")
        conn.send_frame(PONG, b"xyz")
        assert driver.line() == "pong 78797a"
        # Fragments are joined into one message.
        conn.send(encode_frame(BINARY, b"\x01\x02", fin=False) + encode_frame(CONTINUATION, b"\x03"))
        assert driver.line() == "binary 3 010203"
        conn.send_close(1000, "bye")
        assert driver.line() == "close 1000 bye"
        assert conn.read_frame() == Frame(True, CLOSE, struct.pack("!H", 1000))
        assert [driver.line() for _ in range(3)] == [
            "end",
            "again end",
            "send after end Trying to work with closed connection",
        ]
        assert conn.read_until_end() == b""
        assert driver.finish().status == 0


@pytest.mark.parametrize(
    ("code", "shown", "reply"),
    [(4000, "close 4000 why", 4000), (None, "close none", 1000)],
)
def test_close_is_answered_with_its_code(build_dir, code, shown, reply):
    with RawServer() as server:
        driver, conn = probe(build_dir, server)
        conn.send_close(code, "why" if code else "")
        assert driver.line() == shown
        frame = conn.read_frame()
        assert frame is not None and frame.opcode == CLOSE and frame.close_code == reply
        assert driver.line() == "end"
        driver.finish()


@pytest.mark.parametrize(
    ("frames", "error", "close_code"),
    [
        (encode_frame(BINARY, b"", length=MAX_MESSAGE + 1), "Space limit exceeded: Message too long: ", 1009),
        (
            encode_frame(BINARY, b"x" * 10, fin=False) + encode_frame(CONTINUATION, b"", length=MAX_MESSAGE - 9),
            "Space limit exceeded: Message too long: ",
            1009,
        ),
        (encode_frame(BINARY, b"", length=MAX_MESSAGE // 4 + 1), "Space limit exceeded: Message too long: ", 1009),
        (encode_frame(TEXT, b"\xff\xfe"), "UTF-8 encoding error: ", None),
        (encode_frame(BINARY, b"masked", mask=True), "WebSocket protocol error: ", 1002),
        (encode_frame(0x3, b"?"), "WebSocket protocol error: ", 1002),
        (encode_frame(CLOSE, struct.pack("!H", 999)), "WebSocket protocol error: ", 1002),
    ],
    ids=["too-big", "too-big-fragmented", "frame-too-big", "bad-utf8", "masked", "bad-opcode", "bad-close-code"],
)
def test_broken_input_fails_the_read_and_the_connection(build_dir, frames, error, close_code):
    with RawServer() as server:
        driver, conn = probe(build_dir, server)
        conn.send(frames)
        line = driver.line()
        assert line is not None and line.startswith("error " + error), line
        assert driver.line() == "again end"
        rest = conn.frames_until_end()
        if close_code is not None:
            assert rest and rest[0].opcode == CLOSE and rest[0].close_code == close_code
        driver.finish()


def test_largest_message_is_accepted(build_dir):
    with RawServer() as server:
        driver, conn = probe(build_dir, server)
        # The largest frame is a quarter of it: four full frames.
        quarter = b"\x07" * (MAX_MESSAGE // 4)
        conn.send(encode_frame(BINARY, quarter, fin=False) + encode_frame(CONTINUATION, quarter, fin=False)
                  + encode_frame(CONTINUATION, quarter, fin=False) + encode_frame(CONTINUATION, quarter))
        assert driver.line() == f"binary {MAX_MESSAGE} " + "07" * 32
        conn.close()
        assert driver.line().startswith("error ")
        driver.finish()


def test_connection_dropped_without_close(build_dir):
    with RawServer() as server:
        driver, conn = probe(build_dir, server)
        conn.send_text("last")
        assert driver.line() == "text last"
        conn.close()
        assert driver.line() == "error WebSocket protocol error: Connection reset without closing handshake"
        assert driver.line() == "again end"
        driver.finish()


def test_each_send_is_one_masked_binary_frame(build_dir):
    with RawServer() as server:
        driver, conn = probe(build_dir, server, "--send", "0000", "--send", "04", "--send", "")
        assert [driver.line() for _ in range(3)] == ["sent"] * 3
        raw = conn.read_exact(2 + 4 + 2)  # header, mask key, payload of the first frame
        assert raw is not None and raw[0] == 0x82 and raw[1] == 0x82  # FIN|binary, MASK|2
        assert bytes(b ^ raw[2 + i % 4] for i, b in enumerate(raw[6:])) == b"\x00\x00"
        assert conn.read_frame() == Frame(True, BINARY, b"\x04")
        assert conn.read_frame() == Frame(True, BINARY, b"")
        conn.send_close(1000)
        assert driver.line() == "close 1000 "
        driver.finish()

