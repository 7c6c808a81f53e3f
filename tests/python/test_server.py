"""kestrel-server against peers we did not write (the `websockets` library),
against kestrel clients, and through the demo script."""

from __future__ import annotations

import asyncio
import os
import random
import re
import resource
import signal
import socket
import subprocess
import sys
import time
from collections import Counter
from collections.abc import Awaitable, Callable, Iterator
from contextlib import ExitStack
from functools import cache
from pathlib import Path
from typing import TypeVar

import pytest
from websockets.asyncio.client import ClientConnection, connect
from websockets.exceptions import ConnectionClosed, InvalidHandshake

from kestrel_dev.board import over, winner
from kestrel_testing.game_line import GameLine
from kestrel_testing.server_process import ServerProcess

ROOT = Path(__file__).resolve().parents[2]
JOIN = b"\x00\x00"
NORMAL, POLICY, TOO_BIG = 1000, 1008, 1009
T = TypeVar("T")


@pytest.fixture
def server(binary: Path) -> Iterator[ServerProcess]:
    with ServerProcess(binary) as s:
        yield s
        assert s.stop() == 0


_opened: list[ClientConnection] = []


def run(coro: Awaitable[T]) -> T:
    """Runs one test scenario on a fresh loop, then closes every connection
    it opened; the timeout only prevents hangs."""

    async def bounded() -> T:
        try:
            return await asyncio.wait_for(coro, 120)
        finally:
            await asyncio.gather(*(ws.close() for ws in _opened), return_exceptions=True)
            _opened.clear()

    return asyncio.run(bounded())


async def open_ws(url: str) -> ClientConnection:
    ws = await connect(url, proxy=None, compression=None)
    _opened.append(ws)
    return ws


async def join(url: str, payload: bytes = JOIN) -> ClientConnection:
    ws = await open_ws(url)
    await ws.send(payload)
    return ws


async def seat_of(ws: ClientConnection) -> int:
    message = await ws.recv()
    assert isinstance(message, bytes) and len(message) == 2 and message[0] == 0, message
    return message[1]


async def in_seat_order(
    a: ClientConnection, b: ClientConnection
) -> tuple[ClientConnection, ClientConnection]:
    """Two partners by seat. With several network threads the server may read
    joins sent a moment apart on different connections in either order."""
    seats = {await seat_of(a): a, await seat_of(b): b}
    assert sorted(seats) == [0, 1]
    return seats[0], seats[1]


async def pair(url: str) -> tuple[ClientConnection, ClientConnection]:
    return await in_seat_order(await join(url), await join(url))


async def closed_with(ws: ClientConnection) -> int:
    """The close code the server sends, failing if any message comes first."""
    with pytest.raises(ConnectionClosed) as closed:
        message = await ws.recv()
        pytest.fail(f"expected the close, got {message!r}")
    assert closed.value.rcvd is not None, "closed without a close frame"
    return closed.value.rcvd.code


def peer(ws: ClientConnection) -> str:
    host, port = ws.local_address[:2]
    return f"{host}:{port}"


@cache
def value(board: tuple[str | None, ...], mark: str) -> int:
    """Negamax value of `board` for `mark`, who is to move."""
    free = [i for i, m in enumerate(board) if m is None]
    if winner(list(board)):
        return -1
    if not free:
        return 0
    nxt = "O" if mark == "X" else "X"
    return max(-value(board[:i] + (mark,) + board[i + 1 :], nxt) for i in free)


def perfect(board: list[str | None], mark: str) -> int:
    nxt = "O" if mark == "X" else "X"
    free = [i for i, m in enumerate(board) if m is None]
    return max(free, key=lambda i: -value(tuple(board[:i] + [mark] + board[i + 1 :]), nxt))


def first_free(board: list[str | None], mark: str) -> int:
    return board.index(None)


def random_cell(board: list[str | None], mark: str) -> int:
    return random.choice([i for i, m in enumerate(board) if m is None])


Strategy = Callable[[list[str | None], str], int]


async def play_out(ws: ClientConnection, seat: int, strategy: Strategy) -> list[str | None]:
    """Plays a whole game as `seat`; checks every move the server relays and
    that the server closes normally once the board says the game is over."""
    board: list[str | None] = [None] * 9
    turn = 0
    while not over(board):
        mark = "XO"[turn % 2]
        if turn % 2 == seat:
            cell = strategy(board, mark)
            await ws.send(bytes([cell]))
        else:
            message = await ws.recv()
            assert isinstance(message, bytes) and len(message) == 1, message
            cell = message[0]
            assert board[cell] is None, f"server relayed a move onto taken cell {cell}"
        board[cell] = mark
        turn += 1
    assert await closed_with(ws) == NORMAL
    return board


