"""kestrel-arena --sprt on a real server: it stops at the decision, tells it
by its exit status and records the pentanomial, the LLR and the decision."""

from __future__ import annotations

import functools
import json
import os
import pty
import subprocess
from pathlib import Path

import pytest
from test_arena import EXAMPLES, arena, arena_command, write_bot

pytestmark = pytest.mark.timeout(300)


@pytest.mark.parametrize(
    ("new", "old", "extra", "status", "decision"),
    [
        ("perfect", "first_free", [], 0, "H1"),
        ("first_free", "first_free", [], 10, "H0"),
        ("random_bot", "first_free", ["--max-games", "4"], 11, "inconclusive"),
    ],
    ids=["stronger", "two copies of a deterministic bot", "undecided at --max-games"],
)
def test_sprt_decides_and_records(
    tmp_path: Path, new: str, old: str, extra: list[str], status: int, decision: str
) -> None:
    bots = [str(EXAMPLES / f"{name}.py") for name in (new, old)]
    done = arena(tmp_path, *bots, "--sprt", "0", "50", "--seed", "3", "--concurrency", "2", *extra)
    assert done.returncode == status, done.stdout + done.stderr
    record = json.loads((tmp_path / "tournament.json").read_text())
    sprt = record["sprt"]
    assert sprt["decision"] == decision and record["complete"]
    assert sum(sprt["pentanomial"]) == sprt["pairs"] and len(record["games"]) == 2 * sprt["pairs"]
    if decision == "inconclusive":
        assert sprt["lower_bound"] < sprt["llr"] < sprt["upper_bound"] and sprt["pairs"] == 2
    else:
        assert (sprt["llr"] >= sprt["upper_bound"]) == (decision == "H1")
    summary = done.stdout[done.stdout.index("SPRT (0, 50)") :]
    assert f"LLR {sprt['llr']:+.2f}" in summary and "inf" not in summary
    # Pairs that all score the same do not pin the Elo difference to a point.
    assert "+0.0 to +0.0" not in summary
    if decision == "H0":
        assert sprt["elo_low"] < sprt["elo"] == 0 < sprt["elo_high"]


@pytest.mark.parametrize(
    ("count", "args"),
    [
        (3, ["--sprt", "0", "5"]),
        (2, ["--sprt", "5", "0"]),
        (2, ["--sprt", "0", "5", "--games", "4"]),
        (2, ["--max-games", "4"]),
    ],
    ids=["three bots", "bounds reversed", "with --games", "--max-games alone"],
)
def test_unusable_sprt_arguments_are_refused(tmp_path: Path, count: int, args: list[str]) -> None:
    done = arena(tmp_path / "out", *[str(EXAMPLES / "first_free.py")] * count, *args)
    assert done.returncode == 2 and "kestrel-arena: error:" in done.stderr, done.stderr


VALID = (
    "import kestrel\n\n\nclass Bot(kestrel.TicTacToeClient):\n"
    "    async def handle_turn(self, state):\n        return 0\n"
)


@pytest.mark.parametrize(
    ("source", "suffix", "reason"),
    [
        ("import kestrel\n\nclass Bot(kestrel.TicTacToeClient:\n    pass\n", "", "SyntaxError: "),
        ("import kestrel_arena_no_such_module\n", "", "ModuleNotFoundError: No module named"),
        ("x = 1\n", "", "needs exactly one TicTacToeClient subclass (found: none)"),
        (VALID, ":NoSuchClass", "has no TicTacToeClient subclass named NoSuchClass"),
        (
            VALID.replace("    async def", "    def __init__(self):\n        raise ValueError('no')\n\n    async def"),
            "",
            "ValueError: no",
        ),
    ],
    ids=["syntax error", "failing import", "no bot class", "named class missing", "constructor raises"],
)
def test_sprt_refuses_a_bot_that_cannot_load_before_any_game(
    tmp_path: Path, source: str, suffix: str, reason: str
) -> None:
    broken = tmp_path / "broken.py"
    broken.write_text(source)
    out = tmp_path / "out"
    done = arena(out, str(EXAMPLES / "random_bot.py"), str(broken) + suffix, "--sprt", "0", "50")
    assert done.returncode == 2, done.stdout + done.stderr
    assert f"kestrel-arena: error: cannot load {broken}{suffix}: " in done.stderr and reason in done.stderr
    if reason.startswith("SyntaxError"):
        assert f"({broken}, line 3)" in done.stderr, done.stderr
    assert "accepted" not in done.stdout and not out.exists()


