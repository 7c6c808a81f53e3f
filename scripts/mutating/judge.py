"""The private copy's build and the tests that judge a mutant there: ctest
for the rooms kestrel_tests links, then the room's pytest files."""

from __future__ import annotations

import argparse
import os
import re
import subprocess
import sys
import time

from mutating import COPY, MIRRORED, ROOMS, ROOT, TREE, VENV, log


def mirror() -> None:
    """Brings the private copy level with the work tree, touching only files
    that differ so the next build stays incremental."""
    for top in MIRRORED:
        src = ROOT / top
        paths = [src] if src.is_file() else [p for p in src.rglob("*") if p.is_file()]
        for p in paths:
            dest = COPY / p.relative_to(ROOT)
            data = p.read_bytes()
            if not dest.exists() or dest.read_bytes() != data:
                dest.parent.mkdir(parents=True, exist_ok=True)
                dest.write_bytes(data)


def configure() -> None:
    if (TREE / "build.ninja").exists():
        return
    subprocess.run(
        [
            VENV / "cmake", "-S", COPY, "-B", TREE, "-G", "Ninja",
            f"-DCMAKE_MAKE_PROGRAM={VENV / 'ninja'}",
            "-DCMAKE_BUILD_TYPE=Debug",
            # No debug info: the copy is rebuilt once per mutant and only
            # ever asked pass or fail.
            "-DCMAKE_CXX_FLAGS_DEBUG=-O0",
            "-DKESTREL_TESTS=ON",
            f"-DPython_EXECUTABLE={VENV / 'python'}",
        ],
        check=True,
        stdout=subprocess.DEVNULL,
    )


def build(limit: float) -> tuple[bool, str]:
    try:
        done = subprocess.run(
            ["nice", VENV / "ninja", "-C", TREE, "-j2"], capture_output=True, text=True, timeout=limit
        )
    except subprocess.TimeoutExpired:
        return False, "build timed out"
    return done.returncode == 0, done.stdout[-3000:]


def test_env() -> dict[str, str]:
    return {
        **os.environ,
        "KESTREL_BUILD_DIR": str(TREE),
        "PYTHONPATH": str(TREE),
        "KESTREL_SERVER": str(TREE / "kestrel-server"),
    }


def run_stage(cmd: list, limit: float) -> tuple[str, float, str]:
    """'pass', 'fail' or 'timeout', the seconds taken and the output's tail."""
    start = time.monotonic()
    # `timeout` sends the whole run's process group a signal: whatever a
    # mutant hangs, it costs at most `limit` seconds.
    full = ["timeout", "-k", "5", str(int(limit)), "nice", *map(str, cmd)]
    done = subprocess.run(full, cwd=ROOT, env=test_env(), capture_output=True, text=True)
    took = time.monotonic() - start
    out = done.stdout + done.stderr
    if done.returncode in (124, 137) or "+++ Timeout +++" in out or "***Timeout" in out:
        return "timeout", took, out[-4000:]
    return ("pass" if done.returncode == 0 else "fail"), took, out[-4000:]


# kestrel_tests links the client's libraries only: a mutant of the server or
# of the module cannot change what ctest sees.
CTEST_ROOMS = {"core", "net"}


def stages(room: str, args: argparse.Namespace) -> list[tuple[list, float]]:
    ctest = [VENV / "ctest", "--test-dir", TREE, "-j2", "--timeout", str(args.test_timeout * 2), "--stop-on-failure"]
    pytest = [
        VENV / "python", "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider",
        "--timeout", str(args.test_timeout), "--timeout-method=thread", "-o", "log_cli=false", *ROOMS[room],
    ]
    return ([(ctest, args.stage_limit)] if room in CTEST_ROOMS else []) + [(pytest, args.stage_limit * 2)]


def failed_tests(out: str) -> list[str]:
    """The names of the tests that caught a mutant, from ctest's or pytest's summary."""
    names = re.findall(r"^\s*\d+ - (\S+) \((?:Failed|Timeout|SEGFAULT|Subprocess aborted|Exception)", out, re.M)
    names += re.findall(r"^FAILED (\S+)", out, re.M)
    names += re.findall(r"^ERROR (\S+)", out, re.M)
    if not names and "+++ Timeout +++" in out:
        names = re.findall(r"^(tests/python/\S+::\S+)", out, re.M)[-1:]
    return names[:5]


def run_tests(room: str, args: argparse.Namespace) -> tuple[str, float, str]:
    total = 0.0
    for cmd, limit in stages(room, args):
        verdict, took, out = run_stage(cmd, limit)
        total += took
        if verdict != "pass":
            return verdict, total, out
    return "pass", total, ""


def baseline(rooms: list[str], args: argparse.Namespace) -> None:
    ok, out = build(args.build_limit * 10)
    if not ok:
        sys.exit(f"the unmutated copy does not build:\n{out}")
    where = subprocess.run(
        [VENV / "python", "-c", "import kestrel; print(kestrel.__file__)"],
        env=test_env(), capture_output=True, text=True, check=True,
    ).stdout.strip()
    if not where.startswith(str(TREE)):
        sys.exit(f"the tests would import kestrel from {where}, not from the mutants' tree")
    for room in rooms:
        verdict, took, out = run_tests(room, args)
        log(f"baseline {room}: {verdict} in {took:.0f} s")
        if verdict != "pass":
            sys.exit(f"the unmutated tests fail for {room}; fix that first:\n{out}")
