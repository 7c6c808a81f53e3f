"""Whole sessions through the session_client driver: games against the
websockets match server, and scripted raw servers for the start message,
closed connections, cancellation in each phase, the writer drain and the
runtime setting."""

from __future__ import annotations

import re
import threading
import time

import pytest

from kestrel_dev.websocket_server import BINARY, CLOSE, PING, PONG, encode_frame
from support.match_server import JOIN, MatchServer
from support.raw_server import Frame, RawConnection, RawServer
from support.session_driver import CANCELLED, FAILED, FINISHED, NO_RUNTIME, Driver, run_driver

ENDED_EARLY = "Connection to the server ended before the game started"


def session_lines(url: str, seat: int, *rest: str) -> list[str]:
    return [f"Connected to {url}", "Waiting for game to start", f"Game started, player id: {seat}", *rest]


def play_pair(build_dir, server: MatchServer, first: str, second: str, env=None):
    """Two clients, the first one certain to get seat 0; both exit the moment
    their game is over."""
    joined = len(server.join_requests)
    a = Driver(build_dir, server.url, "--moves", first, env=env)
    server.wait_for_joins(joined + 1)
    b = Driver(build_dir, server.url, "--moves", second, env=env)
    return a.finish(), b.finish()



@pytest.fixture(autouse=True)
def _no_driver_left_behind():
    yield
    Driver.kill_all()

# --- whole games ------------------------------------------------------------


@pytest.mark.parametrize(
    ("first", "second", "result", "moves"),
    [
        ("0,1,2", "3,4", "Player1 wins!", [0, 3, 1, 4, 2]),
        ("0,1,8", "3,4,5", "Player2 wins!", [0, 3, 1, 4, 8, 5]),
        ("0,2,3,7,8", "1,4,5,6", "Tie", [0, 1, 2, 4, 3, 5, 7, 6, 8]),
    ],
    ids=["seat0-wins", "seat1-wins", "tie"],
)
def test_whole_game_for_both_seats(build_dir, match_server, first, second, result, moves):
    a, b = play_pair(build_dir, match_server, first, second)
    assert (a.status, a.out_lines, a.err) == (FINISHED, session_lines(match_server.url, 0, result), "")
    assert (b.status, b.out_lines, b.err) == (FINISHED, session_lines(match_server.url, 1, result), "")
    # Every move reached the server, the last one too, although the process
    # that made it exited the moment its game was over.
    [game] = match_server.wait_for_games(1)
    assert [cell for _, cell in game.moves] == moves
    assert match_server.join_requests == [JOIN, JOIN]


@pytest.mark.parametrize(("value", "workers"), [("4", 4), ("+8", 8)])
def test_worker_thread_setting_is_honoured(build_dir, match_server, value, workers):
    env = {"TOKIO_WORKER_THREADS": value}
    joined = len(match_server.join_requests)
    a = Driver(build_dir, match_server.url, "--moves", "0,1,2", "--print-workers", env=env)
    match_server.wait_for_joins(joined + 1)
    b = Driver(build_dir, match_server.url, "--moves", "3,4", env=env)
    ra, rb = a.finish(), b.finish()
    assert ra.err_lines == [f"driver: workers {workers}"]
    assert ra.out_lines == session_lines(match_server.url, 0, "Player1 wins!")
    assert rb.out_lines == session_lines(match_server.url, 1, "Player1 wins!")


@pytest.mark.parametrize(
    ("value", "message"),
    [
        ("0", '"TOKIO_WORKER_THREADS" cannot be set to 0'),
        ("abc", '"TOKIO_WORKER_THREADS" must be usize, error: '),
        ("", '"TOKIO_WORKER_THREADS" must be usize, error: '),
    ],
)
def test_bad_worker_thread_setting_is_an_internal_failure(build_dir, value, message):
    result = run_driver(build_dir, "ws://127.0.0.1:9", env={"TOKIO_WORKER_THREADS": value})
    assert result.status == NO_RUNTIME and result.out == ""
    assert result.err.startswith("driver: InternalFailure: " + message)
    assert result.err.count("\n") == 1


# --- the start message --------------------------------------------------------


def joined(driver: Driver, server: RawServer) -> RawConnection:
    """Accepts the client, completes the handshake and checks the join request."""
    conn = server.accept()
    conn.handshake()
    assert conn.read_frame() == Frame(True, BINARY, JOIN)  # the very first message
    driver.wait_for_line("Waiting for game to start")
    return conn


