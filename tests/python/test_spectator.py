"""kestrel-server --web: the spectator state as JSON and as an event stream,
its answers to bad requests, a spectator that stops reading, and many games
watched at once."""

from __future__ import annotations

import asyncio
import base64
import hashlib
import http.client
import json
import re
import resource
import secrets
import socket
import subprocess
import time
from collections.abc import Iterator
from contextlib import ExitStack, closing, contextmanager
from pathlib import Path

import pytest
from websockets.asyncio.client import ClientConnection, connect
from websockets.exceptions import InvalidStatus

from kestrel_dev.spectators import JOIN, EventStream, house_game, peer, state, wait_for, web_url
from kestrel_testing.game_line import GameLine
from kestrel_testing.server_process import ServerProcess


@pytest.fixture
def served(binary: Path) -> Iterator[tuple[ServerProcess, str]]:
    with ServerProcess(binary, "--web", "0") as server:
        yield server, web_url(server)
        assert server.stop() == 0


def test_state_and_events_follow_the_lobby_and_a_game(served: tuple[ServerProcess, str]) -> None:
    server, web = served
    moves = [0, 3, 1, 4, 2]

    clients: list[ClientConnection] = []

    async def client() -> ClientConnection:
        ws = await connect(server.url, proxy=None)
        clients.append(ws)
        await ws.send(JOIN)
        return ws

    async def scenario(stream: EventStream) -> None:
        await stream.open(web)
        assert stream.head.startswith(b"HTTP/1.1 200 OK\r\n")
        assert b"Content-Type: text/event-stream" in stream.head
        assert b"X-Content-Type-Options: nosniff" in stream.head
        # The stream's events are the changes after its snapshot: the
        # lobby's first change must come once the snapshot is in.
        await wait_for(lambda: stream.of_type("snapshot"))

        # A client that leaves the queue is listed, then forgotten.
        leaver = await client()
        await wait_for(lambda: state(web)["waiting"])
        assert [w["peer"] for w in state(web)["waiting"]] == [peer(leaver)]
        await leaver.close()
        await wait_for(lambda: not state(web)["waiting"])

        first = await client()
        await wait_for(lambda: state(web)["waiting"])
        second = await client()
        assert await first.recv() == b"\x00\x00" and await second.recv() == b"\x00\x01"

        now = state(web)
        assert now["waiting"] == [] and now["finished"] == []
        [game] = now["games"]
        assert game["seats"] == [peer(first), peer(second)]
        assert (game["moves"], game["turn"], game["result"]) == ([], 0, None)

        board = [""] * 9
        for n, cell in enumerate(moves):
            mover, other = (first, second) if n % 2 == 0 else (second, first)
            await mover.send(bytes([cell]))
            assert await other.recv() == bytes([cell])
            board[cell] = "XO"[n % 2]
            if n + 1 < len(moves):
                game = state(web)["games"][0]
                assert (game["moves"], game["board"], game["turn"]) == (moves[: n + 1], board, (n + 1) % 2)

        await wait_for(lambda: state(web)["finished"])
        now = state(web)
        assert now["games"] == [] and now["finished_total"] == 1 and now["spectators"] == 1
        [done] = now["finished"]
        assert (done["moves"], done["board"], done["result"], done["winner"], done["turn"]) == (
            moves,
            board,
            "Player1 wins",
            0,
            None,
        )
        [line] = server.wait_for_games(1)
        seats = done["seats"]
        assert line == GameLine(done["id"], (seats[0], seats[1]), "Player1 wins", (0, 3, 1, 4, 2)).format()

        await wait_for(lambda: stream.of_type("over"))
        assert [e["type"] for e in stream.events] == [
            "snapshot",
            "waiting",
            "unwaiting",
            "waiting",
            "unwaiting",
            "started",
            *["move"] * len(moves),
            "over",
        ]
        assert [e.get("reason") for e in stream.of_type("unwaiting")] == ["left", "paired"]
        assert [(e["seat"], e["cell"]) for e in stream.of_type("move")] == [(n % 2, c) for n, c in enumerate(moves)]
        assert stream.of_type("over")[0]["game"] == done

    async def bounded() -> None:
        stream = EventStream()
        try:
            await asyncio.wait_for(scenario(stream), 60)
        finally:
            # Pass or fail, the closing handshakes must be over before the
            # loop is, or their transports are left unclosed.
            await asyncio.gather(stream.close(), *(ws.close() for ws in clients))

    asyncio.run(bounded())


def address(web: str) -> tuple[str, int]:
    host, port = web.removeprefix("http://").rstrip("/").rsplit(":", 1)
    return host, int(port)


