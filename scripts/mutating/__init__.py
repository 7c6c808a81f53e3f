"""The parts of scripts/mutants.py: where things are and which tests judge
each room (here), choosing and planting the C++ mutants (`mutants`),
building the mutated copy and running its tests (`judge`), the C++ run
(`cpp`), mutmut over the arena (`arena`) and over the testing kit (`kit`)."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
WORK = ROOT / "build" / "mutants"
COPY = WORK / "src"  # the private copy the mutants are planted in
TREE = WORK / "tree"  # its CMake tree
VENV = ROOT / ".venv" / "bin"
RULES = ["universal.rules", "c_like.rules", "cpp.rules"]
MIRRORED = ["CMakeLists.txt", "cmake", "src", "tests/cpp"]

# The pytest files that drive each room's code (after ctest, for the rooms
# kestrel_tests links). Slow end-to-end files (the
# browser page, the examples' mypy run, the soak, the arena) are left out.
ROOMS = {
    "core": [
        "tests/python/test_server.py",
        "tests/python/test_session.py",
        "tests/python/test_client.py",
        "tests/python/test_fork.py",
    ],
    "net": ["tests/python/test_session.py", "tests/python/test_transport.py", "tests/python/test_client.py"],
    "python": [
        "tests/python/test_bridge.py",
        "tests/python/test_client.py",
        "tests/python/test_module.py",
        "tests/python/test_faults.py",
        "tests/python/test_exit.py",
        "tests/python/test_fork.py",
    ],
    "server": ["tests/python/test_server.py", "tests/python/test_spectator.py"],
}
# Compiled only with KESTREL_TURN_STAMPS (the benchmarks' build): a mutant
# there changes nothing the tests build.
NOT_BUILT = {"src/core/turn_stamps.cpp", "src/core/turn_stamps.hpp"}


def log(*words: object) -> None:
    print(*words, flush=True)


def run_mutmut(cmd: list[object], work: Path, env: dict[str, str], limit: float, note: str) -> str:
    """mutmut's output once it ends or, past `limit` seconds, once it and
    the test run it waits on are killed (it runs in a session of its own);
    `note` says what a stopped run leaves for the next."""
    run = subprocess.Popen(cmd, cwd=work, env=env, stdout=subprocess.PIPE, text=True, start_new_session=True)
    try:
        out, _ = run.communicate(timeout=limit)
    except subprocess.TimeoutExpired:
        os.killpg(run.pid, 9)
        out, _ = run.communicate()
        log(f"mutmut stopped after {limit} s{note}")
    return out


def report_mutmut(work: Path, out: str) -> list[str]:
    """Logs mutmut's last progress line, its results and every mutant it
    did not kill; returns those three texts."""
    tools = Path(sys.executable).parent
    progress = [line for line in out.splitlines() if "KILLED" in line]
    log(progress[-1] if progress else out[-2000:])
    results = subprocess.run([tools / "mutmut", "results"], cwd=work, capture_output=True, text=True).stdout
    shown = subprocess.run([tools / "mutmut", "show", "all"], cwd=work, capture_output=True, text=True).stdout
    log(results + "\n" + shown)
    return [*progress[-1:], results, shown]


def copy_tree(work: Path, tops: list[str]) -> None:
    """The files and folders `tops` of the checkout, copied into `work` for mutmut to edit."""
    for top in tops:
        src = ROOT / top
        if src.is_dir():
            shutil.copytree(src, work / top, ignore=shutil.ignore_patterns("__pycache__"))
        else:
            shutil.copy2(src, work / top)