# Dies (no exception: its process ends) in the second game of each of its processes.
DIES = (
    "global PLAYED\n"
    "        if not getattr(self, 'counted', False):\n"
    "            self.counted = True\n"
    "            PLAYED += 1\n"
    "        if PLAYED == 2:\n"
    "            print('going down', file=__import__('sys').stderr, flush=True)\n"
    "            __import__('os')._exit(7)\n"
    "        return state.board.index(None)"
)


def test_sprt_stops_at_a_crash_keeps_the_games_before_and_recover_goes_on(tmp_path: Path) -> None:
    dies = write_bot(tmp_path, "dies", DIES)
    dies.write_text("PLAYED = 0\n" + dies.read_text())
    out = tmp_path / "out"
    bots = [str(EXAMPLES / "first_free.py"), str(dies)]
    done = arena(out, *bots, "--sprt", "0", "50", "--seed", "1", "--concurrency", "1", "--max-games", "8")
    assert done.returncode == 12, done.stdout + done.stderr
    assert "kestrel-arena: stopped: dies lost game 2 to its process" in done.stderr, done.stderr
    assert "crashed (exit 7): going down" in done.stderr and f"--resume {out}" in done.stderr
    assert (out / "stderr" / "2-dies.txt").read_text() == "going down\n"
    assert f"its stderr: {out / 'stderr' / '2-dies.txt'}" in done.stderr
    kept = [json.loads(line) for line in (out / "games.jsonl").read_text().splitlines()]
    assert [g["game"] for g in kept] == [1] and not kept[0]["crashed"]
    partial = json.loads((out / "tournament.json").read_text())
    assert not partial["complete"] and partial["sprt"]["pairs"] == 0 and len(partial["games"]) == 1

    done = arena(None, "--resume", str(out), "--recover")
    assert done.returncode in (0, 10, 11), done.stdout + done.stderr
    record = json.loads((out / "tournament.json").read_text())
    crashed = [g for g in record["games"] if g["crashed"]]
    assert crashed and all(g["crashed"] == ["dies"] and g["loser"] == "dies" for g in crashed)
    # The game that stopped the test was played again (by a new process, which crashes a game later).
    assert [g["game"] for g in record["games"]][:2] == [1, 2] and 2 not in [g["game"] for g in crashed]
    rows = {row["name"]: row for row in record["standings"]}
    assert rows["dies"]["crashes"] == len(crashed) <= rows["dies"]["losses"] and rows["first_free"]["crashes"] == 0


# Raises, or exits through sys.exit, in its turn: play, a loss, in every mode.
@pytest.mark.parametrize(
    ("body", "problem"),
    [
        ("raise RuntimeError('gives up')", "handle_turn raised RuntimeError"),
        ("__import__('sys').exit(3)", "handle_turn raised SystemExit"),
    ],
    ids=["raise", "sys.exit"],
)
def test_sprt_counts_a_raise_as_a_loss_with_the_bots_traceback_and_prints(
    tmp_path: Path, body: str, problem: str
) -> None:
    quitter = write_bot(tmp_path, "quitter", f"print('my move?', len(state.board))\n        {body}")
    out = tmp_path / "out"
    done = arena(out, str(quitter), str(EXAMPLES / "first_free.py"), "--sprt", "0", "50", "--max-games", "4")
    assert done.returncode == 11, done.stdout + done.stderr
    games = [json.loads(line) for line in (out / "games.jsonl").read_text().splitlines()]
    assert len(games) == 4
    for g in games:
        assert g["loser"] == "quitter" and not g["crashed"] and g["problems"]["quitter"].startswith(problem), g
        stderr = (out / g["stderr"]["quitter"]).read_text()
        # The bot's own line, not only the arena's.
        assert f'File "{quitter}", line 9, in handle_turn' in stderr, stderr
        assert (out / g["stdout"]["quitter"]).read_text() == "my move? 9\n"
        assert "first_free" not in g["stdout"]


