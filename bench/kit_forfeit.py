"""What a forfeit by move time costs a test run with kestrel_testing: games
in which one side never answers and the server's --move-time ends it,
against ordinary games of the same two seats played in the same run. The
figure to read is the extra cost of a forfeit game over an ordinary one, as
a multiple of the move time: about 1 when a time-limit test costs the
limit and nothing more.

    .venv/bin/python bench/kit_forfeit.py [--games 10] [--move-time 0.1]"""

from __future__ import annotations

import argparse
import asyncio
import os
import time
from pathlib import Path

import kestrel
from kestrel_testing import play

ROOT = Path(__file__).resolve().parents[1]


class Hang(kestrel.TicTacToeClient):
    async def handle_turn(self, state: kestrel.PyTicTacToeState) -> int:
        await asyncio.Event().wait()
        return 0


def seconds_a_game(bot: object, opponent: Path, games: int, move_time: float) -> float:
    start = time.perf_counter()
    match = play(bot, opponent, games=games, seat=0, move_time=move_time)  # type: ignore[arg-type]
    took = (time.perf_counter() - start) / games
    assert len(match.games) == games
    return took


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--games", type=int, default=10)
    p.add_argument("--move-time", type=float, default=0.1)
    p.add_argument("--build-dir", default=os.environ.get("KESTREL_BUILD_DIR"))
    args = p.parse_args()
    if args.build_dir:
        os.environ["KESTREL_BUILD_DIR"] = args.build_dir
    first_free = ROOT / "examples" / "first_free.py"
    ordinary = seconds_a_game(first_free, first_free, args.games, args.move_time)
    forfeit = seconds_a_game(Hang, first_free, args.games, args.move_time)
    print(f"ordinary game  {ordinary:6.3f} s")
    print(f"forfeit game   {forfeit:6.3f} s  (move time {args.move_time:g} s)")
    print(f"extra cost of a forfeit: {(forfeit - ordinary) / args.move_time:.2f} x the move time")


if __name__ == "__main__":
    main()
