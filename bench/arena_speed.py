"""kestrel-arena's speed with bots that live across games, against a process
per game (--fresh-process), and at --concurrency 1 against 2: the same
300-game tournament (first_free and random_bot, each named three times,
--games 20 --seed 1, the cross-table picture included) played in turns,
mode after mode, for several rounds; whole-run wall times per mode (min,
median, max) and the ratios of the medians. Nothing is asserted.

    .venv/bin/python bench/arena_speed.py [--rounds 3] [--modes kept1,kept2,fresh1]

The arena is the installed `kestrel-arena` (run as `python -m kestrel_arena.cli`
by the Python running this), with `kestrel-server` from --build-dir /
$KESTREL_BUILD_DIR if given.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
BOTS = [str(ROOT / "examples" / name) for name in ("first_free.py", "random_bot.py")] * 3
MODES = {
    "kept1": ["--concurrency", "1"],
    "kept2": ["--concurrency", "2"],
    "fresh1": ["--concurrency", "1", "--fresh-process"],
    "fresh2": ["--concurrency", "2", "--fresh-process"],
}


def server_args(build_dir: str | None) -> list[str]:
    if build_dir and (Path(build_dir) / "kestrel-server").is_file():
        return ["--server", str(Path(build_dir) / "kestrel-server")]
    return []


def one_run(mode: str, build_dir: str | None, folder: Path) -> float:
    command = [sys.executable, "-m", "kestrel_arena.cli", *BOTS, "--games", "20", "--seed", "1"]
    command += [*MODES[mode], *server_args(build_dir), "--out", str(folder)]
    began = time.perf_counter()
    done = subprocess.run(command, capture_output=True, text=True)
    took = time.perf_counter() - began
    if done.returncode != 0:
        sys.exit(f"{mode}: exit {done.returncode}\n{done.stderr}")
    return took


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--modes", default="kept1,kept2,fresh1", help=f"of {', '.join(MODES)}")
    parser.add_argument("--build-dir", default=os.environ.get("KESTREL_BUILD_DIR"))
    args = parser.parse_args()
    modes = args.modes.split(",")
    times: dict[str, list[float]] = {m: [] for m in modes}
    with tempfile.TemporaryDirectory(prefix="arena-speed-") as scratch:
        for round_ in range(args.rounds):
            for mode in modes:
                times[mode].append(one_run(mode, args.build_dir, Path(scratch) / f"{mode}-{round_}"))
                print(f"round {round_ + 1} {mode}: {times[mode][-1]:.2f} s", file=sys.stderr, flush=True)
    load = os.getloadavg()[0] if hasattr(os, "getloadavg") else float("nan")
    print(f"300 games, {args.rounds} rounds per mode, load average at the end {load:.1f} on {os.cpu_count()} CPUs")
    print(f"{'mode':<8} {'min s':>7} {'median s':>9} {'max s':>7}")
    for mode in modes:
        print(f"{mode:<8} {min(times[mode]):>7.2f} {statistics.median(times[mode]):>9.2f} {max(times[mode]):>7.2f}")
    medians = {m: statistics.median(t) for m, t in times.items()}
    for slow, fast in (("fresh1", "kept1"), ("kept1", "kept2"), ("fresh2", "kept2")):
        if slow in medians and fast in medians:
            print(f"median {slow} / median {fast}: {medians[slow] / medians[fast]:.2f}")


if __name__ == "__main__":
    main()