# The new bot plays perfectly, but its first turn of the run waits (up to
# 20 s) until games.jsonl holds WAIT_FOR games: the first pair stays open
# while the other games go on, so the decision comes after games past the
# deciding pair have ended, whatever the machine's speed.
SLOW_START = """
import os, sys, time
sys.path.insert(0, {examples!r})
from perfect import Perfect

class Slow(Perfect):
    async def handle_turn(self, state):
        try:
            os.close(os.open({marker!r}, os.O_CREAT | os.O_EXCL))
        except FileExistsError:
            pass
        else:
            deadline = time.monotonic() + 20
            while time.monotonic() < deadline:
                with open({games!r}) as games:
                    if len(games.read().splitlines()) >= {wait_for}:
                        break
                time.sleep(0.05)
        return await super().handle_turn(state)
"""


@functools.cache
def negamax(board: tuple[str, ...]) -> int:
    """The value for the side to move: 1 win, 0 draw, -1 loss (a plain search, nothing shared with the arena)."""
    lines = ((0, 1, 2), (3, 4, 5), (6, 7, 8), (0, 3, 6), (1, 4, 7), (2, 5, 8), (0, 4, 8), (2, 4, 6))
    if any(board[a] != "." and board[a] == board[b] == board[c] for a, b, c in lines):
        return -1  # the last move made a line
    free = [i for i, mark in enumerate(board) if mark == "."]
    mark = "XO"[(9 - len(free)) % 2]
    return max((-negamax(board[:i] + (mark,) + board[i + 1 :]) for i in free), default=0)


def drawn(opening: list[int]) -> bool:
    board = ["."] * 9
    for ply, cell in enumerate(opening):
        board[cell] = "XO"[ply % 2]
    return negamax(tuple(board)) == 0


def test_a_decided_run_on_a_terminal(tmp_path: Path) -> None:
    """Balanced openings, games past the deciding pair kept but not counted,
    and the standings on a line of their own after the progress bar."""
    out = tmp_path / "out"
    slow = tmp_path / "slow.py"
    marker, games = tmp_path / "first-turn", out / "games.jsonl"
    slow.write_text(SLOW_START.format(examples=str(EXAMPLES), marker=str(marker), games=str(games), wait_for=24))
    command, env = arena_command(
        "--out", str(out), f"{slow}:Slow", str(EXAMPLES / "first_free.py"), "--sprt", "0", "200",
        "--seed", "3", "--concurrency", "2", "--move-time", "30",
    )  # fmt: skip
    main, side = pty.openpty()
    with subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL, stdout=side, stderr=side) as run:
        os.close(side)
        screen = b""
        while chunk := read_some(main):
            screen += chunk
        status = run.wait(timeout=120)
    os.close(main)
    text = screen.decode(errors="replace")
    assert status == 0, text
    # Whatever the bar last drew, the table's header starts a line.
    header = next(line for line in text.split("\n") if "#  bot" in line)
    assert header.rstrip("\r").split("\r")[-1].startswith(" #  bot"), repr(header)

    record = json.loads((out / "tournament.json").read_text())
    sprt = record["sprt"]
    assert sprt["decision"] == "H1" and len(record["games"]) == 2 * sprt["pairs"]
    written = [json.loads(line) for line in games.read_text().splitlines()]
    past = sorted(g["game"] for g in written if g["past_deciding_pair"])
    assert past == [g["game"] for g in written if g["game"] > 2 * sprt["pairs"]] == sprt["past_deciding_pair"]
    assert past, "the slow first turn let no game end past the deciding pair"
    assert f"{len(past)} games past the deciding pair, not counted" in text
    # Balanced by default: every opening is a draw with best play, and the run says so.
    assert json.loads((out / "run.json").read_text())["opening_choice"] == "balanced"
    assert all(len(g["opening"]) == 2 and drawn(g["opening"]) for g in written)


def read_some(fd: int) -> bytes:
    """What the terminal shows next; b"" once the program has closed it."""
    try:
        return os.read(fd, 4096)
    except OSError:  # EIO: every writer is gone
        return b""
