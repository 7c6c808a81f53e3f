"""A process that forks after kestrel has run: the child starts with a fresh
runtime of its own, the parent's sessions go on without it."""

from __future__ import annotations

import subprocess
import sys
import textwrap

import pytest

from kestrel_testing.server_process import ServerProcess, find_server_binary
from support.players import run_python
from support.raw_server import RawServer

pytestmark = pytest.mark.skipif(sys.platform == "win32", reason="no fork")

PRELUDE = textwrap.dedent(
    """
    import asyncio, multiprocessing, os, sys, warnings
    import kestrel

    # Python 3.12+ warns about forking a process that has threads.
    warnings.filterwarnings("ignore", category=DeprecationWarning)

    class FirstFree(kestrel.TicTacToeClient):
        async def handle_turn(self, state):
            return state.board.index(None)

    def play(_=None):
        async def game():
            await asyncio.wait_for(FirstFree().connect(sys.argv[1]), 30)
        asyncio.run(game())
        return os.getpid()
    """
)


@pytest.fixture
def house() -> ServerProcess:
    binary = find_server_binary()
    if binary is None:
        pytest.skip("kestrel-server not built")
    with ServerProcess(binary, "--house-bot", "--seat", "0") as server:
        yield server


def results(out: str) -> int:
    return sum(line in ("Tie", "Player1 wins!", "Player2 wins!") for line in out.splitlines())


def test_parent_and_forked_children_each_play(house) -> None:
    code = PRELUDE + textwrap.dedent(
        """
        play()
        pid = os.fork()
        if pid == 0:
            play()
            os._exit(0)
        _, status = os.waitpid(pid, 0)
        print("child status", status, flush=True)
        with multiprocessing.get_context("fork").Pool(4) as pool:
            pids = pool.map(play, range(8), chunksize=2)
        # Which worker takes which chunk is the pool's business; every game
        # must have run in a forked worker, not here.
        print("pool games in workers", sum(p != os.getpid() for p in pids), flush=True)
        play()
        """
    )
    result = run_python(code, house.url, env={"TOKIO_WORKER_THREADS": "2"}, timeout=120)
    assert result.returncode == 0, result.stderr
    assert "child status 0" in result.stdout
    assert "pool games in workers 8" in result.stdout
    # 1 before the fork, 1 in the child, 8 in the pool, 1 after.
    assert results(result.stdout) == 11, result.stdout
    assert "panicked" not in result.stderr


def test_child_drops_the_parents_connections_without_a_word() -> None:
    # The process forks while its session waits for a partner; the child
    # stays alive and the parent then abandons the session. The server must
    # see the connection end: the child holds no copy of it, and neither
    # process sends anything more.
    code = PRELUDE + textwrap.dedent(
        """
        async def main():
            future = FirstFree().connect(sys.argv[1])
            await asyncio.to_thread(sys.stdin.readline)  # the join has reached the server
            if os.fork() == 0:
                sys.stdin.read()  # alive until the test lets go
                os._exit(0)
            future.cancel()
            await asyncio.sleep(0)
            print("parent cancelled", flush=True)
            sys.stdin.read()
            os.wait()

        asyncio.run(main())
        """
    )
    with RawServer() as server, subprocess.Popen(
        [sys.executable, "-c", code, server.url],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    ) as proc:
        conn = server.accept()
        conn.handshake()
        assert conn.read_frame().payload == b"\x00\x00"  # join
        proc.stdin.write("go\n")
        proc.stdin.flush()
        assert "parent cancelled\n" in iter(proc.stdout.readline, "")
        closed = conn.read_until_end()
        _, err = proc.communicate(timeout=30)
    assert closed == b""
    assert proc.returncode == 0, err
