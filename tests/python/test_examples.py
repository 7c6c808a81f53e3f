"""The example bots and the typing stub: what users copy must type-check,
the stub must describe the real module, and every example must finish a game."""

from __future__ import annotations

import os
import subprocess
import sys
from collections.abc import Iterator
from pathlib import Path

import pytest

from kestrel_testing.server_process import ServerProcess, find_server_binary

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"
STUB_DIR = ROOT / "src" / "python"


def mypy(*args: str, cwd: Path = ROOT, tool: str = "mypy") -> subprocess.CompletedProcess[str]:
    pytest.importorskip("mypy")
    env = {**os.environ, "MYPYPATH": str(STUB_DIR)}
    return subprocess.run(
        [sys.executable, "-m", tool, *args],
        cwd=cwd,
        env=env,
        capture_output=True,
        text=True,
        timeout=300,
    )


@pytest.mark.timeout(60)  # mypy
@pytest.mark.parametrize(
    ("args", "cwd"),
    # The examples with their tests, and the testing kit they use.
    [((str(EXAMPLES),), ROOT), (("-p", "kestrel_testing"), ROOT / "src")],
    ids=["examples", "kestrel_testing"],
)
def test_what_users_copy_or_import_passes_mypy_strict(args: tuple[str, ...], cwd: Path) -> None:
    done = mypy("--strict", "--no-incremental", *args, cwd=cwd)
    assert done.returncode == 0, done.stdout + done.stderr


@pytest.mark.timeout(30)
def test_stub_rejects_common_mistakes(tmp_path: Path) -> None:
    """A stub that typed `handle_turn` or `connect` loosely would let these through."""
    (tmp_path / "mistakes.py").write_text(
        """\
from __future__ import annotations
import asyncio
import kestrel

class Forgot(kestrel.TicTacToeClient):
    pass

class Text(kestrel.TicTacToeClient):
    async def handle_turn(self, state: kestrel.PyTicTacToeState) -> str:  # line 9
        return "4"

class NotAsync(kestrel.TicTacToeClient):
    def handle_turn(self, state: kestrel.PyTicTacToeState) -> int:  # line 13
        return 4

def use(state: kestrel.PyTicTacToeState) -> None:
    Forgot()  # line 17
    state.board = []  # line 18
    cell: int = state.board[0]  # line 19
    asyncio.run(NotAsync().connect("ws://127.0.0.1:9000"))  # line 20
"""
    )
    done = mypy("--strict", "--no-incremental", "mistakes.py", cwd=tmp_path)
    flagged = {int(line.split(":")[1]) for line in done.stdout.splitlines() if ": error:" in line}
    assert flagged == {9, 13, 17, 18, 19, 20}, done.stdout


@pytest.mark.timeout(60)
def test_stub_matches_the_built_module(tmp_path: Path) -> None:
    pytest.importorskip("kestrel")
    # Present for type checkers only: the state class is not published by the
    # module, and handle_turn is what subclasses provide.
    allowlist = tmp_path / "allowlist.txt"
    allowlist.write_text("kestrel.PyTicTacToeState\nkestrel.TicTacToeClient.handle_turn\n")
    done = mypy("kestrel", "--allowlist", str(allowlist), tool="mypy.stubtest")
    assert done.returncode == 0, done.stdout + done.stderr


@pytest.fixture
def house(request: pytest.FixtureRequest) -> Iterator[ServerProcess]:
    pytest.importorskip("kestrel")
    binary = find_server_binary()
    if binary is None:
        pytest.skip("kestrel-server not built")
    with ServerProcess(binary, "--house-bot", *getattr(request, "param", ())) as server:
        yield server


def run_example(name: str, url: str, stdin: str = "") -> str:
    done = subprocess.run(
        [sys.executable, str(EXAMPLES / name), url],
        input=stdin,
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stderr == ""
    assert "Game started, player id: " in done.stdout
    return done.stdout


@pytest.mark.parametrize("name", ["first_free.py", "random_bot.py", "perfect.py"])
def test_bots_finish_a_game_in_either_seat(house: ServerProcess, name: str) -> None:
    outputs = [run_example(name, house.url) for _ in range(2)]  # seats alternate
    assert {"player id: 0", "player id: 1"} <= {o.split("Game started, ")[1][:12] for o in outputs}
    assert len(house.wait_for_games(2)) == 2
    assert "forfeit" not in house.log()  # no illegal move
    if name == "perfect.py":
        assert all(o.rstrip().endswith("Tie") for o in outputs), outputs


@pytest.mark.parametrize("house", [("--seat", "0")], indirect=True)
def test_human_shows_the_board_and_reprompts_until_a_free_cell(house: ServerProcess) -> None:
    # Move 1 from seat 0 on an empty board; then nonsense, a taken cell, and
    # finally no more input, which takes the first free cell.
    out = run_example("human.py", house.url, stdin="x\n9\n4\n4\n")
    assert "0 | 1 | 2\n---------\n3 | 4 | 5\n---------\n6 | 7 | 8" in out
    assert out.count("Pick the number of a free cell.") == 3
    assert "| X |" in out  # our mark on 4 in the next rendering
    [line] = house.wait_for_games(1)
    assert " moves 4 " in line and "forfeit" not in line
