"""The hop between the event loop and the background work: unusable answers
from handle_turn, cancellation, references, and interpreter exit."""

from __future__ import annotations

import asyncio
import gc
import os
import re
import signal
import socket
import struct
import sys
import textwrap
import threading
from pathlib import Path

import pytest

import kestrel
from support.loops import loop_class
from support.players import (
    TIE,
    TIMEOUT,
    RawOpponent,
    ScriptedClient,
    play_game,
    run_python,
    start_python,
    wait_until,
    wait_until_sync,
)

SUPPORT_DIR = str(Path(__file__).parent)
UNWRAP = "called `Result::unwrap()` on an `Err` value: "
NO_TRACEBACK = ", traceback: None }"
SOME_TRACEBACK = r", traceback: Some\(<traceback object at 0x[0-9a-f]+>\) \}"


def err_form(type_repr: str, value_repr: str) -> str:
    return f"{UNWRAP}PyErr {{ type: {type_repr}, value: {value_repr}{NO_TRACEBACK}"


async def fail_first_turn(server, client, exception_handler_calls=None):
    """Seats `client` first against a silent opponent and returns the
    exception its connect future ends with."""
    loop = asyncio.get_running_loop()
    if exception_handler_calls is not None:
        loop.set_exception_handler(lambda _loop, context: exception_handler_calls.append(context))
    future = client.connect(server.url)
    await wait_until(lambda: len(server.join_requests) == 1)
    async with RawOpponent(server.url) as opponent:
        with pytest.raises(BaseException) as raised:
            await asyncio.wait_for(future, TIMEOUT)
        await wait_until(lambda: bool(opponent.received))
    assert opponent.received == [b"\x00\x01"], "no move may reach the server"
    return raised.value


def answering(answer):
    class Bot(kestrel.TicTacToeClient):
        async def handle_turn(self, state):
            return answer

    return Bot()