# --- one game between two clients -------------------------------------------------------------


@pytest.mark.parametrize(
    ("moves", "result"),
    [
        ([0, 3, 1, 4, 2], "Player1 wins"),
        ([0, 3, 1, 4, 8, 5], "Player2 wins"),
        ([0, 4, 8, 1, 7, 6, 2, 5, 3], "Tie"),
    ],
)
def test_relays_moves_in_order_and_closes_when_the_game_ends(
    server: ServerProcess, moves: list[int], result: str
) -> None:
    async def scenario() -> None:
        seats = await pair(server.url)
        for turn, cell in enumerate(moves):
            await seats[turn % 2].send(bytes([cell]))
            assert await seats[1 - turn % 2].recv() == bytes([cell])
        assert [await closed_with(ws) for ws in seats] == [NORMAL, NORMAL]
        expected = GameLine(1, (peer(seats[0]), peer(seats[1])), result, tuple(moves))
        assert server.wait_for_log("game 1") == [expected.format()]

    run(scenario())


def test_pairs_in_join_order_and_games_do_not_mix(binary: Path) -> None:
    async def scenario(server: ServerProcess) -> None:
        clients = [await join(server.url) for _ in range(6)]
        assert [await seat_of(ws) for ws in clients] == [0, 1, 0, 1, 0, 1]
        # Each pair plays a different opening; every move reaches its partner only.
        for game in range(3):
            await clients[2 * game].send(bytes([game]))
        for game in range(3):
            assert await clients[2 * game + 1].recv() == bytes([game])
        for ws in clients:
            await ws.close()

    # One network thread reads the joins in the order they were sent; with
    # more, a join sent a moment earlier may be read later.
    with ServerProcess(binary, "--threads", "1") as server:
        run(scenario(server))
        assert server.stop() == 0


def test_text_and_ping_frames_are_ignored(server: ServerProcess) -> None:
    async def scenario() -> None:
        first = await open_ws(server.url)
        await first.send("00")
        await first.send(JOIN)
        # Seated despite the text before its join.
        mover, partner = await in_seat_order(first, await join(server.url))
        await mover.send("4")
        await (await mover.ping())
        await mover.send(b"\x04")
        assert await partner.recv() == b"\x04"

    run(scenario())


# --- the server is the authority ----------------------------------------------------------------


@pytest.mark.parametrize(
    ("opening", "offender", "payload", "reason"),
    [
        ([], 1, b"\x04", "moved out of turn"),
        ([4, 0], 1, b"\x02", "moved out of turn"),
        ([4], 1, b"\x04", "took occupied cell 4"),
        ([4, 0, 8], 1, b"\x00", "took occupied cell 0"),
        ([], 0, b"\x09", "sent a message that is not a move"),
        ([4], 1, b"", "sent a message that is not a move"),
        ([4], 1, b"\xff", "sent a message that is not a move"),
    ],
)
def test_illegal_moves_are_not_relayed_and_forfeit(
    server: ServerProcess, opening: list[int], offender: int, payload: bytes, reason: str
) -> None:
    async def scenario() -> None:
        seats = await pair(server.url)
        for turn, cell in enumerate(opening):
            await seats[turn % 2].send(bytes([cell]))
            assert await seats[1 - turn % 2].recv() == bytes([cell])
        await seats[offender].send(payload)
        # The partner sees no move, only the close; the offender is told why.
        assert await closed_with(seats[1 - offender]) == NORMAL
        assert await closed_with(seats[offender]) == POLICY
        [line] = server.wait_for_log("game 1")
        loser, champion = (f"Player{offender + 1}", f"Player{2 - offender}")
        outcome = f"{champion} wins, {loser} forfeits: {reason}"
        assert line == GameLine(1, (peer(seats[0]), peer(seats[1])), outcome, tuple(opening)).format()

    run(scenario())


