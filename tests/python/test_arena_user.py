"""What a new user of kestrel-arena meets: runs that never overwrite one
another, a failed start that leaves nothing behind, each bot's stderr and
think times kept, the versions and exit statuses, Ctrl-C at any moment, and
no server or bot left running once the arena has gone, however it went."""

from __future__ import annotations

import json
import signal
import socket
import subprocess
import time
from pathlib import Path

import pytest
from test_arena import BOTS, EXAMPLES, alive, arena, arena_command, command_line, descendants, write_bot

pytestmark = pytest.mark.timeout(120)
FIRST_FREE = str(EXAMPLES / "first_free.py")


def test_runs_never_overwrite_one_another(tmp_path: Path) -> None:
    command, env = arena_command(FIRST_FREE, FIRST_FREE, "--games", "2")
    folders = []
    for _ in range(2):
        done = subprocess.run(command, env=env, cwd=tmp_path, capture_output=True, text=True, timeout=100)
        assert done.returncode == 0, done.stderr
        folders.append(done.stderr.split("kestrel-arena: writing to ", 1)[1].split("\n", 1)[0])
    assert folders == [str(Path("arena-results") / "1"), str(Path("arena-results") / "2")]
    # An explicit --out holding a run, finished or not, is refused and left as it was.
    out = tmp_path / folders[0]
    before = (out / "games.jsonl").read_text()
    done = arena(out, FIRST_FREE, FIRST_FREE, "--games", "2")
    assert done.returncode == 1 and f"{out} holds a run already" in done.stderr, done.stderr
    assert (out / "games.jsonl").read_text() == before


def test_a_run_that_never_started_leaves_nothing_behind(tmp_path: Path) -> None:
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = str(taken.getsockname()[1])
        done = arena(tmp_path / "out", FIRST_FREE, FIRST_FREE, "--games", "2", "--web", port)
    assert done.returncode == 1 and "kestrel-server did not start" in done.stderr, done.stderr
    assert "''" not in done.stderr and "--resume" not in done.stderr
    assert not (tmp_path / "out").exists()
    done = arena(tmp_path / "out", FIRST_FREE, FIRST_FREE, "--games", "2")
    assert done.returncode == 0, done.stderr


def test_each_games_stderr_and_think_times_are_kept(tmp_path: Path) -> None:
    talker = write_bot(
        tmp_path,
        "talker",
        "print('thinking about', len(state.board), file=__import__('sys').stderr)\n"
        "        return state.board.index(None)",
    )
    done = arena(tmp_path / "out", str(talker), FIRST_FREE, "--games", "2")
    assert done.returncode == 0, done.stderr
    games = [json.loads(line) for line in (tmp_path / "out" / "games.jsonl").read_text().splitlines()]
    for g in games:
        mine = (len(g["moves"]) + (g["seats"][0] == "talker")) // 2
        kept = (tmp_path / "out" / g["stderr"]["talker"]).read_text()
        assert kept == "thinking about 9\n" * mine and "first_free" not in g["stderr"]
        assert len(g["think_times"]["talker"]) == mine and all(0 <= t < 5 for t in g["think_times"]["talker"])


@pytest.mark.parametrize("program", ["kestrel-arena", "kestrel-server"])
def test_both_programs_say_their_version(program: str) -> None:
    command, env = arena_command("--version")
    if program == "kestrel-server":
        command = [command[command.index("--server") + 1], "--version"]
    done = subprocess.run(command, env=env, capture_output=True, text=True, timeout=30)
    assert done.returncode == 0 and done.stdout.startswith(f"{program} "), done.stdout + done.stderr


def test_help_names_the_exit_statuses_and_what_resume_takes() -> None:
    command, env = arena_command("--help")
    text = " ".join(subprocess.run(command, env=env, capture_output=True, text=True, timeout=30).stdout.split())
    assert "exit status: 0" in text and "128+N" in text and "10 H0 accepted" in text
    assert "takes only --concurrency, --server, --web, --fresh-process and --recover" in text
    assert "12 stopped because a bot's process died" in text and "13 a round robin" in text
    assert "a signal that arrives once the run is played and reported only closes the page" in text