class TestUnusableAnswers:
    @pytest.mark.parametrize(
        "answer, message",
        [
            (9, "called `Option::unwrap()` on a `None` value"),
            (2**40, "called `Option::unwrap()` on a `None` value"),
            (-1, err_form("<class 'OverflowError'>", "OverflowError(\"can't convert negative int to unsigned\")")),
            (2**64, err_form("<class 'OverflowError'>", "OverflowError('int too big to convert')")),
            (4.0, err_form("<class 'TypeError'>", "TypeError(\"'float' object cannot be interpreted as an integer\")")),
            ("4", err_form("<class 'TypeError'>", "TypeError(\"'str' object cannot be interpreted as an integer\")")),
            (None, err_form("<class 'TypeError'>",
                            "TypeError(\"'NoneType' object cannot be interpreted as an integer\")")),
        ],
        ids=["nine", "huge", "negative", "2**64", "float", "str", "none"],
    )
    def test_answer_is_not_a_cell(self, match_server, capfd, answer, message) -> None:
        error = asyncio.run(fail_first_turn(match_server, answering(answer)))
        assert type(error).__name__ == "RustPanic"
        assert type(error).__module__ == "pyo3_asyncio"
        assert isinstance(error, Exception)
        assert error.args == ("rust future panicked: " + message,)
        out, err = capfd.readouterr()
        # The worker names itself, the place and the message on stderr.
        panic = r"thread 'tokio-runtime-worker' panicked at src/python/[^\n]+:\d+:\d+:\n"
        # ... and nothing else: reading the answer leaves no Python error behind.
        assert re.fullmatch(panic + re.escape(message) + "\n", err)
        assert "Game started, player id: 0" in out
        assert "wins" not in out and "Tie" not in out

    def test_handle_turn_raises(self, match_server) -> None:
        class Bot(kestrel.TicTacToeClient):
            async def handle_turn(self, state):
                raise ValueError("no idea")

        error = asyncio.run(fail_first_turn(match_server, Bot()))
        assert re.fullmatch(
            re.escape("rust future panicked: " + UNWRAP + "PyErr { type: <class 'ValueError'>, "
                      "value: ValueError('no idea')") + SOME_TRACEBACK,
            error.args[0],
        )

    def test_plain_handle_turn_raises_on_the_worker(self, match_server) -> None:
        class Bot(kestrel.TicTacToeClient):
            def handle_turn(self, state):
                raise KeyError("sync")

        error = asyncio.run(fail_first_turn(match_server, Bot()))
        assert re.fullmatch(
            re.escape("rust future panicked: " + UNWRAP + "PyErr { type: <class 'KeyError'>, "
                      "value: KeyError('sync')") + SOME_TRACEBACK,
            error.args[0],
        )

    @pytest.mark.parametrize("where", ["raised", "index", "metaclass"])
    def test_exception_that_cannot_describe_itself(self, match_server, capfd, where) -> None:
        class Meta(type):
            def __repr__(cls):
                raise RuntimeError("no repr for the class either")

        class Unprintable(Exception, metaclass=Meta if where == "metaclass" else type):
            def __repr__(self):
                raise RuntimeError("no repr")

        class Answer:
            def __index__(self):
                raise Unprintable()

        class Bot(kestrel.TicTacToeClient):
            async def handle_turn(self, state):
                if where == "index":
                    return Answer()
                raise Unprintable()

        error = asyncio.run(fail_first_turn(match_server, Bot()))
        qualified = f"{__name__}.{Unprintable.__qualname__}"
        message = re.escape(UNWRAP + f"PyErr {{ type: <class '{qualified}'>, value: <unprintable Unprintable object>"
                            ) + SOME_TRACEBACK
        assert re.fullmatch(re.escape("rust future panicked: ") + message, error.args[0])
        # The report still points at the turn callback.
        assert re.search(r"thread 'tokio-runtime-worker' panicked at src/python/turn\.cpp:\d+:\d+:\n" + message + "\n",
                         capfd.readouterr().err)

    def test_handle_turn_missing(self, match_server) -> None:
        class Bot(kestrel.TicTacToeClient):
            pass

        error = asyncio.run(fail_first_turn(match_server, Bot()))
        assert error.args == (
            "rust future panicked: " + err_form("<class 'AttributeError'>",
                                                "AttributeError(\"'Bot' object has no attribute 'handle_turn'\")"),
        )

    def test_answer_not_awaitable(self, match_server) -> None:
        class Bot(kestrel.TicTacToeClient):
            def handle_turn(self, state):
                return 4

        calls: list[dict] = []
        error = asyncio.run(fail_first_turn(match_server, Bot(), calls))
        assert error.args == (
            "rust future panicked: " + err_form("<class 'asyncio.exceptions.CancelledError'>", "CancelledError()"),
        )
        # The loop reported the failed scheduling callback itself.
        assert len(calls) == 1
        assert isinstance(calls[0]["exception"], TypeError)
        assert "PyEnsureFuture" in repr(calls[0]["handle"])

    def test_handle_turn_task_cancelled(self, match_server) -> None:
        class Bot(kestrel.TicTacToeClient):
            async def handle_turn(self, state):
                asyncio.current_task().cancel()
                await asyncio.sleep(0)
                return 0

        error = asyncio.run(fail_first_turn(match_server, Bot()))
        assert error.args[0].startswith(
            "rust future panicked: " + UNWRAP + "PyErr { type: <class 'asyncio.exceptions.CancelledError'>"
        )