@pytest.mark.parametrize("how", ["close", "abort", "oversized"])
def test_leaving_mid_game_forfeits(server: ServerProcess, how: str) -> None:
    async def scenario() -> None:
        first, second = await pair(server.url)
        await first.send(b"\x04")
        assert await second.recv() == b"\x04"
        if how == "close":
            await second.close()
        elif how == "abort":
            second.transport.abort()
        else:
            # A message far above the protocol's size closes its sender only.
            await second.send(bytes(200))
            assert await closed_with(second) == TOO_BIG
        assert await closed_with(first) == NORMAL
        [line] = server.wait_for_log("game 1")
        assert line.endswith("Player1 wins, Player2 forfeits: disconnected; moves 4")

    run(scenario())


@pytest.mark.parametrize(
    "payload", [b"\x00\x01", b"\x00\x02", b"\x01\x00", b"\x00", b"", b"\x04"], ids=repr
)
def test_a_join_for_anything_but_tic_tac_toe_is_refused(
    server: ServerProcess, payload: bytes
) -> None:
    async def scenario() -> str:
        ws = await join(server.url, payload)
        assert await closed_with(ws) == POLICY
        # The refused client took no seat: the next two are paired together.
        await pair(server.url)
        return peer(ws)

    refused = run(scenario())
    assert f"refused {refused}: " in server.log()
    assert not any(refused in line for line in server.game_lines())


@pytest.mark.parametrize("how", ["close", "speak"])
def test_a_client_that_leaves_the_queue_is_not_paired(server: ServerProcess, how: str) -> None:
    async def scenario() -> None:
        ghost = await join(server.url)
        if how == "close":
            await ghost.close()
            server.wait_for_log("disconnected while waiting")
        else:
            await ghost.send(b"\x04")  # nothing may be sent before the start
            assert await closed_with(ghost) == POLICY
        first, second = await pair(server.url)
        await first.send(b"\x00")
        assert await second.recv() == b"\x00"

    run(scenario())


def test_the_first_of_a_pair_is_logged_as_waiting(server: ServerProcess) -> None:
    async def scenario() -> str:
        first = await join(server.url)
        server.wait_for_log(f"joined {peer(first)}: waiting for a partner")
        assert await in_seat_order(first, await join(server.url)) is not None
        return peer(first)

    first = run(scenario())
    # The second was paired at once: it never waited.
    assert [ln for ln in server.log().splitlines() if ln.startswith("joined ")] == [
        f"joined {first}: waiting for a partner"
    ]


@pytest.mark.parametrize("opening", [[], [4], [4, 0, 8]])
@pytest.mark.timeout(15)  # waits out the server's move time
def test_move_time_forfeits_the_player_to_move(binary: Path, opening: list[int]) -> None:
    """Each opening move comes within the limit, all of them together do not:
    the clock starts afresh every turn."""

    async def scenario(server: ServerProcess) -> None:
        seats = await pair(server.url)
        for turn, cell in enumerate(opening):
            await asyncio.sleep(0.6)
            await seats[turn % 2].send(bytes([cell]))
            assert await seats[1 - turn % 2].recv() == bytes([cell])
        stalled = len(opening) % 2
        assert await closed_with(seats[1 - stalled]) == NORMAL
        assert await closed_with(seats[stalled]) == POLICY
        [line] = server.wait_for_log("game 1")
        moves = " ".join(map(str, opening)) or "-"
        assert line.endswith(f"Player{2 - stalled} wins, Player{stalled + 1} forfeits: out of time; moves {moves}")

    with ServerProcess(binary, "--move-time", "1") as server:
        run(scenario(server))
        assert server.stop() == 0


# --- the house player ---------------------------------------------------------------------------


@pytest.mark.parametrize(("option", "seats"), [("0", [0, 0]), ("1", [1, 1]), ("alternate", [0, 1])])
def test_house_bot_seat_option(binary: Path, option: str, seats: list[int]) -> None:
    async def scenario() -> list[int]:
        got = []
        for _ in seats:
            ws = await join(house.url)
            got.append(await seat_of(ws))
            if got[-1] == 1:  # the house has moved first
                message = await ws.recv()
                assert isinstance(message, bytes) and message[0] < 9
            await ws.close()
        return got

    with ServerProcess(binary, "--house-bot", "--seat", option) as house:
        assert run(scenario()) == seats
        house.wait_for_log("forfeits: disconnected", count=len(seats))
        assert all(", seat 1 house)" in g or "(seat 0 house," in g for g in house.game_lines())