def exchange(web: str, request: bytes) -> bytes:
    """Sends `request` on a new connection and reads until the server closes it."""
    with socket.create_connection(address(web), timeout=30) as raw:
        raw.sendall(request)
        received = b""
        while chunk := raw.recv(1 << 16):
            received += chunk
    return received


@pytest.mark.parametrize(
    ("method", "path", "status", "content_type"),
    [
        ("GET", "/", 200, "text/html; charset=utf-8"),
        ("GET", "/index.html?x=1", 200, "text/html; charset=utf-8"),
        ("GET", "/state", 200, "application/json"),
        ("HEAD", "/", 200, "text/html; charset=utf-8"),
        ("HEAD", "/state", 200, "application/json"),
        ("GET", "/nope", 404, "text/plain; charset=utf-8"),
        ("GET", "/state/", 404, "text/plain; charset=utf-8"),
        ("HEAD", "/nope", 404, "text/plain; charset=utf-8"),
        ("POST", "/state", 405, "text/plain; charset=utf-8"),
        ("DELETE", "/", 405, "text/plain; charset=utf-8"),
        ("HEAD", "/events", 405, "text/plain; charset=utf-8"),
        ("PUT", "/nope", 404, "text/plain; charset=utf-8"),
    ],
)
def test_answers_by_path_and_method(
    served: tuple[ServerProcess, str], method: str, path: str, status: int, content_type: str
) -> None:
    _, web = served
    host, port = address(web)
    with closing(http.client.HTTPConnection(host, port, timeout=30)) as connection:
        # Two requests on one connection: answers keep it open, and a HEAD
        # answer that carried a body would garble the second one.
        for _ in range(2):
            connection.request(method, path, body=b"{}" if method == "POST" else None)
            response = connection.getresponse()
            body = response.read()
            assert (response.status, response.getheader("Content-Type")) == (status, content_type)
            assert response.getheader("X-Content-Type-Options") == "nosniff"
            assert response.getheader("Referrer-Policy") == "no-referrer"
            if status == 405:
                assert response.getheader("Allow") == ("GET" if path == "/events" else "GET, HEAD")
            if method == "HEAD":
                assert body == b"" and int(response.getheader("Content-Length")) > 0
        if method == "HEAD" and status != 405:
            connection.request("GET", path)
            response = connection.getresponse()
            assert int(response.getheader("Content-Length")) == len(response.read()) > 0
        if status == 200 and path == "/" and method == "GET":
            # Everything the page needs is in it: no script, style or font from
            # elsewhere, and its policy allows exactly its own inline blocks.
            assert b"<script>" in body and b'id="live"' in body
            assert not re.search(rb"(src|href)=\"(https?:)?//", body)
            policy = dict(p.strip().split(" ", 1) for p in response.getheader("Content-Security-Policy").split(";"))
            for tag in ("script", "style"):
                blocks = re.findall(rb"<%s[^>]*>(.*?)</%s>" % (tag.encode(), tag.encode()), body, re.S)
                hashes = {f"'sha256-{base64.b64encode(hashlib.sha256(b).digest()).decode()}'" for b in blocks}
                assert hashes and set(policy[f"{tag}-src"].split()) == hashes
            assert (policy["connect-src"], policy["frame-ancestors"]) == ("'self'", "'none'")
        else:
            page = content_type.startswith("text/html")
            assert (response.getheader("Content-Security-Policy") is not None) == page


LONG = b"/" + b"a" * 3000


@pytest.mark.parametrize(
    ("request_bytes", "status"),
    [
        (b"HELLO\r\n\r\n", 400),
        (b"GET / HTTP/1.1\r\nHost: HOST\r\nno colon here\r\n\r\n", 400),
        (b"GET / HTTP/1.1\r\n\r\n", 400),
        (b"GET / HTTP/1.1\r\nHost: evil.example\r\n\r\n", 403),
        (b"GET " + LONG + b" HTTP/1.1\r\nHost: HOST\r\n\r\n", 414),
        (b"GET " + LONG * 10 + b" HTTP/1.1\r\nHost: HOST\r\n\r\n", 414),
        (b"GET / HTTP/1.1\r\nHost: HOST\r\nX-Long: " + b"a" * 20000 + b"\r\n\r\n", 431),
        (b"POST /state HTTP/1.1\r\nHost: HOST\r\nContent-Length: 100000\r\n\r\n" + b"a" * 100000, 413),
    ],
    ids=["not-http", "bad-header", "no-host", "foreign-host", "long-target", "huge-target", "huge-header", "huge-body"],
)
def test_requests_that_cannot_be_served_get_a_status_then_close(
    served: tuple[ServerProcess, str], request_bytes: bytes, status: int
) -> None:
    _, web = served
    host, port = address(web)
    answer = exchange(web, request_bytes.replace(b"HOST", f"{host}:{port}".encode()))
    head, _, body = answer.partition(b"\r\n\r\n")
    assert head.startswith(b"HTTP/1.1 %d " % status)
    assert b"\r\nConnection: close" in head and b"\r\nX-Content-Type-Options: nosniff" in head
    assert int(re.search(rb"Content-Length: (\d+)", head)[1]) == len(body)
    assert state(web)["spectators"] == 0


