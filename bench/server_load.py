"""Load on kestrel-server: many connections held open at once, all playing.

    python bench/server_load.py [--clients 4000] [--house-bot] [--server PATH]

Opens --clients WebSocket connections (websockets library, one asyncio loop),
keeps them all open, then lets every one join and play a first-free game to the
end (pairs, or each against the house). Reports the connect rate, the games per
second while all games run at once, and the server's peak resident memory. The
Python clients are usually the bottleneck on a small machine, so the figures are
lower bounds for the server.
"""

from __future__ import annotations

import argparse
import asyncio
import resource
import sys
import time
from pathlib import Path

from websockets.asyncio.client import ClientConnection, connect

from kestrel_dev.board import over
from kestrel_dev.procfs import cpu_seconds, peak_rss_kib
from kestrel_testing.server_process import ServerProcess, find_server_binary


async def play(ws: ClientConnection) -> int:
    await ws.send(b"\x00\x00")
    seat = (await ws.recv())[1]
    board: list[str | None] = [None] * 9
    turn = 0
    while not over(board):
        if turn % 2 == seat:
            cell = board.index(None)
            await ws.send(bytes([cell]))
        else:
            cell = (await ws.recv())[0]
        board[cell] = "XO"[turn % 2]
        turn += 1
    await ws.wait_closed()
    return turn


async def main(args: argparse.Namespace) -> None:
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    binary = Path(args.server) if args.server else find_server_binary()
    if binary is None:
        sys.exit("kestrel-server not found (--server PATH or KESTREL_BUILD_DIR)")
    extra = ["--quiet"] + (["--house-bot"] if args.house_bot else [])
    with ServerProcess(binary, *extra) as server:
        start = time.perf_counter()
        clients: list[ClientConnection] = []
        for batch in range(0, args.clients, 200):
            n = min(200, args.clients - batch)
            opened = (connect(server.url, proxy=None, compression=None) for _ in range(n))
            clients += await asyncio.gather(*opened)
        connected = time.perf_counter() - start
        start = time.perf_counter()
        turns = await asyncio.gather(*(play(ws) for ws in clients))
        played = time.perf_counter() - start
        games = args.clients if args.house_bot else args.clients // 2
        moves = sum(turns) // (1 if args.house_bot else 2)
        assert server.process is not None
        rss = peak_rss_kib(server.process.pid)
        cpu = cpu_seconds(server.process.pid)
    mode = "house-bot" if args.house_bot else "paired"
    print(f"{args.clients} connections open at once ({mode}): connected in {connected:.2f} s "
          f"({args.clients / connected:.0f}/s); {games} games in {played:.2f} s "
          f"({games / played:.0f} games/s, {moves / played:.0f} moves/s); "
          f"server: peak RSS {rss / 1024:.1f} MiB, {cpu:.2f} s CPU in all")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--clients", type=int, default=4000)
    parser.add_argument("--house-bot", action="store_true")
    parser.add_argument("--server")
    asyncio.run(main(parser.parse_args()))
