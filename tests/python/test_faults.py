"""Whatever the server or the network does, the future of connect completes
(or is cancelled), nothing hangs and the process plays on: real clients on a
real loop against scripted raw servers that reset, close, stall, flood or
send frames that break the protocol."""

from __future__ import annotations

import asyncio
import errno
import gc
import os
import queue
import socket
import struct
import sys
import textwrap
import threading
from collections.abc import Awaitable, Callable
from pathlib import Path

import pytest

from kestrel_dev.websocket_server import BINARY, CLOSE, CONTINUATION, PING, PONG, TEXT, encode_frame
from support.console import Console
from support.match_server import JOIN
from support.players import (
    TIE,
    TIMEOUT,
    ScriptedClient,
    play_game,
    run_python,
    wait_until,
    wait_until_sync,
)
from support.raw_server import Frame, RawConnection, RawServer

SUPPORT_DIR = str(Path(__file__).parent)
ENDED_BEFORE_START = "Connection to the server ended before the game started\n"
ENDED_MID_GAME = "Connection to the server ended before the game was over\n"
RESET = f"IO error: {os.strerror(errno.ECONNRESET)} (os error {errno.ECONNRESET})"
UNFINISHED = "WebSocket protocol error: Handshake not finished"
MAX_MESSAGE = 64 * 1024 * 1024
MAX_FRAME = 16 * 1024 * 1024


# --- harness ------------------------------------------------------------------


def open_sockets() -> int:
    """The process's open sockets; where /proc is missing the check that
    they all close again is skipped (always 0)."""
    if not os.path.isdir("/proc/self/fd"):
        return 0
    count = 0
    for fd in os.listdir("/proc/self/fd"):
        try:
            count += os.readlink(f"/proc/self/fd/{fd}").startswith("socket:")
        except OSError:
            pass  # closed while listing
    return count


async def off_loop(step: Callable[..., object], *args: object) -> object:
    """One blocking step of the raw server, on a thread; its socket timeout
    turns a silent client into a failure."""
    return await asyncio.to_thread(step, *args)


def run_case(case: Callable[[Console], Awaitable[None]]) -> Console:
    """Runs `case` on a fresh loop, then waits until every socket it opened
    (the server's and the client's) is closed again."""
    before = open_sockets()
    with Console() as console:
        asyncio.run(asyncio.wait_for(case(console), 2 * TIMEOUT))
        wait_until_sync(lambda: open_sockets() <= before)
    return console


@pytest.fixture(autouse=True)
def still_plays(match_server, capfd):
    """After each case the same process still plays a whole game."""
    yield
    capfd.readouterr()
    outcomes = asyncio.run(play_game(match_server, match_server.url, ScriptedClient(TIE[0]), ScriptedClient(TIE[1])))
    assert outcomes == [None, None]
    out, err = capfd.readouterr()
    assert out.count("Tie\n") == 2, (out, err)


class Gate(ScriptedClient):
    """Plays its moves, but its turn number `hold` waits until released."""

    def __init__(self, moves: list[int], hold: int | None = None) -> None:
        super().__init__(moves)
        self.hold = hold
        self.holding = asyncio.Event()
        self.release = asyncio.Event()
        self.finished_turns = 0

    async def handle_turn(self, state):
        if len(self.states) == self.hold:
            self.holding.set()
            await self.release.wait()
        cell = await super().handle_turn(state)
        self.finished_turns += 1
        return cell


def start_lines(url: str, seat: int | None = None) -> str:
    lines = f"Connected to {url}\nWaiting for game to start\n"
    return lines if seat is None else lines + f"Game started, player id: {seat}\n"


def reset(conn: RawConnection) -> None:
    """Ends the connection with RST instead of FIN."""
    conn.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    conn.close()


def half_close(conn: RawConnection) -> None:
    """A clean end (FIN); the server can still see what the client does next."""
    conn.sock.shutdown(socket.SHUT_WR)


# Where a connection can be when the server misbehaves, and the client each
# needs: its seat, its moves, and which of its turns waits for the test.
PHASES = {
    "handshake": None,
    "mid-response": None,
    "before-start": None,
    "our-turn": (0, [4], 0),
    "their-turn": (1, [4], None),
    "after-winning-move": (0, [0, 1, 2], None),
}


def client_for(phase: str) -> Gate:
    _, moves, hold = PHASES[phase] or (None, [], None)
    return Gate(moves, hold)


