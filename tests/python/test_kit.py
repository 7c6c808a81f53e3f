"""kestrel_testing as a bot's author uses it: a real kestrel-server, real
bots in this process, and its pytest plugin in a pytest of its own."""

from __future__ import annotations

import asyncio
import contextlib
import os
import subprocess
import sys
import threading
from pathlib import Path
from typing import Any

import pytest

from kestrel_testing import (
    BotLoadError,
    GameResult,
    LocalServer,
    Match,
    ServerFailed,
    ServerNotFound,
    load_bot,
    play,
    play_async,
    position,
    serve,
    serve_async,
)
from kestrel_testing.server_binary import server_candidates
from kestrel_testing.server_process import find_server_binary

pytest.importorskip("kestrel")

ROOT = Path(__file__).resolve().parents[2]
BOTS = Path(__file__).parent / "bots"
PERFECT = ROOT / "examples" / "perfect.py"
FIRST_FREE = ROOT / "examples" / "first_free.py"


@pytest.fixture(autouse=True)
def _server(binary: Path) -> None:
    """Skips where no kestrel-server is built (the `binary` fixture)."""


def _exited(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    return Path(f"/proc/{pid}/status").read_text().find("State:\tZ") >= 0


@pytest.mark.parametrize("use_async", [False, True], ids=["sync", "async"])
def test_serve_stops_the_server_however_the_block_ends(use_async: bool) -> None:
    class Boom(Exception):
        pass

    pids = []

    def started(server: LocalServer) -> None:
        pid = server._process.process.pid  # type: ignore[union-attr]
        pids.append(pid)
        assert server.url.startswith("ws://127.0.0.1:")
        # In the caller's session: a Ctrl-C at the terminal reaches it too.
        assert os.getsid(pid) == os.getsid(0)

    async def in_loop() -> None:
        async with serve_async(house_bot=True) as server:
            started(server)
            raise Boom

    with pytest.raises(Boom):
        if use_async:
            asyncio.run(in_loop())
        else:
            with serve(house_bot=True) as server:
                started(server)
                raise Boom
    assert _exited(pids[0])


@pytest.mark.parametrize(
    ("kwargs", "error", "text"),
    [
        ({"binary": "no/such/kestrel-server"}, ServerNotFound, "^no kestrel-server found at no/such/kestrel-server$"),
        ({"move_time": 1e9}, ServerFailed, "^kestrel-server did not start: .*--move-time"),  # the server's own words
        ({"house_bot": True, "house_seat": 2}, ValueError, r"^house_seat must be 0, 1 or None \(alternate\), not 2$"),
        ({"house_seat": 0}, ValueError, r"^house_seat needs house_bot=True$"),
    ],
)
def test_a_server_that_cannot_start_says_why(kwargs: dict[str, object], error: type[Exception], text: str) -> None:
    with pytest.raises(error, match=text), serve(**kwargs):  # type: ignore[arg-type]
        pass


@pytest.mark.skipif(os.name == "nt", reason="executable bits")
def test_the_server_is_looked_for_where_the_readme_says(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.delenv("KESTREL_SERVER", raising=False)
    (tmp_path / "folder" / "kestrel-server").mkdir(parents=True)
    monkeypatch.setenv("KESTREL_BUILD_DIR", str(tmp_path / "folder"))
    assert find_server_binary() != tmp_path / "folder" / "kestrel-server"  # a folder: passed over
    built = tmp_path / "kestrel-server"
    built.write_text("#!/bin/sh\n")
    monkeypatch.setenv("KESTREL_BUILD_DIR", str(tmp_path))
    assert find_server_binary() != built  # not executable: passed over
    built.chmod(0o755)
    assert find_server_binary() == built
    # PATH is the last place looked.
    monkeypatch.setenv("PATH", str(tmp_path))
    assert server_candidates()[-1] == built
    monkeypatch.setenv("KESTREL_SERVER", "no/such/kestrel-server")
    assert find_server_binary() == Path("no/such/kestrel-server")  # taken as given


@pytest.mark.parametrize(
    ("bot", "text"),
    [
        (BOTS / "missing.py", f"no such bot file: {BOTS / 'missing.py'}"),
        # No colon: a name alone is a file too, never a class.
        ("nosuchbot", "no such bot file: nosuchbot"),
        (BOTS / "broken.py", f"{BOTS / 'broken.py'} failed to load: ModuleNotFoundError: "),
        (f"{BOTS / 'crash.py'}:Nope", f"{BOTS / 'crash.py'} has no TicTacToeClient subclass named Nope"),
        (int, "int is not a subclass of kestrel.TicTacToeClient"),
        (ROOT / "pyproject.toml", f"not a Python file: {ROOT / 'pyproject.toml'}"),
        (42, "a bot is a TicTacToeClient subclass or a file, not 42"),
    ],
)
def test_a_bot_that_cannot_be_loaded_says_why(bot: object, text: str) -> None:
    with pytest.raises(BotLoadError) as raised:
        load_bot(bot)  # type: ignore[arg-type]
    assert str(raised.value).startswith(text) and (text.endswith(": ") or str(raised.value) == text)


def test_a_bot_file_loads_as_the_script_it_is(tmp_path: Path) -> None:
    """Its siblings import as they would beside a script, its dataclasses
    work, the class it defines wins over one it imports, and a class named
    after the colon is the one given."""
    (tmp_path / "strategy.py").write_text("import kestrel\n\nclass Base(kestrel.TicTacToeClient):\n    pass\n")
    (tmp_path / "bot.py").write_text(
        """\
from __future__ import annotations
from dataclasses import dataclass
import kestrel
from strategy import Base

@dataclass
class Memory:
    moves: int = 0

class Sibling(Base):
    async def handle_turn(self, state: kestrel.PyTicTacToeState) -> int:
        return Memory().moves
"""
    )
    (tmp_path / "two.py").write_text("from bot import Sibling\nclass Helper(Sibling): ...\nclass More(Sibling): ...\n")
    (tmp_path / "none.py").write_text("import kestrel\n")
    assert load_bot(tmp_path / "bot.py").__name__ == "Sibling"
    assert load_bot(f"{tmp_path / 'bot.py'}:Base").__name__ == "Base"
    for name, found in [("two.py", "Helper, More"), ("none.py", "none")]:
        with pytest.raises(BotLoadError) as refused:
            load_bot(tmp_path / name)
        assert str(refused.value) == (
            f"{tmp_path / name} needs exactly one TicTacToeClient subclass (found: {found}); name one as FILE:CLASS"
        )


@pytest.mark.timeout(30)
def test_the_servers_game_lines_read_back_as_written() -> None:
    perfect = load_bot(PERFECT)

    async def two_games(url: str) -> None:
        for _ in range(2):
            await perfect().connect(url)

    with serve(house_bot=True) as server:
        # Played on a thread of their own: the blocking wait waits for them.
        playing = threading.Thread(target=asyncio.run, args=(two_games(server.url),))
        playing.start()
        games = server.wait_for_games(2)
        playing.join()
        assert [g.format() for g in games] == [ln for ln in server.log().splitlines() if ln.startswith("game ")]
        assert len(set(games)) == 2 and [g.number for g in games] == [1, 2]


def test_a_result_made_by_hand_reads_like_one_the_kit_made() -> None:
    """A user's stand-in for a played game: nothing went wrong unless said,
    and it cannot be changed by mistake afterwards."""
    game = GameResult(seat=0, winner=None, moves=(4,))
    assert (game.tie, game.won, game.lost) == (True, False, False)
    assert (game.forfeit, game.errors, game.tracebacks) == (None, {}, {})
    lost = GameResult(seat=1, winner=0, moves=(0, 1, 3, 2, 6))
    match = Match((game, lost, lost))
    assert (match.wins, match.losses, match.ties) == (0, 2, 1)
    assert not GameResult(seat=1, winner=None, moves=(), errors={1: "boom"}).tie
    with pytest.raises(AttributeError):
        game.winner = 0  # type: ignore[misc]
    with pytest.raises(AttributeError):
        match.games = ()  # type: ignore[misc]


@pytest.mark.parametrize(
    ("kwargs", "why"),
    [
        ({"games": 0}, "games must be a positive int, not 0"),
        ({"games": True}, "games must be a positive int, not True"),
        ({"seat": 2}, "seat must be 0, 1 or None (alternate), not 2"),
        ({"time_limit": 0}, "time_limit must be a positive number of seconds, not 0"),
    ],
)
def test_wrong_arguments_are_refused_before_any_game(kwargs: dict[str, object], why: str) -> None:
    with pytest.raises(ValueError) as refused:
        play(PERFECT, **kwargs)  # type: ignore[arg-type]
    assert str(refused.value) == why


@pytest.mark.timeout(30)
def test_games_against_the_house_alternate_seats_and_carry_the_moves() -> None:
    match = play(PERFECT, games=4)
    assert sorted(g.seat for g in match.games) == [0, 0, 1, 1]
    assert [g.seat for g in play(FIRST_FREE, games=2, seat=1).games] == [1, 1]
    assert match.ties == 4
    for game in match.games:
        assert game.winner is None and game.forfeit is None and not game.errors
        assert len(game.moves) == 9 and sorted(game.moves) == list(range(9))


@pytest.mark.timeout(30)
def test_games_between_two_bots_keep_the_asked_seat() -> None:
    assert [g.seat for g in play(FIRST_FREE, PERFECT, games=3).games] == [0, 1, 0]  # alternating from 0
    match = play(FIRST_FREE, PERFECT, games=2, seat=1)
    for game in match.games:
        assert (game.seat, game.winner, game.lost) == (1, 0, True)
        # first_free, as O, answers the first free cell each time.
        assert game.moves[1] == min(set(range(9)) - {game.moves[0]})


@pytest.mark.parametrize(
    ("bot", "kwargs", "forfeit", "error", "where"),  # where: the bot's line in the traceback
    [
        # A hung bot: the server's move time decides, then the game is over.
        (BOTS / "hang.py", {"move_time": 0.2}, "out of time", None, None),
        # The kit's own limit abandons the game where the server sets none.
        (BOTS / "hang.py", {"time_limit": 0.5}, "disconnected", "no result within the time limit of 0.5 s", None),
        # A raise, traced to the bot's own line.
        (BOTS / "crash.py", {}, "disconnected", "RuntimeError: crash.py gives up", 10),
        # The same against another bot: the error is the failing side's.
        (BOTS / "crash.py", {"opponent": FIRST_FREE}, "disconnected", "RuntimeError: crash.py gives up", 10),
        # sys.exit in a turn loses the game, not the test.
        (BOTS / "exits.py", {}, "disconnected", "SystemExit: 3", 12),
    ],
)
@pytest.mark.timeout(30)
def test_a_failing_bot_loses_with_the_reason(
    bot: Path, kwargs: dict[str, float], forfeit: str, error: str | None, where: int | None
) -> None:
    [game] = play(bot, seat=0, **kwargs).games  # type: ignore[arg-type]
    assert game.lost and game.forfeit == forfeit
    assert game.errors == ({0: error} if error else {})
    assert game.tracebacks.keys() == ({0} if where else set())
    if where:
        assert game.tracebacks[0].startswith("Traceback (most recent call last):")
        assert f'\n  File "{bot}", line {where}, in handle_turn\n' in game.tracebacks[0]
        assert game.tracebacks[0].rstrip().endswith(f"\n{error}")


def _answering(*answers: object, awaitable: bool = True) -> type:
    """A bot that gives these answers, one a turn, the last for ever."""
    import kestrel

    class Answers(kestrel.TicTacToeClient):
        turn = 0

        async def handle_turn(self, state: kestrel.PyTicTacToeState) -> object:
            self.turn += 1
            return answers[min(self.turn, len(answers)) - 1]

    class AnswersAtOnce(kestrel.TicTacToeClient):
        def handle_turn(self, state: kestrel.PyTicTacToeState) -> object:
            return answers[0]

    return Answers if awaitable else AnswersAtOnce


@pytest.mark.parametrize(
    ("bot", "plain", "module"),
    [
        # Moves on the board's edges first: only the answer that is none is named.
        (_answering(8, 0, 9), "9; a move is an int from 0 to 8", "called `Option::unwrap()` on a `None` value"),
        (_answering(-1), "-1; a move is an int from 0 to 8", "OverflowError"),
        (_answering("4"), "'4'; a move is an int from 0 to 8", "TypeError"),
        (_answering(4, awaitable=False), "4, not an awaitable; declare it `async def`", "CancelledError"),
    ],
    ids=["nine", "negative", "text", "not-awaitable"],
)
@pytest.mark.timeout(30)
def test_an_answer_that_is_no_move_is_said_plainly_above_the_modules_text(bot: type, plain: str, module: str) -> None:
    [game] = play(bot, seat=0).games
    assert game.lost and game.forfeit == "disconnected" and not game.tracebacks
    first, rest = game.errors[0].split("\n", 1)
    assert first == f"handle_turn returned {plain}"
    # The module's report as it gives it: the bridge's panic, then the cause.
    assert rest.startswith("RustPanic: rust future panicked: ") and module in rest


@pytest.mark.skipif(sys.platform != "linux", reason="reads /proc")
@pytest.mark.timeout(30)
def test_a_forfeit_by_move_time_ends_the_hung_turn_with_the_game() -> None:
    """The game is over once the server says so: the turn that never
    returns is ended then, not left on the loop nor waited for."""

    async def forfeit_twice() -> tuple[list[str | None], set[asyncio.Task[Any]]]:
        match = await play_async(BOTS / "hang.py", FIRST_FREE, seat=0, move_time=0.1, games=2)
        return [g.forfeit for g in match.games], {t for t in asyncio.all_tasks() if t is not asyncio.current_task()}

    assert asyncio.run(forfeit_twice()) == (["out of time"] * 2, set())


def test_the_sync_call_refuses_a_running_loop_and_the_awaitable_one_plays() -> None:
    async def inside() -> int:
        with pytest.raises(RuntimeError) as refused:
            play(PERFECT)
        assert str(refused.value) == "play() runs its own event loop; inside a running one, use `await play_async(...)`"
        match = await play_async(PERFECT, FIRST_FREE, seat=0)  # one game unless told
        return match.wins

    assert asyncio.run(inside()) == 1


@pytest.mark.timeout(30)
def test_waiting_for_games_inside_a_loop_awaits_and_the_blocking_wait_refuses_at_once() -> None:
    perfect = load_bot(PERFECT)

    async def inside() -> list[str]:
        async with serve_async(house_bot=True) as server:
            playing = asyncio.ensure_future(perfect().connect(server.url))
            with pytest.raises(RuntimeError) as refused:
                server.wait_for_games(1)
            assert str(refused.value) == (
                "wait_for_games() would block the event loop this thread runs, and the games on it with it; "
                "inside a running loop, use `await server.wait_for_games_async(...)`"
            )
            games = await server.wait_for_games_async(1)
            await playing
            with pytest.raises(TimeoutError) as late:
                await server.wait_for_games_async(2, timeout=0.1)
            assert str(late.value) == f"1 of 2 games finished in 0.1 s:\n{server.log()}"
            return [g.outcome for g in games]

    assert asyncio.run(inside()) == ["Tie"]


def _children() -> set[int]:
    """The processes this process started, whichever of its threads started
    them. A thread (an executor's) may end between the listing and the read."""
    found: set[int] = set()
    for tid in Path("/proc/self/task").iterdir():
        with contextlib.suppress(FileNotFoundError, ProcessLookupError):
            found.update(int(pid) for pid in (tid / "children").read_text().split())
    return found


@pytest.mark.skipif(sys.platform != "linux", reason="reads /proc")
@pytest.mark.parametrize("after", [0.0, 0.3], ids=["while-the-server-starts", "midway"])
def test_a_cancelled_play_leaves_no_game_and_no_server_behind(after: float) -> None:
    before = _children()

    async def cancel_midway() -> set[asyncio.Task[Any]]:
        playing = asyncio.create_task(play_async(BOTS / "hang.py"))
        await asyncio.sleep(after)  # on or not yet: either way nothing may stay
        playing.cancel()
        with pytest.raises(asyncio.CancelledError):
            await playing
        # Neither the kit's tasks nor the bot's turn that never returns.
        return {t for t in asyncio.all_tasks() if t is not asyncio.current_task()}

    assert asyncio.run(cancel_midway()) == set()
    assert _children() == before


def test_position_reads_like_a_turns_state() -> None:
    state = position("X.O|.X.|..O")
    assert state.board == ["X", None, "O", None, "X", None, None, None, "O"]
    state.board[1] = "O"  # a copy, like the real one
    assert state.board[1] is None
    assert position().board == [None] * 9
    assert position("X-O|_..|...").board == position("X.O|...|...").board  # three ways to say empty
    assert position([None, "X"] + [None] * 7).board[1] == "X"
    assert repr(state) == "position('X.O|.X.|..O')"


@pytest.mark.parametrize(
    ("text", "why"),
    [
        ("XX", "2 cells, not 9"),
        ("XYZ|...|...", "'Y', 'Z' is no mark (X, O or .)"),
        (["X", "Q", *[None] * 7], "cells are 'X', 'O' or None"),
        ("OO.|...|...", "0 X and 2 O cannot happen (X moves first, then turns alternate)"),
        ("XXX|OO.|...", "the game is already won"),
        ("XOX|XOO|OXX", "the board is full"),
    ],
)
def test_an_impossible_position_is_refused(text: str | list[str | None], why: str) -> None:
    with pytest.raises(ValueError) as refused:
        position(text)
    assert str(refused.value) == f"position {text!r}: {why}"


def test_a_board_won_on_any_line_is_refused_and_one_short_of_it_is_not() -> None:
    rows = [(r, r + 1, r + 2) for r in (0, 3, 6)]
    columns = [(c, c + 3, c + 6) for c in (0, 1, 2)]
    for line in [*rows, *columns, (0, 4, 8), (2, 4, 6)]:
        # X on the line, O on two cells of no common line with it.
        board: list[str | None] = ["X" if i in line else None for i in range(9)]
        for o in [i for i in range(9) if i not in line][:2]:
            board[o] = "O"
        with pytest.raises(ValueError, match="already won"):
            position(board)
        for blocked in line:
            # Two X of the line, O on its third cell.
            short = ["X" if i in line else None for i in range(9)]
            short[blocked] = "O"
            assert position(short).board == short
@pytest.mark.timeout(60)
def test_the_plugin_gives_fixtures_to_a_plain_pytest(tmp_path: Path) -> None:
    """The pytest11 entry point, in a pytest that knows nothing of this suite."""
    (tmp_path / "test_bot.py").write_text(
        f"""\
import asyncio, runpy
import pytest
Perfect = runpy.run_path({str(PERFECT)!r})["Perfect"]

async def one(url):
    await Perfect().connect(url)

def test_house(kestrel_house):
    asyncio.run(one(kestrel_house.url))
    [game] = kestrel_house.wait_for_games(1)
    assert "house" in game.seats

def test_meeting(kestrel_server):
    async def both():
        await asyncio.gather(one(kestrel_server.url), one(kestrel_server.url))
    asyncio.run(both())
    [game] = kestrel_server.wait_for_games(1)
    assert game.outcome == "Tie" and "house" not in game.seats

def test_factory(kestrel_server_factory):
    meeting = kestrel_server_factory()
    house = kestrel_server_factory(house_bot=True, house_seat=0)
    assert meeting.url != house.url
    asyncio.run(one(house.url))
    assert house.wait_for_games(1)[0].seats[0] == "house" and meeting.games() == []
    with open("pids", "w") as f:
        print(meeting._process.process.pid, house._process.process.pid, file=f)

def test_factory_refuses_a_wrong_option(kestrel_server_factory):
    with pytest.raises(ValueError, match="^house_seat needs house_bot=True$"):
        kestrel_server_factory(house_seat=1)
"""
    )
    (tmp_path / "pytest.ini").write_text("[pytest]\n")
    # Plain: an async plugin installed beside would run these its own way.
    plain = ["-p", "no:asyncio", "-p", "no:anyio"]
    done = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-W", "error", *plain],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=50,
    )
    assert done.returncode == 0, done.stdout + done.stderr
    assert "4 passed" in done.stdout
    # The factory's servers, stopped at their test's end.
    assert all(_exited(int(pid)) for pid in (tmp_path / "pids").read_text().split())


@pytest.mark.timeout(60)
def test_the_kit_runs_beside_pytest_asyncio_in_auto_mode(tmp_path: Path) -> None:
    """pytest-asyncio runs every `async def` test on a loop of its own: the
    sync call beside it must not disturb that loop, nor the awaitable one
    need more than it."""
    pytest.importorskip("pytest_asyncio")
    (tmp_path / "test_bot.py").write_text(
        f"""\
import asyncio
from kestrel_testing import play, play_async

PERFECT = {str(PERFECT)!r}

def test_sync():
    assert play(PERFECT, games=2).ties == 2

async def test_async():
    assert (await play_async(PERFECT, games=2)).ties == 2

async def test_the_loop_stays_usable_after_a_sync_call():
    await asyncio.sleep(0)
"""
    )
    ini = "[pytest]\nasyncio_mode = auto\nasyncio_default_fixture_loop_scope = function\n"
    (tmp_path / "pytest.ini").write_text(ini)
    done = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-W", "error"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=50,
    )
    assert done.returncode == 0, done.stdout + done.stderr
    assert "3 passed" in done.stdout