def test_ctrl_c_before_the_first_game_ends_without_a_traceback(tmp_path: Path) -> None:
    sleepy = str(Path(__file__).parent / "bots" / "sleepy.py")
    command, env = arena_command("--out", str(tmp_path / "out"), sleepy, FIRST_FREE, "--games", "2")
    with subprocess.Popen(command, env=env, stderr=subprocess.PIPE, stdout=subprocess.PIPE, text=True) as run:
        assert run.stderr is not None
        assert "seed" in run.stderr.readline()
        run.send_signal(signal.SIGINT)
        stdout, stderr = run.communicate(timeout=60)
    assert run.returncode == 128 + signal.SIGINT, stderr
    assert "Traceback" not in stderr and "kestrel-arena: interrupted (SIGINT)" in stderr


def ignore_sigint() -> None:
    signal.signal(signal.SIGINT, signal.SIG_IGN)


@pytest.mark.parametrize(
    ("delay", "ignored"),
    [(0.02, False), (0.1, False), (0.3, False), (0.3, True)],
    ids=["20 ms", "100 ms", "300 ms", "300 ms, started with SIGINT ignored"],
)
def test_ctrl_c_in_the_first_moments_stops_the_run(tmp_path: Path, delay: float, ignored: bool) -> None:
    out = tmp_path / "out"
    command, env = arena_command("--out", str(out), FIRST_FREE, str(EXAMPLES / "random_bot.py"), "--games", "50")
    # A script's background job starts with SIGINT ignored; the arena takes it over from its first moment.
    setup = ignore_sigint if ignored else None
    with subprocess.Popen(
        command, env=env, stderr=subprocess.PIPE, stdout=subprocess.PIPE, text=True, preexec_fn=setup
    ) as run:
        time.sleep(delay)
        run.send_signal(signal.SIGINT)
        stdout, stderr = run.communicate(timeout=60)
    assert run.returncode != 0, stdout + stderr
    # Before the arena's code runs, the interpreter's own handling ends it (with a traceback, or killed).
    if "kestrel-arena:" in stderr or ignored:
        assert run.returncode == 128 + signal.SIGINT, stdout + stderr
        assert "Traceback" not in stderr and "kestrel-arena: interrupted (SIGINT)" in stderr, stderr
    games = (out / "games.jsonl").read_text().splitlines() if (out / "games.jsonl").exists() else []
    assert len(games) < 50


@pytest.mark.skipif(not Path("/proc/self/task").is_dir(), reason="reads process trees from /proc")
def test_a_killed_arena_takes_its_server_and_bots_with_it(tmp_path: Path) -> None:
    # One bot stuck in its import, one in its turn, one playing: none may outlive the arena.
    bots = [str(BOTS / "sleepy.py"), str(BOTS / "hang.py"), FIRST_FREE]
    limits = ["--games", "2", "--move-time", "60", "--join-time", "60", "--concurrency", "3"]
    command, env = arena_command("--out", str(tmp_path / "out"), *bots, *limits)
    with subprocess.Popen(command, env=env, stderr=subprocess.DEVNULL, stdout=subprocess.DEVNULL) as run:
        deadline = time.monotonic() + 60
        while True:
            children = descendants(run.pid)
            commands = [command_line(p) for p in children]
            players = sum(b"kestrel_arena.player" in c for c in commands)
            if any(b"kestrel-server" in c for c in commands) and players >= 3:
                break
            assert run.poll() is None and time.monotonic() < deadline, commands
            time.sleep(0.05)
        time.sleep(0.5)  # the games under way
        run.kill()
        run.wait()
    deadline = time.monotonic() + 30
    while (left := [p for p in children if alive(p)]) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert left == [], [command_line(p) for p in left]
