"""kestrel-server --web: the spectator state as JSON and as an event stream,
its answers to bad requests, a spectator that stops reading, and many games
watched at once."""

from __future__ import annotations

import asyncio
import http.client
import re
import secrets
import socket
import subprocess
import time
from collections.abc import Iterator
from contextlib import ExitStack, closing
from pathlib import Path

import pytest
from websockets.asyncio.client import connect

from kestrel_arena.game_line import GameLine
from kestrel_arena.server_process import ServerProcess
from kestrel_arena.spectators import JOIN, EventStream, house_game, peer, state, wait_for, web_url


@pytest.fixture
def served(binary: Path) -> Iterator[tuple[ServerProcess, str]]:
    with ServerProcess(binary, "--web", "0") as server:
        yield server, web_url(server)
        assert server.stop() == 0


def test_state_and_events_follow_the_lobby_and_a_game(served: tuple[ServerProcess, str]) -> None:
    server, web = served
    moves = [0, 3, 1, 4, 2]

    async def scenario() -> None:
        stream = await EventStream().open(web)
        assert stream.head.startswith(b"HTTP/1.1 200 OK\r\n")
        assert b"Content-Type: text/event-stream" in stream.head

        # A client that leaves the queue is listed, then forgotten.
        leaver = await connect(server.url, proxy=None)
        await leaver.send(JOIN)
        await wait_for(lambda: state(web)["waiting"])
        assert [w["peer"] for w in state(web)["waiting"]] == [peer(leaver)]
        await leaver.close()
        await wait_for(lambda: not state(web)["waiting"])

        first = await connect(server.url, proxy=None)
        await first.send(JOIN)
        await wait_for(lambda: state(web)["waiting"])
        second = await connect(server.url, proxy=None)
        await second.send(JOIN)
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
        await stream.close()
        # The server ended the game; the clients' closing handshakes must be
        # over before the loop is, or their transports are left unclosed.
        await asyncio.gather(first.close(), second.close())

    asyncio.run(asyncio.wait_for(scenario(), 60))


@pytest.mark.parametrize(
    ("method", "path", "status", "content_type"),
    [
        ("GET", "/", 200, "text/html; charset=utf-8"),
        ("GET", "/index.html?x=1", 200, "text/html; charset=utf-8"),
        ("GET", "/state", 200, "application/json"),
        ("GET", "/nope", 404, "text/plain; charset=utf-8"),
        ("GET", "/state/", 404, "text/plain; charset=utf-8"),
        ("POST", "/state", 405, "text/plain; charset=utf-8"),
        ("DELETE", "/", 405, "text/plain; charset=utf-8"),
        ("PUT", "/nope", 404, "text/plain; charset=utf-8"),
    ],
)
def test_answers_by_path_and_method(
    served: tuple[ServerProcess, str], method: str, path: str, status: int, content_type: str
) -> None:
    _, web = served
    host, port = web.removeprefix("http://").rstrip("/").rsplit(":", 1)
    with closing(http.client.HTTPConnection(host, int(port), timeout=30)) as connection:
        # Two requests on one connection: answers keep it open.
        for _ in range(2):
            connection.request(method, path, body=b"{}" if method == "POST" else None)
            response = connection.getresponse()
            body = response.read()
            assert (response.status, response.getheader("Content-Type")) == (status, content_type)
            if status == 405:
                assert response.getheader("Allow") == "GET"
        if status == 200 and path == "/":
            # Everything the page needs is in it: no script, style or font from elsewhere.
            assert b"<script>" in body and b'id="live"' in body
            assert not re.search(rb"(src|href)=\"(https?:)?//", body)


@pytest.mark.parametrize(
    "request_bytes",
    [
        b"HELLO\r\n\r\n",
        b"GET / HTTP/1.1\r\nno colon here\r\n\r\n",
        b"GET / HTTP/1.1\r\nHost: x\r\nX-Long: " + b"a" * 20000 + b"\r\n\r\n",
        b"POST /state HTTP/1.1\r\nHost: x\r\nContent-Length: 100000\r\n\r\n" + b"a" * 100000,
    ],
    ids=["not-http", "bad-header", "huge-header", "huge-body"],
)
def test_malformed_requests_are_closed_unanswered(served: tuple[ServerProcess, str], request_bytes: bytes) -> None:
    _, web = served
    host, port = web.removeprefix("http://").rstrip("/").rsplit(":", 1)
    with socket.create_connection((host, int(port)), timeout=30) as raw:
        received = b""
        try:
            raw.sendall(request_bytes)
            while chunk := raw.recv(4096):
                received += chunk
        except ConnectionError:
            pass  # closed while we were still sending
    assert received == b""
    assert state(web)["spectators"] == 0


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
        slow.sendall(b"GET /events HTTP/1.1\r\nHost: x\r\n\r\n")
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


def test_only_the_parents_tokens_name_players(binary: Path) -> None:
    """With --control, the parent names a seat by a token on stdin; a player
    without it (no token, a made-up one, or one already used) plays as
    before, shown by its address. End of stdin stops the server."""
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
            # The same token again, and one the parent never gave.
            for path in (f"/seat/{token}", f"/seat/{forged}", f"/seat/{token}?x", "/seat/"):
                other = await connect(server.url + path, proxy=None)
                await other.send(JOIN)
                await wait_for(lambda: state(web)["waiting"])
                assert [w["name"] for w in state(web)["waiting"]] == [None]
                await other.close()
                await wait_for(lambda: not state(web)["waiting"])
            await asyncio.gather(plain.close(), named.close())

        asyncio.run(asyncio.wait_for(scenario(), 60))
        control.close()
        assert server.process.wait(timeout=30) == 0
        server.exit_code = 0