class TestCancellation:
    def test_cancel_mid_turn(self, match_server, capfd) -> None:
        events: list[str] = []

        async def main() -> None:
            release = asyncio.Event()

            async def slow_turn(state):
                # Held by the instance, not the class, and its frame keeps
                # no reference to the client.
                events.append("started")
                await release.wait()
                events.append("finished")
                return 4

            client = kestrel.TicTacToeClient.__new__(type("Slow", (kestrel.TicTacToeClient,), {}))
            client.handle_turn = slow_turn
            gc.collect()
            baseline = sys.getrefcount(client)

            future = client.connect(match_server.url)
            await wait_until(lambda: len(match_server.join_requests) == 1)
            async with RawOpponent(match_server.url) as opponent:
                await wait_until(lambda: events == ["started"])
                waiter = asyncio.ensure_future(future)
                await asyncio.sleep(0)
                waiter.cancel()
                with pytest.raises(asyncio.CancelledError):
                    await waiter
                assert future.cancelled()
                # The session lets go of the client once it is dropped.
                await wait_until(lambda: sys.getrefcount(client) == baseline)
                # The coroutine that was already running runs on.
                release.set()
                await wait_until(lambda: events == ["started", "finished"])
                await wait_until(lambda: bool(opponent.received))
                await asyncio.sleep(0.05)
                assert opponent.received == [b"\x00\x01"]

            # A second connect on the same object plays normally.
            moves = list(TIE[0])

            async def scripted(state):
                return moves.pop(0)

            client.handle_turn = scripted
            assert await play_game(match_server, match_server.url, client, ScriptedClient(TIE[1])) == [None, None]
            gc.collect()
            assert sys.getrefcount(client) == baseline

        asyncio.run(main())
        out, err = capfd.readouterr()
        assert "panicked" not in err
        assert out.count("Tie\n") == 2

    def test_answer_of_a_session_cancelled_in_the_same_loop_pass_is_not_played(self, match_server) -> None:
        # The cancel's done callback runs just before the turn's completion,
        # in the same pass of the loop, while the session may still wait for
        # the answer: a plain int, which the loop thread would otherwise play
        # at once, must be dropped like any answer of a cancelled session.
        # Whether the worker has let go of the turn by then is a race, so
        # the game is played several times.
        class CancelsItself(kestrel.TicTacToeClient):
            async def handle_turn(self, state):
                self.future.cancel()
                return 4

        async def one_game() -> list[bytes]:
            client = CancelsItself()
            joined = len(match_server.join_requests)
            client.future = client.connect(match_server.url)
            await wait_until(lambda: len(match_server.join_requests) == joined + 1)
            async with RawOpponent(match_server.url) as opponent:
                with pytest.raises(asyncio.CancelledError):
                    await client.future
                await wait_until(lambda: bool(opponent.received))
                await asyncio.sleep(0.05)
                return opponent.received

        async def main() -> list[list[bytes]]:
            return [await one_game() for _ in range(8)]

        assert asyncio.run(main()) == [[b"\x00\x01"]] * 8

    def test_cancel_while_waiting_for_start(self, match_server, capfd) -> None:
        async def main() -> None:
            client = ScriptedClient([])
            gc.collect()
            baseline = sys.getrefcount(client)
            future = client.connect(match_server.url)
            await wait_until(lambda: len(match_server.join_requests) == 1)
            future.cancel()
            await wait_until(lambda: sys.getrefcount(client) == baseline)

        asyncio.run(main())
        out, err = capfd.readouterr()
        assert err == ""
        assert "Game started" not in out

    def test_cancel_while_the_handshake_hangs(self, capfd) -> None:
        with socket.socket() as silent:  # accepts TCP, never answers
            silent.bind(("127.0.0.1", 0))
            silent.listen(4)
            url = f"ws://127.0.0.1:{silent.getsockname()[1]}"

            async def main() -> None:
                client = ScriptedClient([])
                gc.collect()
                baseline = sys.getrefcount(client)
                future = client.connect(url)
                await asyncio.sleep(0.1)  # let the connection attempt start
                future.cancel()
                await wait_until(lambda: sys.getrefcount(client) == baseline)

            asyncio.run(main())
        # An abandoned connection attempt is not a failed connection.
        assert capfd.readouterr() == ("", "")

    @pytest.mark.timeout(60)  # fifty connections, each waited out
    def test_nothing_printed_once_cancelled(self, capfd) -> None:
        # The connection is reset mid-handshake just before the task awaiting
        # the session is cancelled. The session may report the failure until
        # the cancel reaches it, but no line of it may follow the task's
        # CancelledError (marked on fd 2 the moment it is raised).
        async def wait_for(future) -> None:
            await future

        async def main() -> list[str]:
            loop = asyncio.get_running_loop()
            urls = []
            for _ in range(50):
                with socket.create_server(("127.0.0.1", 0)) as listener:
                    listener.setblocking(False)
                    urls.append(f"ws://127.0.0.1:{listener.getsockname()[1]}/{len(urls)}")  # unique, ports recur
                    client = ScriptedClient([])
                    gc.collect()
                    baseline = sys.getrefcount(client)
                    future = client.connect(urls[-1])
                    conn, _ = await loop.sock_accept(listener)
                    await loop.sock_recv(conn, 4096)  # the upgrade request: the client now reads
                    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                    waiter = asyncio.create_task(wait_for(future))
                    await asyncio.sleep(0)  # the task now awaits the future
                    conn.close()  # RST
                    waiter.cancel()
                    try:
                        await waiter
                    except asyncio.CancelledError:
                        os.write(2, f"cancelled {urls[-1]}\n".encode())
                    await wait_until(lambda: sys.getrefcount(client) == baseline)  # noqa: B023 (called before the loop moves on)
            return urls

        urls = asyncio.run(main())
        err = capfd.readouterr().err
        for url in urls:
            mark = err.index(f"cancelled {url}\n")
            assert f"Failed to connect to {url}: " not in err[mark:], err

    def test_cancel_after_worker_check_leaves_future_cancelled(self) -> None:
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            url = f"ws://127.0.0.1:{probe.getsockname()[1]}"
        completion_queued = threading.Event()

        # Learns of the completion through the loop's public interface. The
        # worker queues it only after its own check found the future pending,
        # so a cancel from then on is one only the completor can see.
        class WatchedLoop(loop_class()):
            def call_soon_threadsafe(self, callback, *args, context=None):
                handle = super().call_soon_threadsafe(callback, *args, context=context)
                if type(callback).__name__ == "CheckedCompletor":
                    completion_queued.set()
                return handle

        async def main() -> None:
            loop = asyncio.get_running_loop()
            reported: list[dict] = []
            loop.set_exception_handler(lambda _loop, context: reported.append(context))
            future = ScriptedClient([]).connect(url)
            # Blocking the loop thread keeps the completor from running
            # before the cancel.
            assert completion_queued.wait(TIMEOUT)
            future.cancel()
            # The loop runs callbacks in the order they were queued, so the
            # completor has run by the time this step resumes.
            await asyncio.sleep(0)
            assert future.cancelled()
            assert reported == []

        with asyncio.Runner(loop_factory=WatchedLoop) as runner:
            runner.run(main())