@pytest.mark.parametrize(("strategy", "games"), [(perfect, 100), (random_cell, 1000), (first_free, 4)])
@pytest.mark.timeout(15)
def test_house_bot_never_loses(binary: Path, strategy: Strategy, games: int) -> None:
    async def one_game() -> tuple[int, str | None]:
        ws = await join(house.url)
        seat = await seat_of(ws)
        return seat, winner(await play_out(ws, seat, strategy))

    async def scenario() -> list[tuple[int, str | None]]:
        results: list[tuple[int, str | None]] = []
        for start in range(0, games, 50):
            results += await asyncio.gather(*(one_game() for _ in range(min(50, games - start))))
        return results

    with ServerProcess(binary, "--house-bot", "--quiet") as house:
        results = run(scenario())
        assert house.log() == ""  # --quiet: no line per game
    client_wins = [r for r in results if r[1] == "XO"[r[0]]]
    assert client_wins == []
    assert {seat for seat, _ in results} == {0, 1}
    if strategy is perfect:
        assert {w for _, w in results} == {None}
    if strategy is random_cell:
        assert any(w is not None for _, w in results), "the house never won against random play"


# --- load and isolation -------------------------------------------------------------------------


def test_many_concurrent_games_are_not_stalled_by_silent_clients(server: ServerProcess) -> None:
    pairs = 250

    async def scenario() -> None:
        host, port = server.url.removeprefix("ws://").split(":")
        mute = socket.create_connection((host, int(port)))  # never even sends the handshake
        silent, waiting = await pair(server.url)  # seat 0 never moves
        clients = [await open_ws(server.url) for _ in range(2 * pairs)]

        async def player(ws: ClientConnection) -> list[str | None]:
            await ws.send(JOIN)
            seat = await seat_of(ws)
            return await play_out(ws, seat, first_free)

        boards = await asyncio.gather(*(player(ws) for ws in clients))
        # First-free against first-free: X completes 2-4-6 on the 7th move.
        assert all(winner(b) == "X" and b.count(None) == 2 for b in boards)
        # The silent game is still alive and served.
        await silent.send(b"\x08")
        assert await waiting.recv() == b"\x08"
        mute.close()

    run(scenario())
    assert len(server.wait_for_log("Player1 wins; moves 0 1 2 3 4 5 6", count=pairs)) == pairs


# --- process behaviour -------------------------------------------------------------------------


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM])
def test_stops_cleanly_on_signals_with_clients_connected(binary: Path, sig: int) -> None:
    async def scenario(server: ServerProcess) -> None:
        first, _ = await pair(server.url)
        await first.send(b"\x04")
        await join(server.url)  # left waiting for a partner
        assert server.stop(sig) == 0

    with ServerProcess(binary) as server:
        run(scenario(server))


@pytest.mark.parametrize(
    "args",
    [
        ["--port", "70000"],
        ["--port"],
        ["--threads", "0"],
        ["--threads", "65"],
        ["--threads=x"],
        ["--seat", "1"],
        ["--house-bot", "--seat", "2"],
        ["--nope"],
        ["--drop", "1.5"],
        ["--drop=-0.1"],
        ["--drop", "nan"],
        ["--drop", "0.1", "--seed", "x"],
        ["--seed", "3"],
        ["--move-time", "0"],
        ["--move-time=0.0004"],
        ["--move-time", "0.0005"],
        ["--move-time", "-1"],
        ["--move-time", "1e3"],
        ["--move-time", "86401"],
        ["--move-time"],
        ["--web-host", "127.0.0.1"],
        ["--web", "0", "--web-host", ""],
        ["--web", "0", "--web-allow-host", "a:b"],
        ["--web", "0", "--web-connections", "0"],
        ["--web", "0", "--web-connections=65536"],
        ["--web", "0", "--web-host", "no.such.host.invalid"],
        ["--web", "0", "--control=1"],
        ["--join-time", "1"],
        ["--control", "--join-time", "0"],
        ["--report"],
    ],
)
def test_bad_arguments_exit_2_with_a_message(binary: Path, args: list[str]) -> None:
    done = subprocess.run([binary, *args], capture_output=True, text=True, timeout=30)
    assert done.returncode == 2
    assert done.stderr.startswith("kestrel-server: ") and done.stdout == ""


