"""Games per second and memory of kestrel against a pure-Python peer client.

Both clients play the same bot (first free cell) against `kestrel-server --house-bot`
on loopback, in the same run, so the figures are ratios on this machine:

    python bench/bench_games.py [--games 300] [--concurrency 8]

The peer is a plain `websockets` client that speaks the same binary protocol; it is
what a user would write without kestrel. kestrel prints its console lines straight
to file descriptor 1, so the run sends fd 1 to /dev/null and reports on stderr.
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import os
import subprocess
import sys
import time
from collections.abc import Awaitable, Callable, Iterator
from pathlib import Path

import websockets
from kestrel_wire import read_varint

import kestrel
from kestrel_dev.board import over
from kestrel_dev.descriptors import fd_redirected
from kestrel_dev.procfs import rss_kib
from kestrel_testing.server_binary import SERVER_EXE, first_executable, server_candidates


class FirstFree(kestrel.TicTacToeClient):
    async def handle_turn(self, state: kestrel.PyTicTacToeState) -> int:
        return state.board.index(None)


async def peer_game(url: str) -> None:
    """One game with the protocol written by hand on top of `websockets`."""
    async with websockets.connect(url, compression=None) as ws:
        await ws.send(b"\x00\x00")
        while True:
            message = await ws.recv()
            if isinstance(message, bytes) and len(message) >= 2 and message[0] == 0:
                seat, _ = read_varint(message, 1)
                break
        board: list[int | None] = [None] * 9
        mover = 0
        while not over(board):
            if mover == seat:
                cell = board.index(None)
                await ws.send(bytes([cell]))
            else:
                message = await ws.recv()
                if not isinstance(message, bytes) or not message or message[0] > 8:
                    continue
                cell = message[0]
            board[cell] = mover
            mover ^= 1


async def kestrel_game(url: str) -> None:
    await FirstFree().connect(url)


async def run(play: Callable[[str], Awaitable[None]], url: str, games: int, concurrency: int) -> float:
    remaining = iter(range(games))

    async def worker() -> None:
        for _ in remaining:
            await play(url)

    start = time.perf_counter()
    await asyncio.gather(*(worker() for _ in range(concurrency)))
    return time.perf_counter() - start


@contextlib.contextmanager
def house_server() -> Iterator[str]:
    build = os.environ.get("KESTREL_BUILD_DIR")
    binary = first_executable([Path(build) / SERVER_EXE] if build else server_candidates())
    if binary is None:
        sys.exit("kestrel-server not found: pip install . or set KESTREL_BUILD_DIR")
    proc = subprocess.Popen(
        [str(binary), "--house-bot", "--quiet", "--port", "0"], stdout=subprocess.PIPE, text=True
    )
    assert proc.stdout is not None
    line = proc.stdout.readline()
    url = "ws://" + line.rsplit("ws://", 1)[1].strip()
    try:
        yield url
    finally:
        proc.terminate()
        proc.wait(timeout=10)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--games", type=int, default=300)
    parser.add_argument("--concurrency", type=int, default=8)
    args = parser.parse_args()

    results: dict[str, tuple[float, int]] = {}
    with house_server() as url, open(os.devnull, "wb") as devnull, fd_redirected(1, devnull.fileno()):
        for name, play in (("peer", peer_game), ("kestrel", kestrel_game)):
            asyncio.run(run(play, url, 20, args.concurrency))  # warm-up
            before = rss_kib()
            seconds = asyncio.run(run(play, url, args.games, args.concurrency))
            results[name] = (seconds, rss_kib() - before)

    peer_s, peer_rss = results["peer"]
    kestrel_s, kestrel_rss = results["kestrel"]
    out = sys.stderr
    print(f"{args.games} games, {args.concurrency} at a time, against kestrel-server --house-bot", file=out)
    for name, (seconds, rss) in results.items():
        print(f"  {name:8} {args.games / seconds:8.1f} games/s   RSS growth {rss:+6d} KiB", file=out)
    print(f"  kestrel/peer games/s ratio: {peer_s / kestrel_s:.2f}", file=out)
    print(f"  RSS growth, kestrel minus peer: {kestrel_rss - peer_rss:+d} KiB", file=out)


if __name__ == "__main__":
    main()