@pytest.mark.parametrize(
    ("host", "status"),
    [
        ("{address}", 200),
        ("{address}:{port}", 200),
        ("localhost:{port}", 200),
        ("LocalHost", 200),
        ("kestrel.test:{port}", 200),
        (None, 200),  # HTTP/1.0 needs no Host
        ("kestrel.test.evil.example:{port}", 403),
        ("127.0.0.2:{port}", 403),
        ("localhost:{port}x", 403),
    ],
)
def test_only_requests_naming_this_server_are_answered(binary: Path, host: str | None, status: int) -> None:
    with ServerProcess(binary, "--web", "0", "--web-allow-host", "Kestrel.Test") as server:
        web = web_url(server)
        address_, port = address(web)
        if host is None:
            request = b"GET /state HTTP/1.0\r\n\r\n"
        else:
            name = host.format(address=address_, port=port)
            request = f"GET /state HTTP/1.1\r\nHost: {name}\r\nConnection: close\r\n\r\n".encode()
        assert exchange(web, request).startswith(b"HTTP/1.1 %d " % status)
        assert server.stop() == 0


@pytest.mark.parametrize(
    ("args", "page"),
    [
        (["--host", "127.0.0.2"], "127.0.0.1"),  # not the game port's address
        (["--host", "127.0.0.2", "--web-host", "127.0.0.3"], "127.0.0.3"),
    ],
)
def test_the_page_has_an_address_of_its_own(binary: Path, args: list[str], page: str) -> None:
    with ServerProcess(binary, *args, "--web", "0") as server:
        web = web_url(server)
        assert server.url.startswith("ws://127.0.0.2:") and address(web)[0] == page
        assert state(web)["spectators"] == 0
        assert server.stop() == 0


def test_bad_web_port_is_a_usage_error(binary: Path) -> None:
    done = subprocess.run([binary, "--web", "65536"], capture_output=True, text=True, timeout=30)
    assert done.returncode == 2 and done.stderr.startswith("kestrel-server: --web ")


@pytest.mark.timeout(20)
def test_a_spectator_that_stops_reading_is_dropped_and_games_go_on(binary: Path) -> None:
    games = 600  # some 500 KB of events: well past what the queue and both socket buffers hold

    async def scenario(server: ServerProcess, web: str, stack: ExitStack) -> None:
        host, port = web.removeprefix("http://").rstrip("/").rsplit(":", 1)
        slow = stack.enter_context(socket.socket())
        slow.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        slow.connect((host, int(port)))
        slow.sendall(f"GET /events HTTP/1.1\r\nHost: {host}\r\n\r\n".encode())
        reader = await EventStream().open(web)
        await wait_for(lambda: state(web)["spectators"] == 2)

        limit = asyncio.Semaphore(50)

        async def one() -> str:
            async with limit:
                return await house_game(server.url)

        boards = await asyncio.gather(*(one() for _ in range(games)))
        assert len(boards) == games
        server.wait_for_games(games)
        [dropped] = server.wait_for_log("spectator ", 1)
        assert dropped.endswith("dropped: more than 1024 events behind")
        now = state(web)
        assert (now["spectators"], now["spectators_dropped"]) == (1, 1)

        # What the slow spectator still finds is a stream cut short, then the end.
        slow.setblocking(True)
        slow.settimeout(30)
        received = b""
        while chunk := await asyncio.to_thread(slow.recv, 1 << 16):
            received += chunk
        assert received.count(b'"type":"over"') < games

        # The one that kept reading saw every game end.
        await wait_for(lambda: len(reader.of_type("over")) == games)
        assert not reader.closed
        await reader.close()

    with ServerProcess(binary, "--house-bot", "--web", "0") as server, ExitStack() as stack:
        asyncio.run(asyncio.wait_for(scenario(server, web_url(server), stack), 120))
        assert server.stop() == 0


