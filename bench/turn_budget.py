"""Where one turn's time goes: the latency budget per stage.

    python bench/turn_budget.py --build-dir build/stamps [--games 300] [--rounds 3]
                                [--strategy python,cpp] [--json PATH]

Needs a build with the stamps compiled in (cmake -DKESTREL_TURN_STAMPS=ON; see
bench/README.md): the module and, for the C++ strategy, tests' session_client.
It runs the turn-latency measurement of compare.py -- the same measuring server,
sequential games, the client's seat alternating, 10 % warm-up games -- with

  python  a TicTacToeClient subclass playing first-free, as compare.py's
          kestrel client does; its handle_turn also notes the clock when the
          coroutine body runs;
  cpp     tests' session_client (an in-process C++ strategy, no Python at
          all), one process per game: the design's own floor here.

Each turn's stamps (src/core/turn_stamps.hpp) are lined up with the moment
the measuring server wrote its move and the moment our answer reached it, and
the median and p99 of every stage are printed. Stages are the time from the
previous stamp to this one; the stages of one turn add up to its latency.
"""

from __future__ import annotations

import argparse
import asyncio
import bisect
import json
import math
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

# The stamps in the order of src/core/turn_stamps.hpp's Stage.
STAMPS = (
    "frame_read", "inbox", "game_loop", "lock_taken", "turn_called", "scheduled", "lock_released",
    "loop_callback", "task_created", "callback_added", "completer", "answer_ready", "worker_resumed",
    "move_sending", "writer_awake", "written",
)
# The chain of one turn: (stamp that ends the stage, what the stage is). The
# end points "sent" and "arrived" are the measuring server's; "coroutine" is
# the Python client's own mark.
CHAIN = (
    ("frame_read", "server write -> frame read on a worker (kernel, reactor wake-up, Beast)"),
    ("inbox", "-> reader coroutine resumed (connection strand)"),
    ("game_loop", "-> game loop has the move (Inbox -> session strand)"),
    ("lock_taken", "-> interpreter lock taken"),
    ("turn_called", "-> state built, handle_turn called"),
    ("scheduled", "-> call_soon_threadsafe returned"),
    ("loop_callback", "-> PyEnsureFuture runs (loop wake-up, lock hand-off)"),
    ("task_created", "-> ensure_future returned"),
    ("callback_added", "-> add_done_callback returned"),
    ("coroutine", "-> coroutine body runs (task step, next loop pass)"),
    ("completer", "-> PyTaskCompleter runs (done callback, next loop pass)"),
    ("answer_ready", "-> answer read"),
    ("worker_resumed", "-> worker resumed (channel send, worker wake-up)"),
    ("move_sending", "-> move applied"),
    ("writer_awake", "-> writer coroutine has it (Outbox -> connection strand)"),
    ("written", "-> frame written"),
    ("arrived", "-> server data_received (kernel, server wake-up)"),
)
# Figures off the chain.
ASIDE = (
    ("scheduled", "lock_released", "lock still held after call_soon_threadsafe"),
    ("lock_released", "loop_callback", "lock released -> PyEnsureFuture runs"),
)


def quantile(values: list[float], q: float) -> float:
    ordered = sorted(values)
    return ordered[max(0, math.ceil(q * len(ordered)) - 1)]


# ---------------------------------------------------------------- child


async def python_child(url: str, games: int, marks_path: str) -> None:
    import kestrel

    marks: list[int] = []

    class FirstFree(kestrel.TicTacToeClient):
        async def handle_turn(self, state: Any) -> int:
            marks.append(time.monotonic_ns())
            return state.board.index(None)

    for _ in range(games):
        await FirstFree().connect(url)
    Path(marks_path).write_text("\n".join(map(str, marks)) + "\n")


# ---------------------------------------------------------------- parent


def read_stamps(path: Path) -> list[dict[str, int]]:
    turns = []
    if not path.exists():
        return turns
    for line in path.read_text().splitlines():
        values = [int(v) for v in line.split()]
        turns.append({name: v for name, v in zip(STAMPS, values, strict=True) if v})
    return turns