async def reach(phase: str, server: RawServer, client: Gate, console: Console) -> RawConnection:
    """Drives the raw server until the client is in `phase`."""
    conn: RawConnection = await off_loop(server.accept)
    request = await off_loop(conn.read_request)
    if phase == "handshake":
        return conn
    if phase == "mid-response":
        await off_loop(conn.send, b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n")
        return conn
    await off_loop(conn.upgrade, request)
    assert await off_loop(conn.read_frame) == Frame(True, BINARY, JOIN)
    await console.printed("Waiting for game to start\n")  # queued the join just before
    if phase == "before-start":
        return conn
    seat, _, _ = PHASES[phase]
    await off_loop(conn.send_binary, bytes([0, seat]))
    await console.printed(f"Game started, player id: {seat}\n")
    if phase == "our-turn":
        await client.holding.wait()
    elif phase == "after-winning-move":
        for mine, theirs in ((0, 3), (1, 4)):
            assert await off_loop(conn.read_frame) == Frame(True, BINARY, bytes([mine]))
            await off_loop(conn.send_binary, bytes([theirs]))
        assert await off_loop(conn.read_frame) == Frame(True, BINARY, b"\x02")
    return conn


def expected_console(phase: str, url: str, ending: str) -> tuple[str, str]:
    if phase in ("handshake", "mid-response"):
        return "", f"Failed to connect to {url}: {RESET if ending == 'reset' else UNFINISHED}\n"
    if phase == "before-start":
        return start_lines(url), ENDED_BEFORE_START
    seat = PHASES[phase][0]
    if phase == "after-winning-move":
        return start_lines(url, seat) + "Player1 wins!\n", ""
    return start_lines(url, seat), ENDED_MID_GAME


# --- the connection ends -----------------------------------------------------


class TestConnectionEnds:
    @pytest.mark.parametrize("ending", ["reset", "fin"])
    @pytest.mark.parametrize("phase", list(PHASES))
    def test_in_every_phase(self, phase, ending) -> None:
        url = ""

        async def case(console: Console) -> None:
            nonlocal url
            with RawServer() as server:
                url = server.url
                client = client_for(phase)
                future = client.connect(server.url)
                conn = await reach(phase, server, client, console)
                (reset if ending == "reset" else half_close)(conn)
                if phase == "our-turn":
                    # Let the end reach the client while handle_turn still
                    # runs; its answer then has nowhere to go.
                    await asyncio.sleep(0.05)
                    client.release.set()
                assert await asyncio.wait_for(future, TIMEOUT) is None
                if ending == "fin":
                    # The client closes its side too, with nothing but the
                    # answer it may still have handed to the socket.
                    rest = await off_loop(conn.frames_until_end)
                    assert rest in ([], [Frame(True, BINARY, b"\x04")] if phase == "our-turn" else [])
                if phase == "our-turn":
                    assert client.finished_turns == 1

        console = run_case(case)
        assert (console.out, console.err) == expected_console(phase, url, ending)


# --- frames that break the protocol -------------------------------------------


def rsv(bit: int) -> bytes:
    return bytes([0x80 | bit | BINARY, 2]) + b"\x00\x01"


BROKEN_FRAMES = {
    "masked": encode_frame(BINARY, b"\x00\x01", mask=True),
    **{f"opcode-{op:x}": encode_frame(op, b"?") for op in (3, 4, 5, 6, 7, 0xB, 0xC, 0xD, 0xE, 0xF)},
    "rsv1": rsv(0x40),
    "rsv2": rsv(0x20),
    "rsv3": rsv(0x10),
    "bad-utf8": encode_frame(TEXT, b"ok \xff\xfe"),
    "bad-utf8-fragmented": encode_frame(TEXT, b"\xe2\x82", fin=False) + encode_frame(CONTINUATION, b"\x28"),
    "message-too-big": encode_frame(BINARY, b"", length=MAX_MESSAGE + 1),
    "frame-too-big": encode_frame(BINARY, b"", length=MAX_FRAME + 1),
    "fragments-too-big": lambda: b"".join(
        encode_frame(BINARY if i == 0 else CONTINUATION, b"\x0c" * MAX_FRAME, fin=False) for i in range(4)
    ) + encode_frame(CONTINUATION, b"", length=1),
    "fragmented-ping": encode_frame(PING, b"a", fin=False) + encode_frame(CONTINUATION, b"b"),
    "long-ping": encode_frame(PING, b"p" * 126),
    "long-close": encode_frame(CLOSE, struct.pack("!H", 1000) + b"r" * 124),
    "one-byte-close": encode_frame(CLOSE, b"\x03"),
    "lone-continuation": encode_frame(CONTINUATION, b"\x00\x01"),
    "data-inside-fragments": encode_frame(BINARY, b"\x00", fin=False) + encode_frame(BINARY, b"\x01"),
}


class TestBrokenFrames:
    @pytest.mark.parametrize("phase", ["before-start", "their-turn"])
    @pytest.mark.parametrize("name", list(BROKEN_FRAMES))
    def test_ends_the_session(self, name, phase) -> None:
        url = ""

        async def case(console: Console) -> None:
            nonlocal url
            with RawServer() as server:
                url = server.url
                client = client_for(phase)
                future = client.connect(server.url)
                conn = await reach(phase, server, client, console)
                frames = BROKEN_FRAMES[name]
                await off_loop(conn.send, frames() if callable(frames) else frames)
                assert await asyncio.wait_for(future, TIMEOUT) is None
                # The client fails the connection: at most a close frame,
                # then the end of the stream, without waiting for payload
                # that was only announced.
                rest = await off_loop(conn.frames_until_end)
                assert all(frame.opcode == CLOSE for frame in rest) and len(rest) <= 1, rest

        console = run_case(case)
        assert console.err == (ENDED_BEFORE_START if phase == "before-start" else ENDED_MID_GAME)
        assert console.out == start_lines(url, PHASES[phase] and PHASES[phase][0])


# --- a flood during the opponent's turns ------------------------------------------

JUNK = [
    encode_frame(TEXT, b"4"),
    encode_frame(BINARY, b"\x09"),  # not a cell
    encode_frame(BINARY, b""),
    encode_frame(PONG, b"unasked"),
    encode_frame(BINARY, b"\x0c", fin=False) + encode_frame(CONTINUATION, b"\x03" * 300),  # cell 12
]


def flooded_game(conn: RawConnection, pings_per_turn: int) -> tuple[list[bytes], list[bytes], list[int]]:
    """Plays X (TIE[0]) against the client's O; before each X move the client
    gets a burst of pings and junk. Sending runs on its own thread so the
    client's pongs are read while the bursts go out. Returns the pings sent,
    the pongs received and the client's moves."""
    bursts: queue.Queue[bytes | None] = queue.Queue()

    def send_all() -> None:
        for burst in iter(bursts.get, None):
            conn.send(burst)

    sender = threading.Thread(target=send_all, daemon=True)
    sender.start()
    pings: list[bytes] = []

    def burst_then(cell: int) -> None:
        frames = []
        for i in range(pings_per_turn):
            pings.append(f"{cell}:{i}".encode())
            frames.append(encode_frame(PING, pings[-1]))
            if i % 97 == 0:
                frames.append(JUNK[i % len(JUNK)])
        frames.append(encode_frame(BINARY, bytes([cell])))
        bursts.put(b"".join(frames))

    x_moves = list(TIE[0])
    bursts.put(encode_frame(BINARY, b"\x00\x01"))
    burst_then(x_moves.pop(0))
    pongs: list[bytes] = []
    moves: list[int] = []
    while x_moves:
        frame = conn.read_frame()
        assert frame is not None, "the client left mid-game"
        if frame.opcode == PONG:
            pongs.append(frame.payload)
        else:
            assert frame.opcode == BINARY and len(frame.payload) == 1, frame
            moves.append(frame.payload[0])
            burst_then(x_moves.pop(0))
    bursts.put(encode_frame(CLOSE, struct.pack("!H", 1000)))
    bursts.put(None)
    sender.join(TIMEOUT)
    for frame in conn.frames_until_end():
        if frame.opcode == PONG:
            pongs.append(frame.payload)
        else:
            assert frame.opcode == CLOSE, frame
    return pings, pongs, moves


def test_flood_of_pings_and_junk_during_their_turns() -> None:
    url = ""

    async def case(console: Console) -> None:
        nonlocal url
        with RawServer() as server:
            url = server.url
            client = ScriptedClient(TIE[1])
            future = client.connect(server.url)
            conn = await off_loop(server.accept)
            await off_loop(conn.handshake)
            assert await off_loop(conn.read_frame) == Frame(True, BINARY, JOIN)
            pings, pongs, moves = await off_loop(flooded_game, conn, 2000)
            assert await asyncio.wait_for(future, TIMEOUT) is None
            assert moves == TIE[1]
            assert len(pings) == 10000 and pongs == pings  # each one, in order

    console = run_case(case)
    assert (console.out, console.err) == (start_lines(url, 1) + "Tie\n", "")


# --- cancellation in every phase ------------------------------------------------

HALF_FRAME = encode_frame(BINARY, b"\x00\x01")[:3]  # header and one byte of two


def full_listener() -> tuple[socket.socket, list[socket.socket]]:
    """A listener whose accept queue is full, so a new connection attempt
    stays in SYN-SENT."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(0)
    fillers = []
    for _ in range(2):
        filler = socket.socket()
        filler.setblocking(False)
        filler.connect_ex(listener.getsockname())
        fillers.append(filler)
    return listener, fillers


class TestCancellation:
    @pytest.mark.parametrize(
        "phase",
        ["connecting", "handshake", "mid-response", "before-start", "our-turn", "their-turn",
         "stalled-before-start", "stalled-their-turn"],
    )
    def test_in_every_phase(self, phase) -> None:
        stalled = phase.startswith("stalled-")
        base = phase.removeprefix("stalled-")

        async def case(console: Console) -> None:
            client = client_for("handshake" if base == "connecting" else base)
            gc.collect()
            baseline = sys.getrefcount(client)
            if base == "connecting":
                listener, fillers = full_listener()
                with listener:
                    future = client.connect(f"ws://127.0.0.1:{listener.getsockname()[1]}")
                    await asyncio.sleep(0.1)  # let the attempt start
                    future.cancel()
                    await wait_until(lambda: sys.getrefcount(client) == baseline)
                    for filler in fillers:
                        filler.close()
                # The attempt's socket is closed too: run_case counts them.
                assert future.cancelled() and (console.out, console.err) == ("", "")
                return
            with RawServer() as server:
                future = client.connect(server.url)
                conn = await reach(base, server, client, console)
                if stalled:
                    await off_loop(conn.send, HALF_FRAME)
                    await asyncio.sleep(0.05)  # the reader now waits inside the frame
                printed = (console.out, console.err)
                future.cancel()
                if base == "our-turn":
                    # The running handle_turn runs on; its answer goes nowhere.
                    client.release.set()
                    await wait_until(lambda: client.finished_turns == 1)
                await wait_until(lambda: sys.getrefcount(client) == baseline)
                assert future.cancelled()
                # The reader lets go of the connection once it has something
                # to deliver: the rest of the frame, a move, a ping.
                if stalled:
                    await off_loop(conn.send, encode_frame(BINARY, b"\x00\x01")[3:])
                elif base == "their-turn":
                    await off_loop(conn.send_binary, b"\x00")
                elif base not in ("handshake", "mid-response"):
                    await off_loop(conn.send_ping, b"anyone?")
                rest = await off_loop(conn.frames_until_end)
                assert all(frame.opcode == PONG for frame in rest), rest
                await asyncio.sleep(0.05)
                assert (console.out, console.err) == printed

        run_case(case)


# --- the loop closed under a running session -----------------------------------------

LOOP_CLOSED_SCRIPT = textwrap.dedent(
    """
    import asyncio, gc, sys
    sys.path.insert(0, sys.argv[1])
    import kestrel
    from support.match_server import MatchServer
    from support.players import TIE, ScriptedClient, play_game, wait_until_sync
    from kestrel_dev.websocket_server import BINARY
    from support.raw_server import Frame, RawServer

    phase = sys.argv[2]
    turns = []

    class Bot(kestrel.TicTacToeClient):
        async def handle_turn(self, state):
            turns.append(state.board)
            await asyncio.Event().wait()  # its loop closes under it

    with RawServer() as server:
        loop = asyncio.new_event_loop()

        async def start():
            return Bot().connect(server.url)

        future = loop.run_until_complete(start())
        conn = server.accept()
        conn.handshake()
        assert conn.read_frame() == Frame(True, BINARY, b"\\0\\0")
        conn.send_binary(bytes([0, 1 if phase == "their-turn" else 0]))

        async def until_our_turn():
            while not turns:
                await asyncio.sleep(0.005)

        if phase != "their-turn":
            loop.run_until_complete(until_our_turn())
        previous = getattr(sys, "last_value", None)
        loop.close()
        if phase == "our-turn-then-exit":
            sys.stdout.write("main returned\\n")
            sys.exit(0)
        if phase == "our-turn":
            # The turn can never finish; once its task is collected the
            # worker learns so, and cannot reach the loop to report it.
            gc.collect()
        else:
            conn.send_binary(b"\\x04")  # the worker must now ask the closed loop for a turn
        wait_until_sync(lambda: getattr(sys, "last_value", None) is not previous)
        print(repr(sys.last_value), "done" if future.done() else "pending", flush=True)

    with MatchServer() as match:
        print(asyncio.run(play_game(match, match.url, ScriptedClient(TIE[0]), ScriptedClient(TIE[1]))))
    sys.stdout.write("main returned\\n")
    """
)

CLOSED = "RuntimeError('Event loop is closed')"


class TestLoopClosed:
    @pytest.mark.parametrize(
        "phase, unwrapped",
        [
            ("our-turn", "PyErr { type: <class 'asyncio.exceptions.CancelledError'>, value: CancelledError()"),
            ("their-turn", f"PyErr {{ type: <class 'RuntimeError'>, value: {CLOSED}"),
        ],
    )
    def test_reported_and_left_pending(self, phase, unwrapped) -> None:
        result = run_python(LOOP_CLOSED_SCRIPT, SUPPORT_DIR, phase, timeout=TIMEOUT)
        assert "Fatal Python error" not in result.stderr
        assert result.returncode == 0, result.stderr
        lines = result.stdout.splitlines()
        assert f"{CLOSED} pending" in lines
        assert lines[-4:] == ["Tie", "Tie", "[None, None]", "main returned"]  # and plays on
        # The turn failed on the worker, which says so; then the panic
        # could not be delivered to the closed loop, which is printed.
        assert "thread 'tokio-runtime-worker' panicked at " in result.stderr
        assert "called `Result::unwrap()` on an `Err` value: " + unwrapped in result.stderr
        assert result.stderr.rstrip().endswith("RuntimeError: Event loop is closed")

    def test_exit_with_the_turn_stranded(self) -> None:
        result = run_python(LOOP_CLOSED_SCRIPT, SUPPORT_DIR, "our-turn-then-exit", timeout=TIMEOUT)
        assert "Fatal Python error" not in result.stderr
        assert result.returncode == 0, result.stderr
        assert result.stdout.endswith("main returned\n")


def test_answers_given_after_a_cancel_are_never_played() -> None:
    # Each session is cancelled just before its handle_turn answers; the
    # race between the cancel and the answer is run many times at once.
    async def case(console: Console) -> None:
        with RawServer() as server:
            clients = [Gate([4], hold=0) for _ in range(20)]
            futures, conns = [], []
            for client in clients:
                futures.append(client.connect(server.url))
                conns.append(await reach("our-turn", server, client, console))
            # reach() is content with any client's start line, and the
            # clients all print the same ones: wait for the last client's.
            await wait_until(lambda: console.out.count("Game started, player id: 0\n") == len(clients))
            printed = (console.out, console.err)
            assert printed == (start_lines(server.url, 0) * len(clients), "")
            for future, client in zip(futures, clients, strict=True):
                future.cancel()
                client.release.set()
            await wait_until(lambda: all(client.finished_turns == 1 for client in clients))
            for conn in conns:
                await off_loop(conn.send_ping, b"anyone?")
                rest = await off_loop(conn.frames_until_end)
                assert all(frame.opcode == PONG for frame in rest), rest
            assert all(future.cancelled() for future in futures)
            assert (console.out, console.err) == printed

    run_case(case)


def test_cancel_while_the_response_comes_in() -> None:
    # The handshake reads the response in steps; a cancel that lands between
    # two of them must still end the session and close its socket, though
    # the response never completes. Run many times at once.
    SESSIONS = 100

    async def case(console: Console) -> None:
        with RawServer() as server:
            clients = [Gate([]) for _ in range(SESSIONS)]
            gc.collect()
            baselines = [sys.getrefcount(clients[i]) for i in range(SESSIONS)]
            futures, conns = [], []
            for i in range(SESSIONS):
                futures.append(clients[i].connect(server.url))
                conn = await off_loop(server.accept)
                await off_loop(conn.read_request)
                conns.append(conn)
            partial = b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
            for i, (conn, future) in enumerate(zip(conns, futures, strict=True)):
                # The two orders spread the cancels around the response's
                # arrival.
                if i % 2:
                    await off_loop(conn.send, partial)
                    future.cancel()
                else:
                    future.cancel()
                    await off_loop(conn.send, partial)
            await wait_until(lambda: all(sys.getrefcount(clients[i]) == baselines[i] for i in range(SESSIONS)))
            for conn in conns:
                assert await off_loop(conn.read_until_end) == b""  # closed by the client
            assert (console.out, console.err) == ("", "")

    run_case(case)
