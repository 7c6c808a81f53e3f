"""Whole games through TicTacToeClient against the websockets match server,
and the PyTicTacToeState objects handed to handle_turn."""

from __future__ import annotations

import asyncio
import contextvars
import socket
import sys
import textwrap
import threading

import pytest

import kestrel
from support.players import (
    O_WINS,
    TIE,
    TIMEOUT,
    X_WINS,
    ScriptedClient,
    connect_in_seat_order,
    play_game,
    start_python,
    wait_until,
    wait_until_sync,
)

EMPTY = [None] * 9


def interleave(first: list[int], second: list[int]) -> list[tuple[int, int]]:
    moves = []
    for i in range(len(first) + len(second)):
        seat = i % 2
        moves.append((seat, (first, second)[seat][i // 2]))
    return moves


class TestGames:
    @pytest.mark.parametrize(
        "script, result",
        [(TIE, "Tie"), (X_WINS, "Player1 wins!"), (O_WINS, "Player2 wins!")],
        ids=["tie", "seat0-wins", "seat1-wins"],
    )
    def test_two_clients_in_one_loop(self, match_server, capfd, script, result) -> None:
        seat0, seat1 = ScriptedClient(script[0]), ScriptedClient(script[1])
        url = match_server.url

        outcomes = asyncio.run(play_game(match_server, url, seat0, seat1))

        assert outcomes == [None, None]
        assert match_server.games[0].moves == interleave(*script)
        assert seat0.moves == [] and seat1.moves == []
        out, err = capfd.readouterr()
        assert err == ""
        # Two sessions share the stream; each line is whole, and each client
        # printed its own copy of every line.
        assert sorted(out.splitlines()) == sorted(
            [f"Connected to {url}"] * 2
            + ["Waiting for game to start"] * 2
            + ["Game started, player id: 0", "Game started, player id: 1"]
            + [result] * 2
        )

    def test_boards_shown_to_each_seat(self, match_server) -> None:
        seat0, seat1 = ScriptedClient(TIE[0]), ScriptedClient(TIE[1])
        asyncio.run(play_game(match_server, match_server.url, seat0, seat1))

        assert seat0.boards[0] == EMPTY
        assert seat1.boards[0] == ["X", None, None, None, None, None, None, None, None]
        assert seat0.boards[1] == ["X", None, None, None, "O", None, None, None, None]
        # The seat-1 player sees O for its own marks too: marks name players.
        assert seat1.boards[-1] == ["X", "O", "X", "X", "O", "O", None, "X", None]
        for board in seat0.boards + seat1.boards:
            assert len(board) == 9 and set(board) <= {"X", "O", None}

    def test_console_sequence_of_two_processes(self, match_server) -> None:
        code = textwrap.dedent(
            """
            import asyncio, sys, kestrel

            class Bot(kestrel.TicTacToeClient):
                moves = [int(m) for m in sys.argv[2].split(",")]

                async def handle_turn(self, state):
                    return self.moves.pop(0)

            async def main():
                return await Bot().connect(sys.argv[1])

            print(asyncio.run(main()), file=sys.stderr)
            """
        )
        url = match_server.url
        with start_python(code, url, ",".join(map(str, X_WINS[0]))) as first:
            try:
                wait_until_sync(lambda: len(match_server.join_requests) == 1)
                with start_python(code, url, ",".join(map(str, X_WINS[1]))) as second:
                    out1, err1 = first.communicate(timeout=TIMEOUT)
                    out2, err2 = second.communicate(timeout=TIMEOUT)
            finally:
                first.kill()
        assert out1 == f"Connected to {url}\nWaiting for game to start\nGame started, player id: 0\nPlayer1 wins!\n"
        assert out2 == f"Connected to {url}\nWaiting for game to start\nGame started, player id: 1\nPlayer1 wins!\n"
        assert (err1, err2) == ("None\n", "None\n")
        assert first.returncode == second.returncode == 0

    def test_failed_connection_completes_with_none(self, capfd) -> None:
        with socket.socket() as probe:  # a port where nothing listens
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        url = f"ws://127.0.0.1:{port}"

        class Never(kestrel.TicTacToeClient):
            async def handle_turn(self, state):  # pragma: no cover - never asked
                raise AssertionError

        async def main():
            return await asyncio.wait_for(Never().connect(url), TIMEOUT)

        assert asyncio.run(main()) is None
        out, err = capfd.readouterr()
        assert out == ""
        assert err.startswith(f"Failed to connect to {url}: ")
        assert err.count("\n") == 1

    def test_session_runs_without_being_awaited(self, match_server) -> None:
        seat0, seat1 = ScriptedClient(TIE[0]), ScriptedClient(TIE[1])

        async def main() -> list:
            futures = await connect_in_seat_order(match_server, match_server.url, seat0, seat1)
            # Nobody awaits yet; the game is played all the same.
            await wait_until(lambda: bool(match_server.games) and match_server.games[0].finished.is_set())
            await wait_until(lambda: all(f.done() for f in futures))
            return [f.result() for f in futures]

        assert asyncio.run(main()) == [None, None]
        assert len(match_server.games[0].moves) == 9

    def test_handle_turn_runs_on_the_loop_in_the_captured_context(self, match_server) -> None:
        player = contextvars.ContextVar("player", default="unset")
        seen: list[tuple[str, int]] = []

        class Observer(ScriptedClient):
            async def handle_turn(self, state):
                seen.append((player.get(), threading.get_ident()))
                return await super().handle_turn(state)

        async def main() -> None:
            player.set("first")
            futures = await connect_in_seat_order(match_server, match_server.url, Observer(TIE[0]))
            player.set("second")  # the first session keeps its own copy
            futures += await connect_in_seat_order(match_server, match_server.url, Observer(TIE[1]))
            await asyncio.wait_for(asyncio.gather(*futures), TIMEOUT)

        asyncio.run(main())
        assert [name for name, _ in seen] == ["first", "second"] * 4 + ["first"]
        assert {ident for _, ident in seen} == {threading.get_ident()}

    def test_answers_through_the_index_protocol(self, match_server) -> None:
        class Cell:
            def __init__(self, value: int) -> None:
                self.value = value

            def __index__(self) -> int:
                return self.value

        class Mixed(ScriptedClient):
            async def handle_turn(self, state):
                answer = await super().handle_turn(state)
                return True if answer == 1 else Cell(answer)

        seat0, seat1 = Mixed(X_WINS[0]), ScriptedClient(X_WINS[1])
        asyncio.run(play_game(match_server, match_server.url, seat0, seat1))
        assert match_server.games[0].moves == interleave(*X_WINS)

    def test_plain_handle_turn_returning_an_awaitable(self, match_server) -> None:
        # Not declared async: the call itself runs on a worker thread, and
        # only the awaitable it returns runs on the loop.
        callers: list[int] = []
        loop_thread = threading.get_ident()

        class Plain(kestrel.TicTacToeClient):
            moves = list(TIE[0])

            def handle_turn(self, state):
                callers.append(threading.get_ident())
                future = asyncio.Future(loop=self.loop)
                self.loop.call_soon_threadsafe(future.set_result, self.moves.pop(0))
                return future

        async def main() -> None:
            plain = Plain()
            plain.loop = asyncio.get_running_loop()
            await play_game(match_server, match_server.url, plain, ScriptedClient(TIE[1]))

        asyncio.run(main())
        assert len(callers) == 5 and loop_thread not in callers


class TestState:
    @pytest.fixture
    def states(self, match_server) -> tuple[ScriptedClient, ScriptedClient]:
        seat0, seat1 = ScriptedClient(TIE[0]), ScriptedClient(TIE[1])
        asyncio.run(play_game(match_server, match_server.url, seat0, seat1))
        return seat0, seat1

    def test_representation(self, states) -> None:
        seat0, seat1 = states
        first = seat0.states[0]
        assert repr(first) == "[None, None, None, None, None, None, None, None, None]"
        assert str(first) == repr(first)
        assert repr(seat0.states[1]) == '[Some("X"), None, None, None, Some("O"), None, None, None, None]'

    def test_board_is_a_fresh_list_each_time(self, states) -> None:
        state = states[0].states[1]
        a, b = state.board, state.board
        assert a == b and a is not b
        a.append("junk")
        a[0] = None
        assert state.board == ["X", None, None, None, "O", None, None, None, None]

    def test_kept_state_shows_its_own_turn(self, states) -> None:
        seat0, _ = states
        # Taken after the game ended, the boards still match what each turn saw.
        assert [s.board for s in seat0.states] == seat0.boards
        assert seat0.states[0].board == EMPTY

    def test_read_only_and_closed_class(self, states) -> None:
        state = states[0].states[0]
        cls = type(state)
        with pytest.raises(AttributeError):
            state.board = []
        with pytest.raises(AttributeError):
            del state.board
        with pytest.raises(AttributeError):
            state.other = 1
        with pytest.raises(TypeError) as error:
            cls()
        assert str(error.value) == "No constructor defined"
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
        assert cls.__name__ == "PyTicTacToeState"
        assert cls.__module__ == "builtins"
        assert cls.__doc__ is None
        assert cls.__base__ is object
        assert not hasattr(kestrel, cls.__name__)
        # One class for the whole process.
        assert type(states[1].states[0]) is cls

    def test_board_getter_refuses_other_objects(self, states) -> None:
        getter = type(states[0].states[0]).__dict__["board"]
        with pytest.raises(TypeError):
            getter.__get__(object())


def test_many_sessions_share_one_runtime(closing_match_server) -> None:
    counts = []

    async def main() -> None:
        for _ in range(3):
            pairs = [(ScriptedClient(TIE[0]), ScriptedClient(TIE[1])) for _ in range(4)]
            futures = []
            for a, b in pairs:
                futures += await connect_in_seat_order(closing_match_server, closing_match_server.url, a, b)
            assert await asyncio.wait_for(asyncio.gather(*futures), TIMEOUT) == [None] * 8
            counts.append(len(_runtime_threads()))

    asyncio.run(main())
    assert counts[0] > 0
    assert counts[0] == counts[1] == counts[2]


def _runtime_threads() -> list[str]:
    if sys.platform != "linux":
        pytest.skip("thread names are read from /proc")
    import os

    names = []
    for task in os.listdir("/proc/self/task"):
        with open(f"/proc/self/task/{task}/comm") as comm:
            names.append(comm.read().strip())
    return [n for n in names if n.startswith("tokio-runtime")]
