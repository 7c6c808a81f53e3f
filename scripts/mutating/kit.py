"""mutmut over the testing kit (src/kestrel_testing), in a copy of the tree
(mutmut edits the files it mutates in place).

The suite normally imports the installed kit: pytest loads its plugin, and
the package with it, before any conftest could point elsewhere. A mutant
planted in the copy's source reaches the tests only because the copy's src
comes first on PYTHONPATH, ahead of the installed package, in the tests'
process and in the pytest processes they start; the baseline checks that it
does before any mutant is judged."""

from __future__ import annotations

import argparse
import os
import shlex
import shutil
import sqlite3
import subprocess
import sys
from pathlib import Path

from mutating import ROOT, VENV, WORK, log

KIT = "src/kestrel_testing"


def _env(work: Path) -> dict[str, str]:
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "KESTREL_BUILD_DIR")}
    env["PYTHONPATH"] = str(work / "src")
    # The installed module and server, not the C++ mutants' tree, which a
    # C++ run beside this one may be mutating.
    env["KESTREL_SERVER"] = str(VENV / "kestrel-server")
    return env


def _pytest(args: argparse.Namespace) -> list[str]:
    return [
        "timeout", "-k", "5", str(int(args.stage_limit * 4)), str(VENV / "python"), "-m", "pytest", "-x", "-q",
        "-p", "no:cacheprovider", "--timeout", str(args.test_timeout * 6), "--timeout-method=thread",
        "-o", "log_cli=false", *args.kit_tests.split(),
    ]


def _runner(args: argparse.Namespace) -> str:
    """The tests as mutmut's runner. mutmut 2 counts only exit status 1 as a
    kill: a mutant that breaks the import (pytest's 4), the collection (2)
    or hangs into `timeout` (124) would pass for a survivor. Any failure is
    made a 1."""
    return shlex.join(["sh", "-c", shlex.join(_pytest(args)) + " || exit 1"])


def _check_reach(work: Path) -> None:
    """Stops the run unless the tests' process, plugin included, imports the
    kit from the copy the mutants go to."""
    probe = "import kestrel_testing, kestrel_testing.plugin as p; print(kestrel_testing.__file__); print(p.__file__)"
    where = subprocess.run(
        [VENV / "python", "-c", probe], cwd=work, env=_env(work), capture_output=True, text=True, check=True
    ).stdout.split()
    outside = [w for w in where if not w.startswith(str(work / KIT))]
    if outside:
        sys.exit(f"the kit's tests would import {outside}, not the copy in {work / KIT}")


def run_kit(args: argparse.Namespace) -> None:
    work = WORK / args.kit_work
    if work.exists():
        shutil.rmtree(work)
    work.mkdir(parents=True)
    for top in [KIT, "src/kestrel_arena", "tests/python", "examples", "pyproject.toml"]:
        src = ROOT / top
        if src.is_dir():
            shutil.copytree(src, work / top, ignore=shutil.ignore_patterns("__pycache__"))
        else:
            shutil.copy2(src, work / top)
    _check_reach(work)
    runner = _runner(args)
    tools = Path(sys.executable).parent
    cmd = [tools / "mutmut", "run", "--paths-to-mutate", args.kit_paths, "--tests-dir", "tests/python",
           "--runner", runner, "--no-progress", "--simple-output"]
    log("mutmut:", " ".join(map(str, cmd)))
    run = subprocess.Popen(cmd, cwd=work, env=_env(work), stdout=subprocess.PIPE, text=True, start_new_session=True)
    try:
        out, _ = run.communicate(timeout=args.kit_limit)
    except subprocess.TimeoutExpired:
        os.killpg(run.pid, 9)
        out, _ = run.communicate()
        log(f"mutmut stopped after {args.kit_limit} s; `--kit-resume` goes on from where it stopped")
    _report(work, out)


def resume_kit(args: argparse.Namespace) -> None:
    """The mutants a time-boxed run did not reach, in the same copy: mutmut
    skips the ones its cache has judged."""
    work = WORK / args.kit_work
    # A run cut short may have left a mutant in place.
    shutil.copytree(ROOT / KIT, work / KIT, dirs_exist_ok=True)
    runner = _runner(args)
    tools = Path(sys.executable).parent
    cmd = [tools / "mutmut", "run", "--paths-to-mutate", args.kit_paths, "--tests-dir", "tests/python",
           "--runner", runner, "--no-progress", "--simple-output"]
    run = subprocess.Popen(cmd, cwd=work, env=_env(work), stdout=subprocess.PIPE, text=True, start_new_session=True)
    try:
        out, _ = run.communicate(timeout=args.kit_limit)
    except subprocess.TimeoutExpired:
        os.killpg(run.pid, 9)
        out, _ = run.communicate()
        log(f"mutmut stopped after {args.kit_limit} s")
    _report(work, out)


def _report(work: Path, out: str) -> None:
    tools = Path(sys.executable).parent
    progress = [line for line in out.splitlines() if "KILLED" in line]
    log(progress[-1] if progress else out[-2000:])
    results = subprocess.run([tools / "mutmut", "results"], cwd=work, capture_output=True, text=True).stdout
    shown = subprocess.run([tools / "mutmut", "show", "all"], cwd=work, capture_output=True, text=True).stdout
    log(results + "\n" + shown)
    (work.parent / f"{work.name}-results.txt").write_text("\n".join([*progress[-1:], results, shown]))


def rerun_kit(args: argparse.Namespace) -> None:
    """The survivors of the last kit run again, against the work tree's tests
    as they are now: each applied in turn, tested, then undone."""
    work = WORK / args.kit_work
    shutil.copytree(ROOT / "tests" / "python", work / "tests" / "python", dirs_exist_ok=True)
    shutil.copytree(ROOT / KIT, work / KIT, dirs_exist_ok=True)
    with sqlite3.connect(work / ".mutmut-cache") as db:
        ids = [row[0] for row in db.execute("select id from Mutant where status = 'bad_survived' order by id")]
    tools = Path(sys.executable).parent
    killed = []
    for mutant in ids:
        subprocess.run([tools / "mutmut", "apply", str(mutant)], cwd=work, check=True, capture_output=True)
        try:
            done = subprocess.run(_pytest(args), cwd=work, env=_env(work), capture_output=True, text=True)
        finally:
            for path in (ROOT / KIT).glob("*.py"):
                shutil.copy2(path, work / path.relative_to(ROOT))
        verdict = "survived" if done.returncode == 0 else "killed"
        if verdict == "killed":
            killed.append(mutant)
        shown = subprocess.run([tools / "mutmut", "show", str(mutant)], cwd=work, capture_output=True, text=True)
        log(f"{mutant}: {verdict}\n{shown.stdout.strip()}")
    log(f"kit survivors rerun: {len(killed)} of {len(ids)} now killed")
