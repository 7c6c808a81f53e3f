"""What spectators cost the games: kestrel-server --house-bot --web, the same
burst of games watched by 0 and then by N spectators.

    python bench/spectators.py [--games 500] [--spectators 0,20,100] [--rounds 3] [--server PATH]

Each round starts --games games against the house at once (every game started
before any client moves), then lets them all play out. Prints, per spectator
count, the median time for the games to play out and how many spectators
kept up or were dropped. The Python clients and readers share one loop (the
readers only count), so the figures are upper bounds for the server's share.
"""

from __future__ import annotations

import argparse
import asyncio
import statistics
import sys
import time
from pathlib import Path

from kestrel_dev.spectators import EventStream, house_game, state, wait_for, web_url
from kestrel_testing.server_process import ServerProcess, find_server_binary


class CountingStream(EventStream):
    """An event stream that only counts the game ends, so that reading it
    costs the shared loop as little as possible."""

    overs = 0

    async def _read(self, reader: asyncio.StreamReader) -> None:
        tail = b""
        while chunk := await reader.read(1 << 16):
            data = tail + chunk
            cut = data.rfind(b"\n\n")
            cut = cut + 2 if cut >= 0 else 0  # an event is counted once it is whole
            self.overs += data[:cut].count(b'"type":"over"')
            tail = data[cut:]
        self.closed = True


async def burst(url: str, web: str, games: int, watchers: int) -> tuple[float, int]:
    spectators = [await CountingStream().open(web) for _ in range(watchers)]
    started = asyncio.Event()
    ready: list[int] = []
    players = [asyncio.create_task(house_game(url, started, ready)) for _ in range(games)]
    await wait_for(lambda: len(ready) == games)
    begun = time.monotonic()
    started.set()
    await asyncio.gather(*players)
    elapsed = time.monotonic() - begun
    # Every spectator has seen every game end, or was dropped.
    await wait_for(lambda: all(s.closed or s.overs == games for s in spectators))
    dropped = sum(s.closed for s in spectators)
    assert state(web)["spectators_dropped"] == dropped
    for s in spectators:
        await s.close()
    return elapsed, dropped


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--games", type=int, default=500)
    parser.add_argument("--spectators", default="0,20,100")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--server", type=Path, default=None)
    args = parser.parse_args()
    binary = args.server or find_server_binary()
    if binary is None:
        sys.exit("kestrel-server not found (set KESTREL_BUILD_DIR or --server)")
    for watchers in (int(n) for n in args.spectators.split(",")):
        times, drops = [], 0
        for _ in range(args.rounds):
            with ServerProcess(binary, "--house-bot", "--quiet", "--web", "0") as server:
                elapsed, dropped = asyncio.run(burst(server.url, web_url(server), args.games, watchers))
                times.append(elapsed)
                drops += dropped
        print(
            f"{args.games} games, {watchers:3d} spectators: played out in "
            f"{statistics.median(times):.2f} s (median of {args.rounds}), "
            f"{drops} of {watchers * args.rounds} spectators dropped"
        )


if __name__ == "__main__":
    main()