def test_junk_before_the_start_is_ignored_silently(build_dir):
    with RawServer() as server:
        driver = Driver(build_dir, server.url, "--linger")
        conn = joined(driver, server)
        conn.send_text("5")
        conn.send_ping(b"hello")
        conn.send_binary(b"\x01\x00")  # not a ServerMessage
        conn.send_binary(b"")
        conn.send_frame(PONG, b"x")
        conn.send_binary(b"\x00")  # cut short
        conn.send_binary(b"\x00\x01")
        assert driver.line() == "Game started, player id: 1"
        assert conn.read_frame() == Frame(True, PONG, b"hello")
        conn.send_binary(b"\x09")  # not a cell: the game keeps waiting
        conn.send_binary(b"\x04")
        assert conn.read_frame() == Frame(True, BINARY, b"\x00")  # first free cell
        conn.send_close(1000)
        conn.frames_until_end()
        result = driver.finish()
        assert result.out_lines == session_lines(server.url, 1)


@pytest.mark.parametrize(
    ("payload", "seat"), [(b"\x00\xfb\x2c\x01", 300), (b"\x00\x05\xff\xff", 5), (b"\x00\x00", 0)]
)
def test_start_message_forms(build_dir, payload, seat):
    with RawServer() as server:
        driver = Driver(build_dir, server.url, "--linger", "--strategy", "hang")
        conn = joined(driver, server)
        conn.send_binary(payload)
        assert driver.line() == f"Game started, player id: {seat}"
        conn.close()
        driver.cancel()  # the seat-0 game would otherwise wait for its strategy
        assert driver.finish().out_lines == session_lines(server.url, seat)


# --- the server going away ------------------------------------------------------


@pytest.mark.parametrize("how", ["close-frame", "drop"])
def test_server_gone_before_the_start(build_dir, how):
    with RawServer() as server:
        driver = Driver(build_dir, server.url)
        conn = joined(driver, server)
        if how == "close-frame":
            conn.send_close(1001, "going away")
            [reply] = conn.frames_until_end()
            assert reply.opcode == CLOSE and reply.close_code == 1001
        else:
            conn.close()
        result = driver.finish()
        assert (result.status, result.err) == (FINISHED, ENDED_EARLY + "\n")
        assert result.out_lines == [f"Connected to {server.url}", "Waiting for game to start"]


@pytest.mark.parametrize("how", ["close-frame", "drop"])
def test_server_gone_mid_game_ends_the_session(build_dir, how):
    with RawServer() as server:
        driver = Driver(build_dir, server.url, "--moves", "4")
        conn = joined(driver, server)
        conn.send_binary(b"\x00\x00")
        assert conn.read_frame() == Frame(True, BINARY, b"\x04")
        if how == "close-frame":
            conn.send_close(1000)
        else:
            conn.close()
        result = driver.finish()  # ends on its own: no hang
        assert result.status == FINISHED
        assert result.out_lines == session_lines(server.url, 0)
        assert "Failed" not in result.err


def test_opponent_leaving_mid_game_ends_the_other_session(build_dir, closing_match_server):
    server = closing_match_server
    a = Driver(build_dir, server.url, "--moves", "0")
    server.wait_for_joins(1)
    b = Driver(build_dir, server.url, "--strategy", "hang", "--linger")
    b.wait_for_line("Game started, player id: 1")
    b.kill()
    result = a.finish()
    assert result.status == FINISHED
    assert result.out_lines == session_lines(server.url, 0)


def test_session_sends_no_close_after_the_game(build_dir):
    with RawServer() as server:
        driver = Driver(build_dir, server.url, "--moves", "0,1,2", "--linger")
        conn = joined(driver, server)
        conn.send_binary(b"\x00\x00")
        for mine, theirs in ((0, 3), (1, 4)):
            assert conn.read_frame() == Frame(True, BINARY, bytes([mine]))
            conn.send_binary(bytes([theirs]))
        assert conn.read_frame() == Frame(True, BINARY, b"\x02")
        driver.wait_for_err_line("driver: session finished")  # the server has not closed
        # The reader notices that nobody listens only when something arrives;
        # then the socket closes, without a close frame from the client.
        conn.send_ping(b"?")
        assert all(frame.opcode != CLOSE for frame in conn.frames_until_end())
        assert driver.finish().out_lines == session_lines(server.url, 0, "Player1 wins!")


# --- cancellation -------------------------------------------------------------


