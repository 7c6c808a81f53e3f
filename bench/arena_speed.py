"""kestrel-arena's speed: whole runs and the cost of one more game. Each case
is a whole `kestrel-arena` run timed from outside (wall seconds, and the CPU
seconds of the arena and everything it started: server, bots), played in
turns, case after case, for several rounds; medians compared. Nothing is
asserted.

Cases:
  rr1, rr2        the 300-game round robin (first_free and random_bot, each
                  named three times, --games 20 --seed 1, the cross-table
                  picture included) at --concurrency 1 and 2
  rr1-1500, rr2-1500
                  the same with --games 100 (1,500 games): the difference
                  from the 300-game run is the cost at the margin, with what
                  does not grow with games (start-up, picture) dropped out
  rr              the 300-game run at the default concurrency
  fresh1, fresh2  rr1 and rr2 with --fresh-process
  sprt            examples/perfect.py against examples/random_bot.py,
                  --sprt 0 50 --seed 1, to its decision
  think1, think16 two bots that await asyncio.sleep(0.02) each move,
                  --games 40 --seed 1, at --concurrency 1 and 16
  think16-200     think16 with --games 200: with think16, the cost at the
                  margin at 16 games at once, without the start-up of the 32
                  bot processes they need

    .venv/bin/python bench/arena_speed.py [--rounds 3] [--cases rr,rr1,rr2,rr1-1500,rr2-1500,sprt]
        [--peer OTHER/src]

The arena is `python -m kestrel_arena.cli` with the Python running this (from
the installed package, or this checkout's src/ on PYTHONPATH), with
`kestrel-server` from --build-dir / $KESTREL_BUILD_DIR if given. --peer runs
every case a second time, in turn, with another checkout's src/ first on
PYTHONPATH (an older arena, say; the same server): its figures are printed
beside, and the ratios of the medians, which a loaded machine shifts less
than the times themselves.
"""

from __future__ import annotations

import argparse
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
EXAMPLES = ROOT / "examples"
ROUND_ROBIN = [str(EXAMPLES / name) for name in ("first_free.py", "random_bot.py")] * 3
THINKER = (
    "import asyncio\nimport random\n\nimport kestrel\n\n\nclass Thinker(kestrel.TicTacToeClient):\n"
    "    async def handle_turn(self, state):\n        await asyncio.sleep(0.02)\n"
    "        return random.choice([c for c, m in enumerate(state.board) if m is None])\n"
)


def cases(thinker: Path) -> dict[str, tuple[list[str], int]]:
    """Each case's arguments and its number of games (0: the SPRT, which decides its own)."""
    rr = [*ROUND_ROBIN, "--seed", "1"]
    think = [str(thinker), str(thinker), "--games", "40", "--seed", "1"]
    return {
        "rr": ([*rr, "--games", "20"], 300),
        "rr1": ([*rr, "--games", "20", "--concurrency", "1"], 300),
        "rr2": ([*rr, "--games", "20", "--concurrency", "2"], 300),
        "rr1-1500": ([*rr, "--games", "100", "--concurrency", "1"], 1500),
        "rr2-1500": ([*rr, "--games", "100", "--concurrency", "2"], 1500),
        "fresh1": ([*rr, "--games", "20", "--concurrency", "1", "--fresh-process"], 300),
        "fresh2": ([*rr, "--games", "20", "--concurrency", "2", "--fresh-process"], 300),
        "sprt": (
            [str(EXAMPLES / "perfect.py"), str(EXAMPLES / "random_bot.py"), "--sprt", "0", "50", "--seed", "1"],
            0,
        ),
        "think1": ([*think, "--concurrency", "1"], 40),
        "think16": ([*think, "--concurrency", "16"], 40),
        "think16-200": ([*think[:-4], "--games", "200", "--seed", "1", "--concurrency", "16"], 200),
    }


def server_args(build_dir: str | None) -> list[str]:
    if build_dir and (Path(build_dir) / "kestrel-server").is_file():
        return ["--server", str(Path(build_dir) / "kestrel-server")]
    return []


