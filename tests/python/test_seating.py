"""kestrel-server --control: games announced seat by seat, their refusals,
the join limit, and each game reported as a JSON line (--report)."""

from __future__ import annotations

import asyncio
import json
import secrets
import urllib.parse
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import pytest
from websockets.asyncio.client import ClientConnection, connect
from websockets.exceptions import ConnectionClosed, InvalidStatus

from kestrel_testing.server_process import ServerProcess

JOIN = b"\x00\x00"
POLICY = 1008


class Parent:
    """The parent's side: the control lines it writes and the reports it reads."""

    def __init__(self, server: ServerProcess, report: Path) -> None:
        assert server.process is not None and server.process.stdin is not None
        self.server = server
        self._control = server.process.stdin
        self._report = report

    def send(self, line: str) -> None:
        self._control.write(line + "\n")
        self._control.flush()

    def announce(self, game: int, *names: str) -> list[str]:
        """The seats' URLs, in seat order."""
        tokens = [secrets.token_hex(16) for _ in names]
        words = " ".join(f"{t} {urllib.parse.quote(n, safe='')}" for t, n in zip(tokens, names, strict=True))
        self.send(f"announce {game} {words}")
        return [f"{self.server.url}/seat/{t}" for t in tokens]

    def reports(self) -> list[dict[str, Any]]:
        text = self._report.read_text() if self._report.exists() else ""
        return [json.loads(line) for line in text.splitlines()]

    async def report(self, kind: str, count: int = 1) -> list[dict[str, Any]]:
        """The reports of `kind`, once there are `count` of them."""
        for _ in range(3000):
            found = [r for r in self.reports() if r["type"] == kind]
            if len(found) >= count:
                return found
            await asyncio.sleep(0.01)
        raise TimeoutError(f"{count} {kind} reports not written: {self.reports()}")


@pytest.fixture
def parent(binary: Path, tmp_path: Path, request: pytest.FixtureRequest) -> Iterator[Parent]:
    extra = getattr(request, "param", [])
    report = tmp_path / "report.jsonl"
    with ServerProcess(binary, "--control", "--report", str(report), *extra, control=True) as server:
        yield Parent(server, report)
        assert server.stop() == 0


async def joined(url: str) -> ClientConnection:
    ws = await connect(url, proxy=None, compression=None)
    await ws.send(JOIN)
    return ws


async def seat_of(ws: ClientConnection) -> int:
    message = await ws.recv()
    assert isinstance(message, bytes) and message[0] == 0, message
    return message[1]


async def refusal(url: str) -> tuple[int, str]:
    with pytest.raises(InvalidStatus) as refused:
        await connect(url, proxy=None)
    response = refused.value.response
    return response.status_code, response.body.decode().strip()


def peer(ws: ClientConnection) -> str:
    host, port = ws.local_address[:2]
    return f"{host}:{port}"


def test_announced_seats_are_held_for_their_game_beside_plain_pairs(parent: Parent) -> None:
    """Seat 1 of an announced game comes first and waits; two plain clients
    that come meanwhile are paired together, first come, first paired; seat 0
    then starts the announced game, in the announced order, and both games
    are reported, the plain one under no game number."""

    async def scenario() -> None:
        seat0, seat1 = parent.announce(41, "alice é", "bob")
        held = await joined(seat1)
        first = await joined(parent.server.url)
        await asyncio.to_thread(parent.server.wait_for_log, f"joined {peer(first)}: waiting for a partner")
        second = await joined(parent.server.url)
        assert [await seat_of(first), await seat_of(second)] == [0, 1]
        await first.close()
        mover = await joined(seat0)
        assert [await seat_of(mover), await seat_of(held)] == [0, 1]
        for turn, cell in enumerate([4, 0, 8, 2, 1, 7, 6, 5, 3]):
            await (mover, held)[turn % 2].send(bytes([cell]))
            assert await (held, mover)[turn % 2].recv() == bytes([cell])

        plain, announced = (await parent.report("started", 2))[:2]
        assert plain["game"] is None and plain["seats"] == [
            {"peer": peer(first), "name": None},
            {"peer": peer(second), "name": None},
        ]
        assert announced == {
            "type": "started",
            "game": 41,
            "server_game": 2,
            "seats": [{"peer": peer(mover), "name": "alice é"}, {"peer": peer(held), "name": "bob"}],
        }
        plain_end, end = await parent.report("ended", 2)
        assert plain_end["game"] is None and plain_end["winner"] == 1
        assert plain_end["forfeit"] == {"seat": 0, "reason": "disconnected"}
        assert end["game"] == 41 and end["winner"] is None and end["forfeit"] is None
        assert end["moves"] == [4, 0, 8, 2, 1, 7, 6, 5, 3]
        assert len(end["times"]) == 9 and all(t >= 0 for t in end["times"])
        await asyncio.gather(second.close(), mover.close(), held.close())

    asyncio.run(asyncio.wait_for(scenario(), 60))
    # The lines for people keep their form and N its meaning.
    games = parent.server.wait_for_games(2)
    assert games[0].startswith("game 1 (seat 0 127.0.0.1:") and "Player2 wins, Player1 forfeits" in games[0]
    assert games[1].startswith("game 2 (seat 0 127.0.0.1:") and games[1].endswith("Tie; moves 4 0 8 2 1 7 6 5 3")


