"""mutmut over the arena's Python, in a copy of the tree (mutmut edits the
files it mutates in place)."""

from __future__ import annotations

import argparse
import os
import shutil
import sqlite3
import subprocess
import sys
from pathlib import Path

from mutating import ROOT, VENV, WORK, log


def run_arena(args: argparse.Namespace) -> None:
    """mutmut over src/kestrel_arena in a copy of the tree (mutmut edits the
    files it mutates), with the arena's tests as the runner."""
    work = WORK / "arena"
    if work.exists():
        shutil.rmtree(work)
    work.mkdir(parents=True)
    for top in ["src/kestrel_arena", "tests/python", "examples", "pyproject.toml"]:
        src = ROOT / top
        if src.is_dir():
            shutil.copytree(src, work / top, ignore=shutil.ignore_patterns("__pycache__"))
        else:
            shutil.copy2(src, work / top)
    tests = args.arena_tests
    # mutmut 2 counts a mutant killed only when its runner exits 1: one that
    # breaks an import (pytest exits 2) or hangs (`timeout` exits 124) would
    # count as survived. Any failure is made a 1.
    script = work / "run-tests.sh"
    script.write_text(
        f"timeout -k 5 {int(args.stage_limit * 4)} {VENV / 'python'} -m pytest -x -q -p no:cacheprovider "
        f"--timeout {args.test_timeout * 12} --timeout-method=thread -o log_cli=false {tests} || exit 1\n"
    )
    runner = f"sh {script}"
    tools = Path(sys.executable).parent
    # The installed module and server, not the C++ mutants' tree, which a
    # C++ run beside this one may be mutating.
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "KESTREL_BUILD_DIR")}
    env["KESTREL_SERVER"] = str(VENV / "kestrel-server")
    # mutmut's own limit (twice the unmutated run) kills only `timeout`, which
    # leaves a mutant stuck in a loop running its pytest and mutmut waiting on
    # it: a stuck test is left to pytest's per-test limit, which fails the run.
    cmd = [tools / "mutmut", "run", "--paths-to-mutate", args.arena_paths, "--tests-dir", "tests/python",
           "--runner", runner, "--no-progress", "--simple-output",
           "--test-time-base", str(args.test_timeout * 12 + 30)]
    log("mutmut:", " ".join(map(str, cmd)))
    run = subprocess.Popen(cmd, cwd=work, env=env, stdout=subprocess.PIPE, text=True, start_new_session=True)
    try:
        # Each mutant costs a tournament: a time box, past which the
        # mutants not reached are left untested.
        out, _ = run.communicate(timeout=args.arena_limit)
    except subprocess.TimeoutExpired:
        os.killpg(run.pid, 9)
        out, _ = run.communicate()
        log(f"mutmut stopped after {args.arena_limit} s")
    progress = [line for line in out.splitlines() if "KILLED" in line]
    log(progress[-1] if progress else out[-2000:])
    results = subprocess.run([tools / "mutmut", "results"], cwd=work, capture_output=True, text=True).stdout
    shown = subprocess.run([tools / "mutmut", "show", "all"], cwd=work, capture_output=True, text=True).stdout
    log(f"{results}\n{shown}")
    (WORK / "arena-results.txt").write_text("\n".join([*progress[-1:], results, shown]))


def rerun_arena(args: argparse.Namespace) -> None:
    """The mutants the last mutmut run did not kill (survivors, and those a
    stalled or time-boxed run left untested or timed out) again, against the
    work tree's tests as they are now: each applied in turn, tested, then
    undone, its verdict written back, so that the next rerun takes only the
    survivors."""
    work = WORK / "arena"
    shutil.copytree(ROOT / "tests" / "python", work / "tests" / "python", dirs_exist_ok=True)
    # A run cut short by its time box may have left a mutant in place.
    shutil.copytree(ROOT / "src" / "kestrel_arena", work / "src" / "kestrel_arena", dirs_exist_ok=True)
    with sqlite3.connect(work / ".mutmut-cache") as db:
        ids = [row[0] for row in db.execute("select id from Mutant where status != 'ok_killed' order by id")]
    tools = Path(sys.executable).parent
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "KESTREL_BUILD_DIR")}
    env["KESTREL_SERVER"] = str(VENV / "kestrel-server")
    killed = []
    for mutant in ids:
        subprocess.run([tools / "mutmut", "apply", str(mutant)], cwd=work, check=True, capture_output=True)
        try:
            done = subprocess.run(
                ["timeout", "-k", "5", str(args.stage_limit * 4), VENV / "python", "-m", "pytest", "-x", "-q",
                 "-p", "no:cacheprovider", "--timeout", str(args.test_timeout * 12), "--timeout-method=thread",
                 *args.arena_tests.split()],
                cwd=work, env=env, capture_output=True, text=True,
            )
        finally:
            for path in (ROOT / "src" / "kestrel_arena").glob("*.py"):
                shutil.copy2(path, work / path.relative_to(ROOT))
        verdict = "survived" if done.returncode == 0 else "killed"
        if verdict == "killed":
            killed.append(mutant)
        with sqlite3.connect(work / ".mutmut-cache") as db:
            status = "ok_killed" if verdict == "killed" else "bad_survived"
            db.execute("update Mutant set status = ? where id = ?", (status, mutant))
        shown = subprocess.run([tools / "mutmut", "show", str(mutant)], cwd=work, capture_output=True, text=True)
        log(f"{mutant}: {verdict}\n{shown.stdout.strip()}")
    with sqlite3.connect(work / ".mutmut-cache") as db:
        counts = dict(db.execute("select status, count(*) from Mutant group by status").fetchall())
    log(f"\nmutmut's last run: {counts}")
    log(f"arena mutants rerun: {len(killed)} of {len(ids)} now killed")