def measure(args: argparse.Namespace, strategy: str) -> list[dict[str, int]]:
    import compare

    games = args.games
    warm = max(2, games // 10)
    bench = compare.Bench(argparse.Namespace(build_dir=args.build_dir))
    server, reader, url = bench.measuring_server({"mode": "latency", "warm_games": warm, "moments": True})
    with tempfile.TemporaryDirectory() as tmp:
        stamps_path, marks_path = Path(tmp) / "stamps", Path(tmp) / "marks"
        env = dict(bench.env, KESTREL_TURN_STAMPS_FILE=str(stamps_path))
        try:
            if strategy == "python":
                subprocess.run(
                    [sys.executable, __file__, "--child", url, str(games + warm), str(marks_path)],
                    env=env, stdout=subprocess.DEVNULL, check=True, timeout=600,
                )
            else:
                program = args.build_dir / "session_client"
                for _ in range(games + warm):
                    subprocess.run([str(program), url], env=env, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, check=True, timeout=60)
        finally:
            result = bench.stop_measuring_server(server, reader)
        stamped = read_stamps(stamps_path)
        marks = [int(v) for v in marks_path.read_text().split()] if marks_path.exists() else []
    # Line the client's turns up with the server's: the turn whose frame was
    # read between the server's write and our answer's arrival.
    stamped.sort(key=lambda t: t["frame_read"])
    reads = [t["frame_read"] for t in stamped]
    turns = []
    for sent, latency in zip(result["sent_ns"], result["samples_ns"], strict=True):
        arrived = sent + latency
        at = bisect.bisect_left(reads, sent)
        if at == len(reads) or reads[at] > arrived or stamped[at].get("written", arrived + 1) > arrived:
            continue
        turn = dict(stamped[at], sent=sent, arrived=arrived)
        if marks and "callback_added" in turn and "completer" in turn:
            m = bisect.bisect_left(marks, turn["callback_added"])
            if m < len(marks) and marks[m] <= turn["completer"]:
                turn["coroutine"] = marks[m]
        turns.append(turn)
    return turns


def budget(turns: list[dict[str, int]]) -> list[tuple[str, float, float]]:
    rows = []
    for at, (end, label) in enumerate(CHAIN):
        durations = []
        for turn in turns:
            if end not in turn:
                continue
            start = next((turn[s] for s, _ in reversed(CHAIN[:at]) if s in turn), turn["sent"])
            durations.append((turn[end] - start) / 1000)
        if durations:
            rows.append((label, quantile(durations, 0.5), quantile(durations, 0.99)))
    for start, end, label in ASIDE:
        durations = [(t[end] - t[start]) / 1000 for t in turns if start in t and end in t]
        if durations:
            rows.append(("(" + label + ")", quantile(durations, 0.5), quantile(durations, 0.99)))
    total = [(t["arrived"] - t["sent"]) / 1000 for t in turns]
    rows.append(("turn latency, server write -> server read", quantile(total, 0.5), quantile(total, 0.99)))
    return rows


def main() -> None:
    if len(sys.argv) == 5 and sys.argv[1] == "--child":
        asyncio.run(python_child(sys.argv[2], int(sys.argv[3]), sys.argv[4]))
        return
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build-dir", type=Path, default=os.environ.get("KESTREL_BUILD_DIR") or None,
                        required="KESTREL_BUILD_DIR" not in os.environ,
                        help="a CMake build configured with -DKESTREL_TURN_STAMPS=ON")
    parser.add_argument("--games", type=int, default=300, help="measured games per round (default 300)")
    parser.add_argument("--rounds", type=int, default=3, help="rounds per strategy, pooled (default 3)")
    parser.add_argument("--strategy", default="python,cpp", help="python, cpp or both (default)")
    parser.add_argument("--json", type=Path, help="also write every stage's figures here")
    args = parser.parse_args()
    args.build_dir = Path(args.build_dir).resolve()
    report: dict[str, Any] = {"games": args.games, "rounds": args.rounds, "load_average_start": os.getloadavg()}
    for strategy in args.strategy.split(","):
        turns: list[dict[str, int]] = []
        for _ in range(args.rounds):
            turns += measure(args, strategy)
        if not turns:
            raise SystemExit(f"{strategy}: no stamped turns (is the build configured with KESTREL_TURN_STAMPS=ON?)")
        rows = budget(turns)
        print(f"\n{strategy} strategy: {len(turns)} turns, load average {os.getloadavg()[0]:.2f}")
        print(f"{'stage':76} {'p50 µs':>8} {'p99 µs':>8}")
        for label, p50, p99 in rows:
            print(f"{label:76} {p50:8.1f} {p99:8.1f}")
        report[strategy] = [{"stage": label, "p50_us": p50, "p99_us": p99} for label, p50, p99 in rows]
    if args.json:
        args.json.write_text(json.dumps(report, indent=1) + "\n")


if __name__ == "__main__":
    main()