def test_a_token_that_is_not_good_is_refused_before_the_upgrade(parent: Parent) -> None:
    """Never announced, used already, of a game started or cancelled: each
    answered with a status and its reason, never seated anywhere."""

    async def scenario() -> None:
        assert await refusal(f"{parent.server.url}/seat/{secrets.token_hex(16)}") == (
            404,
            "no game announced for this seat token",
        )
        assert await refusal(f"{parent.server.url}/seat/") == (404, "no game announced for this seat token")
        seat0, seat1 = parent.announce(1, "a", "b")
        waiting = await joined(seat0)
        assert await refusal(seat0) == (409, "seat token already used")
        other = await joined(seat1)
        assert [await seat_of(waiting), await seat_of(other)] == [0, 1]
        assert await refusal(seat1) == (410, "game 1 has started")
        parent.announce(2, "a", "b")
        parent.announce(2, "c", "d")
        parent.send("announce 3 x")
        assert [r["reason"] for r in await parent.report("refused", 2)] == [
            "game 2 is announced already",
            "announce needs GAME TOKEN0 NAME0 TOKEN1 NAME1",
        ]
        await asyncio.gather(waiting.close(), other.close())

    asyncio.run(asyncio.wait_for(scenario(), 60))
    assert "refused" in parent.server.log()


def test_an_announcement_read_after_its_player_still_seats_it(parent: Parent) -> None:
    async def scenario() -> None:
        tokens = [secrets.token_hex(16) for _ in range(2)]
        early = asyncio.ensure_future(joined(f"{parent.server.url}/seat/{tokens[1]}"))
        await asyncio.sleep(0.1)
        parent.send(f"announce 9 {tokens[0]} a {tokens[1]} b")
        second = await early
        first = await joined(f"{parent.server.url}/seat/{tokens[0]}")
        assert [await seat_of(first), await seat_of(second)] == [0, 1]
        await asyncio.gather(first.close(), second.close())

    asyncio.run(asyncio.wait_for(scenario(), 60))


@pytest.mark.parametrize("parent", [["--join-time", "0.3"]], indirect=True)
def test_a_game_whose_second_seat_does_not_come_is_cancelled(parent: Parent) -> None:
    async def scenario() -> None:
        seat0, seat1 = parent.announce(5, "a", "b")
        lone = await joined(seat0)
        with pytest.raises(ConnectionClosed) as closed:
            await lone.recv()
        assert closed.value.rcvd is not None
        assert (closed.value.rcvd.code, closed.value.rcvd.reason) == (
            POLICY,
            "game cancelled: seat 1 did not join within 0.3 s",
        )
        [cancelled] = await parent.report("cancelled")
        assert cancelled == {
            "type": "cancelled",
            "game": 5,
            "reason": "seat 1 did not join within 0.3 s",
            "joined": [0],
        }
        assert await refusal(seat1) == (410, "game 5 was cancelled")

    asyncio.run(asyncio.wait_for(scenario(), 60))
    assert "cancelled game 5: seat 1 did not join within 0.3 s" in parent.server.log()


def test_hello_names_the_protocol_and_the_end_of_input_stops_the_server(parent: Parent) -> None:
    parent.send("hello")
    [hello] = asyncio.run(parent.report("hello"))
    assert hello["protocol"] == 2 and "announce" in hello["commands"]
    assert parent.server.process is not None and parent.server.process.stdin is not None
    parent.server.process.stdin.close()
    assert parent.server.process.wait(timeout=30) == 0
    parent.server.exit_code = 0