class TestReferences:
    def test_client_refcount_returns_to_baseline(self, match_server) -> None:
        async def main() -> None:
            seat0, seat1 = ScriptedClient(TIE[0]), ScriptedClient(TIE[1])
            gc.collect()
            base0, base1 = sys.getrefcount(seat0), sys.getrefcount(seat1)
            await play_game(match_server, match_server.url, seat0, seat1)
            assert (sys.getrefcount(seat0), sys.getrefcount(seat1)) == (base0, base1)

        asyncio.run(main())

    def test_refcount_after_failure(self, match_server) -> None:
        async def main() -> None:
            bot = answering(9)
            gc.collect()
            baseline = sys.getrefcount(bot)
            await fail_first_turn(match_server, bot)

            def released() -> bool:
                # The exception's traceback reaches the bot through a frame,
                # and the worker may still be letting go of the future.
                gc.collect()
                return sys.getrefcount(bot) == baseline

            await wait_until(released)

        asyncio.run(main())

    @pytest.mark.timeout(30)
    def test_no_growth_over_many_games(self) -> None:
        code = textwrap.dedent(
            """
            import asyncio, gc, os, sys, json
            sys.path.insert(0, sys.argv[1])
            from support.match_server import MatchServer
            from support.players import ScriptedClient, TIE, connect_in_seat_order

            def measure():
                gc.collect()
                with open("/proc/self/status") as status:
                    rss = next(int(l.split()[1]) for l in status if l.startswith("VmRSS:"))
                return {"threads": len(os.listdir("/proc/self/task")), "fds": len(os.listdir("/proc/self/fd")),
                        "rss_kb": rss, "objects": len(gc.get_objects())}

            async def rounds(server, count):
                for _ in range(count):
                    clients = [ScriptedClient(TIE[i % 2]) for i in range(8)]
                    futures = []
                    for i in range(0, 8, 2):
                        futures += await connect_in_seat_order(server, server.url, clients[i], clients[i + 1])
                    await asyncio.gather(*futures)
                    # Let the server close the finished connections, then
                    # forget its own records so that only ours are counted.
                    while sum(1 for g in server.games if g.finished.is_set()) < 4:
                        await asyncio.sleep(0.005)
                    server.played += len(server.games)
                    server.games.clear()
                    server.join_requests.clear()
                bases = [sys.getrefcount(c) for c in clients]
                return bases

            with MatchServer(close_after_game=True) as server:
                server.played = 0
                asyncio.run(rounds(server, 10))
                import time; time.sleep(0.3)
                warm = measure()
                bases = asyncio.run(rounds(server, int(sys.argv[2])))
                time.sleep(0.3)
                done = measure()
                print(json.dumps({"warm": warm, "done": done, "games": server.played,
                                  "client_refs": bases}))
            """
        )
        if sys.platform != "linux":
            pytest.skip("measures through /proc")
        result = run_python(code, SUPPORT_DIR, "50", timeout=300)
        assert result.returncode == 0, result.stderr
        import json

        report = json.loads(result.stdout.splitlines()[-1])
        warm, done = report["warm"], report["done"]
        assert report["games"] == 240
        assert done["threads"] == warm["threads"]
        assert done["fds"] <= warm["fds"]
        assert done["objects"] - warm["objects"] < 50
        assert done["rss_kb"] - warm["rss_kb"] < 4 * 1024
        # Held by the test's own list and getrefcount's argument only.
        assert set(report["client_refs"]) == {3}