@pytest.mark.timeout(30)
def test_five_hundred_games_at_once_with_twenty_spectators(binary: Path, capsys: pytest.CaptureFixture[str]) -> None:
    games, watchers = 500, 20

    async def scenario(server: ServerProcess, web: str) -> None:
        spectators = [await EventStream().open(web) for _ in range(watchers)]
        await wait_for(lambda: state(web)["spectators"] == watchers)

        begun = time.monotonic()
        started = asyncio.Event()
        ready: list[int] = []
        players = [asyncio.create_task(house_game(server.url, started, ready)) for _ in range(games)]
        await wait_for(lambda: len(ready) == games)
        all_on = time.monotonic()
        # Every game is on at once, and only players are in them.
        now = state(web)
        assert len(now["games"]) == games and now["waiting"] == []
        assert all("house" in g["seats"] for g in now["games"])
        started.set()
        boards = await asyncio.gather(*players)
        lines = server.wait_for_games(games)
        played = time.monotonic()

        assert len(boards) == games and len(lines) == games
        assert all(re.fullmatch(r"game \d+ \(.*\): (Player[12] wins|Tie); moves( \d)+", ln) for ln in lines)
        # Each spectator saw every game end, or was dropped and told so by the close.
        await wait_for(lambda: all(s.closed or len(s.of_type("over")) == games for s in spectators))
        kept = [s for s in spectators if not s.closed]
        now = state(web)
        assert now["spectators"] == len(kept)
        assert now["spectators_dropped"] == watchers - len(kept)
        assert all(len(s.of_type("started")) == games for s in kept)
        events = sum(len(s.events) for s in spectators)
        with capsys.disabled():
            print(
                f"\n{games} games, {watchers} spectators: all on after {all_on - begun:.2f} s, "
                f"played out in {played - all_on:.2f} s more; {len(kept)} spectators kept up, "
                f"{watchers - len(kept)} dropped; {events} events delivered "
                f"({events // watchers} per spectator)"
            )
        for s in spectators:
            await s.close()

    with ServerProcess(binary, "--house-bot", "--web", "0") as server:
        asyncio.run(asyncio.wait_for(scenario(server, web_url(server)), 240))
        assert server.stop() == 0


def status_of(web: str) -> int:
    host, port = address(web)
    with closing(http.client.HTTPConnection(host, port, timeout=30)) as connection:
        connection.request("GET", "/state")
        return connection.getresponse().status


def test_connections_past_the_cap_get_503(binary: Path) -> None:
    async def scenario(web: str) -> None:
        streams = [await EventStream().open(web) for _ in range(2)]
        answer = await asyncio.to_thread(exchange, web, b"")
        assert answer.startswith(b"HTTP/1.1 503 ") and b"\r\nConnection: close\r\n" in answer
        await streams[0].close()
        # Its place is free once the server has seen it go.
        await wait_for(lambda: status_of(web) == 200)
        await streams[1].close()

    with ServerProcess(binary, "--web", "0", "--web-connections", "2") as server:
        asyncio.run(asyncio.wait_for(scenario(web_url(server)), 60))
        assert server.stop() == 0


@contextmanager
def descriptor_limit(soft: int) -> Iterator[None]:
    """A lower soft RLIMIT_NOFILE for what starts inside the block."""
    before = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (soft, before[1]))
    try:
        yield
    finally:
        resource.setrlimit(resource.RLIMIT_NOFILE, before)


@pytest.mark.timeout(60)
def test_spectators_never_take_the_descriptors_players_need(binary: Path) -> None:
    """More spectator connections than the server may open descriptors, each
    sending one byte and holding on: a game still starts and plays at once."""
    with ExitStack() as stack:
        with descriptor_limit(128):
            server = stack.enter_context(ServerProcess(binary, "--house-bot", "--web", "0"))
        web = web_url(server)
        crowd = [stack.enter_context(socket.create_connection(address(web), timeout=30)) for _ in range(200)]
        for raw in crowd:
            raw.sendall(b"G")
        # The server takes them in order: once the last is turned away, every
        # one has been taken or turned away.
        assert crowd[-1].recv(4096).startswith(b"HTTP/1.1 503 ")
        assert asyncio.run(asyncio.wait_for(house_game(server.url), 30)).count(".") < 9
        server.wait_for_games(1)
        for raw in crowd:
            raw.close()
        # The spectator port serves again once the server has seen them go.
        deadline = time.monotonic() + 30
        while status_of(web) != 200:
            assert time.monotonic() < deadline
            time.sleep(0.05)
        assert "accept failed" not in server.log()
        assert server.stop() == 0