def children_cpu() -> float:
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def one_run(name: str, args: list[str], build_dir: str | None, folder: Path, src: str | None) -> tuple[float, float]:
    """Wall and CPU seconds of one whole run (CPU: the arena and every process it waited for)."""
    command = [sys.executable, "-m", "kestrel_arena.cli", *args, *server_args(build_dir), "--out", str(folder)]
    env = dict(os.environ)
    if src:
        env["PYTHONPATH"] = os.pathsep.join([src, *filter(None, [os.environ.get("PYTHONPATH")])])
    cpu = children_cpu()
    began = time.perf_counter()
    done = subprocess.run(command, capture_output=True, text=True, env=env)
    took = time.perf_counter() - began
    if done.returncode not in (0, 10, 11):  # an SPRT's decisions have statuses of their own
        sys.exit(f"{name}: exit {done.returncode}\n{done.stderr}")
    return took, children_cpu() - cpu


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--cases", default="rr,rr1,rr2,rr1-1500,rr2-1500,sprt")
    parser.add_argument("--build-dir", default=os.environ.get("KESTREL_BUILD_DIR"))
    parser.add_argument("--peer", help="another checkout's src/ folder, run as peer:CASE")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="arena-speed-") as scratch:
        thinker = Path(scratch) / "thinker.py"
        thinker.write_text(THINKER)
        known = cases(thinker)
        names = args.cases.split(",")
        if unknown := [n for n in names if n not in known]:
            sys.exit(f"unknown cases {unknown}; of {', '.join(known)}")
        if args.peer:
            known |= {f"peer:{n}": known[n] for n in names}
            names = [m for n in names for m in (n, f"peer:{n}")]
        wall: dict[str, list[float]] = {n: [] for n in names}
        cpu: dict[str, list[float]] = {n: [] for n in names}
        for round_ in range(args.rounds):
            for name in names:
                src = args.peer if name.startswith("peer:") else None
                folder = Path(scratch) / f"{name.replace(':', '-')}-{round_}"
                took, spent = one_run(name, known[name][0], args.build_dir, folder, src)
                wall[name].append(took)
                cpu[name].append(spent)
                print(f"round {round_ + 1} {name}: {took:.2f} s, {spent:.2f} CPU-s", file=sys.stderr, flush=True)
    load = os.getloadavg()[0] if hasattr(os, "getloadavg") else float("nan")
    print(f"{args.rounds} rounds per case, load average at the end {load:.1f} on {os.cpu_count()} CPUs")
    print(f"{'case':<15} {'games':>6} {'wall s min':>10} {'median':>7} {'max':>6} {'CPU s median':>13}")
    wall_m = {n: statistics.median(t) for n, t in wall.items()}
    cpu_m = {n: statistics.median(t) for n, t in cpu.items()}
    for name in names:
        games = known[name][1] or "-"
        print(
            f"{name:<15} {games:>6} {min(wall[name]):>10.2f} {wall_m[name]:>7.2f} {max(wall[name]):>6.2f} "
            f"{cpu_m[name]:>13.2f}"
        )
    for prefix in ("", "peer:") if args.peer else ("",):
        print(f"{prefix or 'this arena: '}at the margin (1,500-game run minus 300-game run, medians):")
        margin: dict[str, float] = {}
        for level in ("1", "2"):
            small, large = f"{prefix}rr{level}", f"{prefix}rr{level}-1500"
            if small in wall_m and large in wall_m:
                extra = known[large][1] - known[small][1]
                margin[level] = extra / (wall_m[large] - wall_m[small])
                per_game = 1000 * (cpu_m[large] - cpu_m[small]) / extra
                print(f"  --concurrency {level}: {margin[level]:.0f} games/s, {per_game:.2f} ms of CPU per game")
        if len(margin) == 2:
            print(f"  concurrency 2 over 1: {margin['2'] / margin['1']:.2f}x")
        one, small, large = f"{prefix}think1", f"{prefix}think16", f"{prefix}think16-200"
        if one in wall_m and small in wall_m and large in wall_m:
            rate1 = known[one][1] / wall_m[one]  # two processes: start-up is a small share
            rate16 = (known[large][1] - known[small][1]) / (wall_m[large] - wall_m[small])
            print(
                f"  thinking bots: {rate16:.1f} games/s at 16 at once, {rate1:.1f} one at a time: {rate16 / rate1:.1f}x"
            )
        for slow, fast in (("fresh1", "rr1"), ("rr1", "rr2"), ("think1", "think16")):
            if prefix + slow in wall_m and prefix + fast in wall_m:
                print(f"  median {slow} / median {fast}: {wall_m[prefix + slow] / wall_m[prefix + fast]:.2f}")
    if args.peer:
        print("this arena's median wall time over the peer's, per case:")
        for name in names:
            if not name.startswith("peer:"):
                print(f"  {name}: {wall_m[name] / wall_m['peer:' + name]:.2f}")


if __name__ == "__main__":
    main()