EXIT_SCRIPT = textwrap.dedent(
    """
    import asyncio, sys, kestrel

    class Bot(kestrel.TicTacToeClient):
        async def handle_turn(self, state):
            if sys.argv[2] == "stuck-in-turn":
                await asyncio.Event().wait()
            await asyncio.sleep(0)
            return next(i for i, mark in enumerate(state.board) if mark is None)

    async def main():
        futures = [Bot().connect(sys.argv[1]) for _ in range(int(sys.argv[3]))]
        print("started", flush=True)
        if sys.argv[2] == "await":
            await asyncio.gather(*futures)
        await asyncio.sleep(float(sys.argv[4]))

    asyncio.run(main())
    # One write: workers still print whole lines, and an unbuffered print
    # writes its end separately.
    sys.stdout.write("main returned\\n")
    sys.stdout.flush()
    """
)


class TestInterpreterExit:
    def check_clean_exit(self, result) -> None:
        assert "Fatal Python error" not in result.stderr
        assert "terminate called" not in result.stderr
        assert result.returncode == 0, result.stderr
        assert "main returned\n" in result.stdout

    def test_exit_while_waiting_for_a_game(self, match_server) -> None:
        result = run_python(EXIT_SCRIPT, match_server.url, "leave", "3", "0.2", timeout=TIMEOUT)
        self.check_clean_exit(result)

    def test_exit_while_handle_turn_runs(self, match_server) -> None:
        result = run_python(EXIT_SCRIPT, match_server.url, "stuck-in-turn", "2", "0.5", timeout=TIMEOUT)
        self.check_clean_exit(result)
        assert "Game started, player id: 0" in result.stdout

    def test_exit_during_many_running_games(self, closing_match_server) -> None:
        # Sessions pair among themselves and keep playing while the
        # interpreter shuts down around them.
        for delay in ("0.05", "0.3"):
            result = run_python(EXIT_SCRIPT, closing_match_server.url, "leave", "40", delay, timeout=TIMEOUT)
            self.check_clean_exit(result)

    def test_exit_while_handshakes_hang(self) -> None:
        with socket.socket() as silent:  # accepts TCP, never answers
            silent.bind(("127.0.0.1", 0))
            silent.listen(64)
            url = f"ws://127.0.0.1:{silent.getsockname()[1]}"
            result = run_python(EXIT_SCRIPT, url, "leave", "20", "0.2", timeout=TIMEOUT)
        self.check_clean_exit(result)

    @pytest.mark.skipif(sys.platform == "win32", reason="POSIX signal delivery")
    def test_ctrl_c_while_awaiting(self, match_server) -> None:
        with start_python(EXIT_SCRIPT, match_server.url, "await", "1", "0") as process:
            try:
                wait_until_sync(lambda: len(match_server.join_requests) == 1)
                process.send_signal(signal.SIGINT)
                out, err = process.communicate(timeout=TIMEOUT)
            finally:
                process.kill()
        assert "KeyboardInterrupt" in err
        assert "Fatal Python error" not in err
        assert process.returncode in (1, -signal.SIGINT, 128 + signal.SIGINT)
        assert "main returned" not in out


def test_loop_closed_before_the_session_ends(capfd) -> None:
    # The worker cannot reach a closed loop: it reports why, and the future
    # stays pending.
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        listener.settimeout(TIMEOUT)
        url = f"ws://127.0.0.1:{listener.getsockname()[1]}"
        loop = asyncio.new_event_loop()

        async def start():
            return ScriptedClient([]).connect(url)

        had_last = hasattr(sys, "last_value")
        previous = getattr(sys, "last_value", None)
        future = loop.run_until_complete(start())
        loop.close()
        # Only now let the handshake fail, so the session ends after the close.
        connection, _ = listener.accept()
        connection.close()
        try:
            wait_until_sync(lambda: getattr(sys, "last_value", None) is not previous)
            assert isinstance(sys.last_value, RuntimeError)
            assert str(sys.last_value) == "Event loop is closed"
            assert not future.done()
        finally:
            if not had_last:
                for name in ("last_type", "last_value", "last_traceback"):
                    if hasattr(sys, name):
                        delattr(sys, name)
    # The interpreter records sys.last_value before it prints the report, so
    # keep reading until the report's last line is there.
    err = ""

    def report_printed() -> bool:
        nonlocal err
        err += capfd.readouterr().err
        return "RuntimeError: Event loop is closed" in err

    wait_until_sync(report_printed)
    assert err.startswith(f"Failed to connect to {url}: ")