def rss_kib(pid: int) -> int:
    status = Path(f"/proc/{pid}/status").read_text()
    return int(re.search(r"^VmRSS:\s+(\d+) kB", status, re.M)[1])


@pytest.mark.timeout(90)
def test_spectators_that_never_read_share_one_snapshot(binary: Path) -> None:
    """Each stream starts with the whole state; spectators that never read
    hold it until their write times out. One copy for all of them, not one
    each: the server grows by far less than a copy per spectator."""
    games, watchers = 600, 50

    async def scenario(server: ServerProcess, web: str, stack: ExitStack) -> None:
        assert server.process is not None
        clients = []
        for _ in range(0, games, 100):
            batch = await asyncio.gather(*(connect(server.url, proxy=None) for _ in range(100)))
            for ws in batch:
                await ws.send(JOIN)
            for ws in batch:
                assert await ws.recv() == b"\x00\x00"  # seat 0: the game waits for this client's move
            clients += batch
        await wait_for(lambda: len(state(web)["games"]) == games)
        snapshot = len(json.dumps(state(web)))
        before = rss_kib(server.process.pid)
        host, port = address(web)
        for _ in range(watchers):
            mute = stack.enter_context(socket.socket())
            mute.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            mute.connect((host, port))
            mute.sendall(f"GET /events HTTP/1.1\r\nHost: {host}\r\n\r\n".encode())
        await wait_for(lambda: state(web)["spectators"] == watchers)
        grown = rss_kib(server.process.pid) - before
        assert grown * 1024 < watchers * snapshot / 2, (grown, snapshot)
        await asyncio.gather(*(ws.close() for ws in clients))

    with ServerProcess(binary, "--house-bot", "--seat", "0", "--quiet", "--web", "0") as server, ExitStack() as stack:
        asyncio.run(asyncio.wait_for(scenario(server, web_url(server), stack), 80))
        assert server.stop() == 0


def test_only_the_parents_tokens_name_players(binary: Path) -> None:
    """With --control, the parent names a seat by a token on stdin, also when
    the line is read after the player's handshake; a player without a token
    plays as before, shown by its address, and a made-up or used token is
    refused. End of stdin stops the server."""
    token, forged = secrets.token_hex(16), secrets.token_hex(16)
    with ServerProcess(binary, "--web", "0", "--control", control=True) as server:
        web = web_url(server)
        assert server.process is not None and server.process.stdin is not None
        control = server.process.stdin
        # Lines are carried out in order: once the table shows, the seat is known.
        control.write(f'seat {token} alice \u00e9\nstandings {{"columns":["bot"],"rows":[["alice"]]}}\n')
        control.write('game {"game":1,"seats":["alice","bob"],"moves":[4]}\n')
        control.flush()

        async def scenario() -> None:
            await wait_for(lambda: state(web)["run"] is not None)
            assert state(web)["run"] == {
                "standings": {"columns": ["bot"], "rows": [["alice"]]},
                "games": [{"game": 1, "seats": ["alice", "bob"], "moves": [4]}],
                "games_total": 1,
            }
            plain = await connect(server.url + "/", proxy=None)
            await plain.send(JOIN)
            await wait_for(lambda: state(web)["waiting"])
            assert state(web)["waiting"][0]["name"] is None
            named = await connect(f"{server.url}/seat/{token}", proxy=None)
            await named.send(JOIN)
            await wait_for(lambda: state(web)["games"])
            [game] = state(web)["games"]
            assert game["seats"] == [peer(plain), peer(named)]
            assert game["names"] == [None, "alice \u00e9"]
            # The same token again, and ones the parent never gave.
            for path in (f"/seat/{token}", f"/seat/{forged}", f"/seat/{token}?x", "/seat/"):
                with pytest.raises(InvalidStatus):
                    await connect(server.url + path, proxy=None)
            assert not state(web)["waiting"]
            # A seat line read only after its player's handshake still names it.
            late = secrets.token_hex(16)
            handshake = asyncio.ensure_future(connect(f"{server.url}/seat/{late}", proxy=None))
            await asyncio.sleep(0.05)
            control.write(f"seat {late} carol\n")
            control.flush()
            latecomer = await handshake
            await latecomer.send(JOIN)
            await wait_for(lambda: state(web)["waiting"])
            assert [w["name"] for w in state(web)["waiting"]] == ["carol"]
            await asyncio.gather(plain.close(), named.close(), latecomer.close())

        asyncio.run(asyncio.wait_for(scenario(), 60))
        control.close()
        assert server.process.wait(timeout=30) == 0
        server.exit_code = 0