@pytest.mark.parametrize("taken", ["game", "web"])
def test_a_port_in_use_exits_1_naming_it(binary: Path, taken: str) -> None:
    with socket.socket() as holder:
        holder.bind(("127.0.0.1", 0))
        holder.listen()
        port = str(holder.getsockname()[1])
        args = ["--port", port] if taken == "game" else ["--port", "0", "--web", port]
        done = subprocess.run([binary, *args], capture_output=True, text=True, timeout=30)
    assert done.returncode == 1
    scheme = "ws" if taken == "game" else "http"
    assert done.stderr == f"kestrel-server: cannot listen on {scheme}://127.0.0.1:{port}: Address already in use\n"


def test_accept_failures_are_logged_once_not_per_attempt(binary: Path) -> None:
    """Out of descriptors, the accept loop retries every 100 ms; the log gets
    one line per 10 s with a count, not a line per attempt."""
    with ExitStack() as stack:
        limits = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (32, limits[1]))  # the server's, from its start
        try:
            server = stack.enter_context(ServerProcess(binary, "--quiet"))
        finally:
            resource.setrlimit(resource.RLIMIT_NOFILE, limits)
        host, port = server.url.removeprefix("ws://").split(":")
        with ExitStack() as crowd:
            for _ in range(40):  # past the limit: they wait for their handshake
                crowd.enter_context(socket.create_connection((host, int(port)), timeout=30))
            [line] = server.wait_for_log("accept failed")
            assert line == "kestrel-server: accept failed on the game port: Too many open files"
            begun = time.monotonic()
            time.sleep(1)  # some ten more attempts
            lines = [ln for ln in server.log().splitlines() if "accept failed" in ln]
            assert 1 <= len(lines) <= 1 + (time.monotonic() - begun) // 10
        assert server.stop() == 0


def test_drop_cuts_connections_at_every_stage_without_a_close_frame(binary: Path) -> None:
    async def one(url: str) -> None:
        try:
            ws = await open_ws(url)
            await ws.send(JOIN)
            while True:
                await ws.recv()
        except ConnectionClosed as closed:
            assert closed.rcvd is None, f"closed with a close frame: {closed.rcvd}"
        except (OSError, InvalidHandshake):
            pass  # cut during the handshake

    # --drop 1: every connection is cut; the seed fixes which stage each gets.
    with ServerProcess(binary, "--house-bot", "--drop", "1", "--seed", "7") as house:

        async def all_of_them() -> None:
            await asyncio.gather(*(one(house.url) for _ in range(40)))

        run(all_of_them())
        dropped = house.wait_for_log("dropped ", count=40)
        # A game ends on its own strand after its player was cut: its line
        # may follow the last "dropped" line.
        house.wait_for_games(sum(" mid-game " in line for line in dropped))
        assert house.stop() == 0
        log = house.log()
        games = house.game_lines()
    stages = Counter(re.findall(r"^dropped \S+ (.*) \((?:RST|FIN)\)$", log, re.M))
    assert sum(stages.values()) == 40
    assert set(stages) == {
        "during the handshake",
        "after the handshake",
        "while waiting for a partner",
        "mid-game",
    }, stages
    # A game cut mid-way ends as any disconnect does; the others never started.
    assert len(games) == stages["mid-game"]
    assert all("forfeits: disconnected" in g for g in games), games


# --- kestrel clients: the demo plays two example bots on a fresh server -------------------------


def test_demo_script(binary: Path) -> None:
    pytest.importorskip("kestrel")
    env = {**os.environ, "PYTHON": sys.executable, "KESTREL_SERVER": str(binary)}
    done = subprocess.run(
        [ROOT / "scripts" / "demo.sh", "--no-build"],
        capture_output=True,
        text=True,
        env=env,
        timeout=120,
    )
    out = done.stdout
    assert done.returncode == 0, out + done.stderr
    assert "[first_free] Game started, player id: " in out, out
    assert re.search(r"^spectator page: http://127\.0\.0\.1:\d+/$", out, re.M), out
    # Both bots print the result the server decided; perfect play never loses.
    result = re.search(r"server: game 1 \(.*\): (Tie|Player\d wins); moves [0-8 ]+\n", out)
    assert result is not None, out
    perfect_seat = re.search(r"\[perfect\]    Game started, player id: ([01])", out)
    assert perfect_seat is not None and result[1] in ("Tie", f"Player{int(perfect_seat[1]) + 1} wins")
    printed = "Tie" if result[1] == "Tie" else result[1] + "!"
    assert out.count(printed) == 2 and "[first_free] " + printed in out, out
    assert "Final board:\n" in out