def cancel_and_expect_release(driver: Driver, conn: RawConnection) -> None:
    """Cancels the session, then checks that the connection is let go of at
    once: the server here says nothing more, as one waiting for a move or a
    partner would, and the cancelled session must not wait for it to."""
    driver.cancel()
    driver.wait_for_err_line("driver: session cancelled")
    assert conn.frames_until_end() == []


def test_cancel_while_connecting(build_dir):
    with RawServer() as server:
        driver = Driver(build_dir, server.url, "--linger")
        conn = server.accept()
        conn.read_request()  # and never answer
        driver.cancel()
        assert conn.read_until_end() == b""  # the abandoned connection is closed
        result = driver.finish()
        assert (result.status, result.out, result.err) == (CANCELLED, "", "driver: session cancelled\n")


def test_cancel_while_waiting_for_the_start(build_dir):
    with RawServer() as server:
        driver = Driver(build_dir, server.url, "--linger")
        conn = joined(driver, server)
        cancel_and_expect_release(driver, conn)
        result = driver.finish()
        assert result.status == CANCELLED
        assert result.out_lines == [f"Connected to {server.url}", "Waiting for game to start"]


@pytest.mark.parametrize(
    ("seat", "args"),
    [(1, ()), (0, ("--strategy", "hang"))],
    ids=["waiting-for-opponent", "strategy-thinking"],
)
def test_cancel_while_playing(build_dir, seat, args):
    with RawServer() as server:
        driver = Driver(build_dir, server.url, "--linger", *args)
        conn = joined(driver, server)
        conn.send_binary(bytes([0, seat]))
        assert driver.line() == f"Game started, player id: {seat}"
        cancel_and_expect_release(driver, conn)
        result = driver.finish()
        assert result.status == CANCELLED
        assert result.out_lines == session_lines(server.url, seat)  # no result line


# --- strategy failure ----------------------------------------------------------


def test_strategy_failure_propagates_out_of_the_session(build_dir):
    with RawServer() as server:
        driver = Driver(build_dir, server.url, "--strategy", "fail")
        conn = joined(driver, server)
        conn.send_binary(b"\x00\x00")
        result = driver.finish()
        assert result.status == FAILED
        assert result.out_lines == session_lines(server.url, 0)
        # Linux keeps the first 15 characters of a thread's name.
        assert re.search(r"^thread 'tokio-runtime-worker' panicked at .*session_client\.cpp:", result.err)
        assert "\nthe test strategy refused to move\n" in result.err
        assert result.err_lines[-1] == "driver: session failed: the test strategy refused to move"


# --- the writer drain -------------------------------------------------------------


class PingFlood:
    """Sends pings from a thread and never reads, so that the client's
    automatic pongs fill its send path and its writes wait."""

    def __init__(self, conn: RawConnection) -> None:
        self.conn = conn
        self.sent = 0
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self) -> None:
        chunk = encode_frame(PING, b"p" * 125) * 256
        try:
            while not self.stop.is_set():
                self.conn.sock.sendall(chunk)
                self.sent += len(chunk)
        except OSError:
            pass

    def wait_until_stalled(self) -> None:
        """Returns once nothing more could be sent for a good while: the
        client has stopped reading because its pong write cannot complete."""
        last, quiet = -1, 0
        while quiet < 3:
            time.sleep(0.3)
            quiet = quiet + 1 if self.sent == last else 0
            last = self.sent


def test_session_waits_for_the_writer_to_hand_over_the_last_move(build_dir):
    with RawServer(receive_buffer=4096) as server:
        driver = Driver(build_dir, server.url, "--moves", "0,1,2", "--hold", "3", "--linger")
        conn = joined(driver, server)
        conn.send_binary(b"\x00\x00")
        assert conn.read_frame() == Frame(True, BINARY, b"\x00")
        conn.send_binary(b"\x03")
        assert conn.read_frame() == Frame(True, BINARY, b"\x01")
        conn.send_binary(b"\x04")
        flood = PingFlood(conn)
        flood.wait_until_stalled()
        driver.tell("go")  # the winning move now waits behind the stuck pongs
        driver.wait_for_line("Player1 wins!")
        # The game is over but the move has not left, so the session is still
        # waiting for the writer: a cancel still finds it running. (Had it
        # finished, the driver would report "session finished" and a process
        # exiting now would lose the move.)
        driver.cancel()
        driver.wait_for_err_line("driver: session cancelled")
        flood.stop.set()
        conn.close()
        assert driver.finish().status == CANCELLED
