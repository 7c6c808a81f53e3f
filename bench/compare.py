"""kestrel side by side with the clients a user would write instead.

    python bench/compare.py [--build-dir DIR] [--rounds 5] [--games 2000]
                            [--latency-games 300] [--sessions 1,64,512]
                            [--idle 2000] [--clients kestrel,websockets,aiohttp,picows]
                            [--measure latency,throughput,memory,startup]
                            [--loop asyncio|uvloop] [--baseline DIR] [--label TEXT] [--json PATH]
                            [--png PATH] [--quick]
    python bench/compare.py --replot bench/results/compare.json

The same first-free player is written four ways -- a `kestrel.TicTacToeClient`
subclass and hand-written `websockets`, `aiohttp` and `picows` clients -- and
every figure is taken for all of them in one run, the clients
taking turns measurement by measurement (the first client rotates per round),
each measurement in a fresh child process so that its CPU time and memory are
that client's alone. Figures are medians over --rounds with min and max, and
ratios to kestrel (client / kestrel):

  turn latency   p50/p99 of the time from a measuring server writing its move
                 to the client's reply arriving there, over --latency-games
                 sequential games; the measuring server is a separate process,
                 plain asyncio with minimal frame code, the same for all clients.
  throughput     whole games per second with 1, 64 and 512 sessions at once
                 in one process (each replaced when its game ends) until
                 --games games, against `kestrel-server --house-bot`.
  CPU            user+system seconds of the client process per 1,000 of those
                 games (all its threads).
  idle memory    resident-set growth per session with --idle sessions joined
                 and waiting for a start that never comes (a measuring server
                 that takes the join and then stays silent).
  start-up       import asyncio + the client library + the first connection
                 open, in a fresh interpreter ("Connected to" for kestrel).
  server CPU     user+system seconds of `kestrel-server` per 1,000 games of
                 each throughput figure: what the server itself costs, which
                 shares the machine with the client.

--loop picks the clients' event loop (asyncio's own or uvloop's) for every
measurement. --baseline DIR adds the client kestrel-base: the same player on
the kestrel module of another build folder, measured in turn with the others,
so that a change and its base share one run.

kestrel and kestrel-server come from --build-dir / $KESTREL_BUILD_DIR when
given, otherwise from the installed package and the `kestrel-server` beside
this Python or on PATH. Nothing is built. --quick is a smoke run (< 1 minute).
Writes a table to stdout, JSON to --json and a chart to --png.
"""

from __future__ import annotations

import argparse
import json
import os
import signal
import subprocess
import sys
from pathlib import Path

from comparison.bench import Bench
from comparison.child import run_child
from comparison.clients import CLIENTS, DEFAULT_CLIENTS
from comparison.measuring_server import run_measuring_server
from comparison.report import chart, log, table

from kestrel_testing.server_binary import SERVER_EXE, first_executable, server_candidates

HERE = Path(__file__).resolve().parent
MEASURES = ("latency", "throughput", "memory", "startup")

__all__ = ["Bench", "main"]  # bench/turn_budget.py drives Bench through this module


def find_server(build_dir: Path | None) -> Path:
    # A build folder given is the one measured: nothing else stands in for it.
    candidates = [build_dir / SERVER_EXE] if build_dir else server_candidates()
    if found := first_executable(candidates):
        return found
    sys.exit(f"kestrel-server not found (looked at {', '.join(map(str, candidates))}); "
             "pip install . or pass --build-dir")


def main() -> None:
    if len(sys.argv) == 3 and sys.argv[1] == "--child":
        return run_child(json.loads(sys.argv[2]))
    if len(sys.argv) == 3 and sys.argv[1] == "--serve":
        return run_measuring_server(json.loads(sys.argv[2]))

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog=__doc__.split("\n", 2)[2])
    parser.add_argument("--build-dir", type=Path, default=os.environ.get("KESTREL_BUILD_DIR") or None,
                        help="take kestrel and kestrel-server from this CMake build folder")
    parser.add_argument("--rounds", type=int, help="rounds per figure (default 5)")
    parser.add_argument("--games", type=int, help="games per throughput figure (default 2000)")
    parser.add_argument("--latency-games", type=int, help="measured games per latency figure (default 300)")
    parser.add_argument("--sessions", help="sessions at once, comma-separated (default 1,64,512)")
    parser.add_argument("--idle", type=int, help="idle sessions for the memory figure (default 2000)")
    parser.add_argument("--clients", default=",".join(DEFAULT_CLIENTS),
                        help="which clients, comma-separated; the first is the reference")
    parser.add_argument("--measure", default=",".join(MEASURES),
                        help=f"which measurements, comma-separated (default {','.join(MEASURES)})")
    parser.add_argument("--baseline", type=Path,
                        help="also measure the kestrel module of this build folder, as client kestrel-base")
    parser.add_argument("--loop", choices=("asyncio", "uvloop"), default="asyncio",
                        help="the clients' event loop (default asyncio)")
    parser.add_argument("--json", type=Path, default=HERE / "results" / "compare.json")
    parser.add_argument("--png", type=Path, default=HERE / "results" / "compare.png")
    parser.add_argument("--label", default="",
                        help="free text kept in the JSON and the chart, e.g. the commit measured")
    parser.add_argument("--replot", type=Path, metavar="JSON",
                        help="measure nothing: print the table and draw the chart of a saved run")
    parser.add_argument("--quick", action="store_true", help="a smoke run: fewer rounds, games and sessions")
    args = parser.parse_args()
    quick = {"rounds": 2, "games": 200, "latency_games": 50, "sessions": "1,16,64", "idle": 200}
    full = {"rounds": 5, "games": 2000, "latency_games": 300, "sessions": "1,64,512", "idle": 2000}
    for key, value in (quick if args.quick else full).items():
        if getattr(args, key) is None:
            setattr(args, key, value)
    args.sessions = [int(n) for n in args.sessions.split(",")]
    args.clients = [c for c in args.clients.split(",") if c]
    args.measure = [m for m in args.measure.split(",") if m]
    if unknown := set(args.measure) - set(MEASURES):
        parser.error(f"unknown measurements: {', '.join(sorted(unknown))}")
    if unknown := set(args.clients) - set(CLIENTS):
        parser.error(f"unknown clients: {', '.join(sorted(unknown))}")
    if args.build_dir:
        args.build_dir = Path(args.build_dir).resolve()
    if args.baseline:
        args.baseline = args.baseline.resolve()
        os.environ["KESTREL_BASELINE_DIR"] = str(args.baseline)
        if "kestrel-base" not in args.clients:
            args.clients.append("kestrel-base")
    elif "kestrel-base" in args.clients:
        parser.error("the client kestrel-base needs --baseline DIR")

    signal.signal(signal.SIGINT, signal.default_int_handler)
    if args.replot:
        result = json.loads(args.replot.read_text())
        print(table(result))
        chart(result, args.png)
        return
    bench = Bench(args)
    server = find_server(args.build_dir)
    if "kestrel" in args.clients:
        probe = subprocess.run([sys.executable, "-c", "import kestrel"], env=bench.env,
                               capture_output=True, text=True)
        if probe.returncode != 0:
            sys.exit("cannot import kestrel (pip install . or pass --build-dir):\n" + probe.stderr[-1000:])
    result = bench.run(server)
    print(table(result))
    args.json.parent.mkdir(parents=True, exist_ok=True)
    args.json.write_text(json.dumps(result, indent=1) + "\n")
    chart(result, args.png)
    log(f"wrote {args.json} and {args.png}")


if __name__ == "__main__":
    main()
