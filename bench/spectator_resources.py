"""What spectators can take from the players: descriptors and memory.

    python bench/spectator_resources.py descriptors [--server PATH]
    python bench/spectator_resources.py memory [--games 2000] [--spectators 500] [--server PATH]

descriptors: kestrel-server --house-bot --web under a soft descriptor limit
of 1024 (as `ulimit -n 1024`), then 1,100 spectator connections that each
send one byte and hold on. Prints how many were turned away with 503, whether
a game against the house then plays and how long it took, and how many
"accept failed" lines the server wrote in the 10 s that follow.

memory: --games live games against the house (each client joined and seated
first, so the game waits for its move), then --spectators connections that
ask for /events and never read (the server's cap on spectator connections,
where it has one, raised to let them all in). Prints the server's resident memory before
and after the spectators came, and the size of the state each stream starts
with.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import resource
import socket
import subprocess
import sys
import time
from contextlib import ExitStack
from pathlib import Path

from websockets.asyncio.client import connect

from kestrel_dev.procfs import rss_kib
from kestrel_dev.spectators import JOIN, house_game, state, wait_for, web_url
from kestrel_testing.server_process import ServerProcess, find_server_binary


def address(web: str) -> tuple[str, int]:
    host, port = web.removeprefix("http://").rstrip("/").rsplit(":", 1)
    return host, int(port)


def start(binary: Path, stack: ExitStack, soft_limit: int | None, *args: str) -> ServerProcess:
    """The server, started under `soft_limit` descriptors (the limit of this
    process is put back at once: it needs more for its own connections)."""
    before = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft_limit is not None:
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft_limit, before[1]))
    try:
        return stack.enter_context(ServerProcess(binary, *args))
    finally:
        resource.setrlimit(resource.RLIMIT_NOFILE, before)


def descriptors(binary: Path) -> None:
    with ExitStack() as stack:
        server = start(binary, stack, 1024, "--house-bot", "--quiet", "--web", "0")
        web = web_url(server)
        crowd = []
        for _ in range(1100):
            raw = stack.enter_context(socket.create_connection(address(web), timeout=30))
            raw.sendall(b"G")
            crowd.append(raw)
        time.sleep(1)  # let the server take or turn away what it will
        turned_away = 0
        for raw in crowd:
            raw.setblocking(False)
            try:
                turned_away += raw.recv(64).startswith(b"HTTP/1.1 503 ")
            except (BlockingIOError, ConnectionError):
                pass
        begun = time.monotonic()
        try:
            asyncio.run(asyncio.wait_for(house_game(server.url), 10))
            game = f"played in {time.monotonic() - begun:.3f} s"
        except (TimeoutError, OSError) as failure:
            game = f"did not play within 10 s ({type(failure).__name__})"
        mark = len(server.log().splitlines())
        time.sleep(10)
        failures = sum("accept failed" in line for line in server.log().splitlines()[mark:])
        print(
            f"soft limit 1024, 1100 spectator connections sending one byte: {turned_away} turned away "
            f"with 503; a game {game}; {failures} 'accept failed' lines in the next 10 s"
        )


def memory(binary: Path, games: int, watchers: int) -> None:
    async def scenario(server: ServerProcess, web: str, stack: ExitStack) -> None:
        assert server.process is not None
        clients = []
        for at in range(0, games, 200):
            batch = await asyncio.gather(
                *(connect(server.url, proxy=None, compression=None) for _ in range(min(200, games - at)))
            )
            for ws in batch:
                await ws.send(JOIN)
            for ws in batch:
                await ws.recv()
            clients += batch
        await wait_for(lambda: len(state(web)["games"]) == games)
        snapshot = len(json.dumps(state(web)))
        await asyncio.sleep(1)
        before = rss_kib(server.process.pid) / 1024
        host, port = address(web)
        for _ in range(watchers):
            mute = stack.enter_context(socket.socket())
            mute.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            mute.connect((host, port))
            mute.sendall(f"GET /events HTTP/1.1\r\nHost: {host}\r\n\r\n".encode())
        await wait_for(lambda: state(web)["spectators"] == watchers)
        await asyncio.sleep(1)
        after = rss_kib(server.process.pid) / 1024
        print(
            f"{games} live games ({snapshot // 1024} KiB of state), {watchers} spectators that never read: "
            f"server RSS {before:.0f} MiB before, {after:.0f} MiB after "
            f"({(after - before) * 1024 / watchers:.1f} KiB per spectator)"
        )
        await asyncio.gather(*(ws.close() for ws in clients))

    args = ["--house-bot", "--seat", "0", "--quiet", "--web", "0"]
    # All of them served, past the default cap where the server has one.
    if "--web-connections" in subprocess.run([binary, "--help"], capture_output=True, text=True).stdout:
        args += ["--web-connections", str(watchers + 10)]
    with ExitStack() as stack:
        server = start(binary, stack, None, *args)
        asyncio.run(scenario(server, web_url(server), stack))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("case", choices=["descriptors", "memory"])
    parser.add_argument("--games", type=int, default=2000)
    parser.add_argument("--spectators", type=int, default=500)
    parser.add_argument("--server", type=Path, default=None)
    args = parser.parse_args()
    binary = args.server or find_server_binary()
    if binary is None:
        sys.exit("kestrel-server not found (set KESTREL_BUILD_DIR or --server)")
    if args.case == "descriptors":
        descriptors(binary)
    else:
        memory(binary, args.games, args.spectators)


if __name__ == "__main__":
    main()
