"""Mutation runs for scripts/mutants.sh: plants one fault at a time in a
private copy of the C++ sources, rebuilds that copy incrementally and runs
the fast tests of the mutated room; the arena's Python goes to mutmut.

Runs under the tool venv (build/mutants/venv, which has universalmutator);
the tests run under the project's .venv like every other test run."""

from __future__ import annotations

import argparse
import contextlib
import hashlib
import io
import json
import os
import random
import re
import shutil
import sqlite3
import subprocess
import sys
import time
from collections import Counter
from pathlib import Path

from universalmutator import mutator

ROOT = Path(__file__).resolve().parents[1]
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


def code_part(line: str) -> str:
    """The line without a trailing // comment (outside string literals)."""
    in_string = False
    i = 0
    while i < len(line):
        c = line[i]
        if c == "\\" and in_string:
            i += 2
            continue
        if c == '"':
            in_string = not in_string
        elif not in_string and line.startswith("//", i):
            return line[:i].rstrip()
        i += 1
    return line.rstrip()


def windows_only_lines(lines: list[str]) -> set[int]:
    """Line numbers (1-based) inside a branch compiled only for Windows."""
    stack: list[tuple[bool, bool]] = []  # (mentions _WIN32, this branch is Windows-only)
    out = set()
    for n, line in enumerate(lines, 1):
        s = line.strip()
        if re.match(r"#\s*if", s):
            win = "_WIN32" in s
            negated = s.startswith("#ifndef") or "!defined" in s.replace(" ", "")
            stack.append((win, win and not negated))
        elif re.match(r"#\s*el", s) and stack:
            win, only = stack[-1]
            stack[-1] = (win, win and not only)
        elif re.match(r"#\s*endif", s) and stack:
            stack.pop()
        elif any(only for _, only in stack):
            out.add(n)
    return out


# Rewrites that never compile (a number inside a name or a hexadecimal
# literal, an operator glued to ==): dropped before the build, which would
# only report them as skipped after a compile's wait.
NEVER_COMPILES = [
    re.compile(r"[A-Za-z_]\((?:\d+[-+]1|0|1|-1)\)[A-Za-z_0-9]"),
    re.compile(r"\((?:\d+[-+]1|0|1|-1)\)[xX'][0-9A-Fa-f]"),
    re.compile(r"[<>!=+\-*/]=="),
]


NAME = re.compile(r"[A-Za-z_]\w*")
KEYWORDS = {"break", "continue", "return", "true", "false", "nullptr"}


def never_compiles(old: str, new: str) -> bool:
    def balance(text: str) -> int:
        code = code_part(text)
        return code.count("(") - code.count(")")

    if balance(old) != balance(new):
        return True
    # A name cut in two by a rewritten digit (UTF8 -> UTF(8-1)) leaves a
    # name that the line did not have.
    names = set(NAME.findall(code_part(old))) | KEYWORDS
    if set(NAME.findall(code_part(new))) - names:
        return True
    return any(len(p.findall(new)) > len(p.findall(old)) for p in NEVER_COMPILES)


def mutants_of(path: str) -> list[dict]:
    lines = (ROOT / path).read_text().splitlines(keepends=True)
    skip = windows_only_lines(lines)
    found = []
    with contextlib.redirect_stdout(io.StringIO()):
        raw = mutator.mutants_regexp(lines, ruleFiles=RULES, ignorePatterns=[], ignoreStringOnly=True)
    for lineno, new, _rule, _ in raw:
        old = lines[lineno - 1]
        s = old.strip()
        if lineno in skip or s.startswith(("//", "#", "namespace", "}  // namespace")):
            continue
        if code_part(old) == code_part(new.rstrip("\n")) or not code_part(old) or never_compiles(old, new):
            continue
        digest = hashlib.sha1(f"{path}:{lineno}:{new}".encode()).hexdigest()[:10]
        found.append({"id": digest, "file": path, "line": lineno, "old": old.rstrip("\n"), "new": new.rstrip("\n")})
    return found


def room_files(room: str, headers: bool = False) -> list[str]:
    # A header's mutant rebuilds every file that includes it, minutes on a
    # busy machine; sources only unless asked.
    kinds = (".cpp", ".hpp") if headers else (".cpp",)
    files = sorted(str(p.relative_to(ROOT)) for p in (ROOT / "src" / room).iterdir() if p.suffix in kinds)
    return [f for f in files if f not in NOT_BUILT]


def files_by_room(args: argparse.Namespace) -> dict[str, list[str]]:
    """The files to plant mutants in, by the room whose tests judge them:
    the rooms' sources, or just the files named with --files."""
    if not args.files:
        return {room: room_files(room, args.headers) for room in args.rooms}
    chosen: dict[str, list[str]] = {}
    for f in args.files:
        chosen.setdefault(Path(f).parts[1], []).append(f)
    return chosen


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


def plant(m: dict) -> None:
    target = COPY / m["file"]
    lines = (ROOT / m["file"]).read_text().splitlines(keepends=True)
    # A hand-written mutant may span lines (say, two swapped).
    at = slice(m["line"] - 1, m["line"] - 1 + m["old"].count("\n") + 1)
    assert "".join(lines[at]).rstrip("\n") == m["old"], f"{m['file']}:{m['line']} changed since sampling"
    lines[at] = [m["new"] + "\n"]
    target.write_text("".join(lines))


def restore(m: dict) -> None:
    (COPY / m["file"]).write_bytes((ROOT / m["file"]).read_bytes())


def pick(args: argparse.Namespace) -> list[dict]:
    if args.rerun:
        previous = [json.loads(line) for line in Path(args.rerun).read_text().splitlines() if line.strip()]
        chosen = [m for m in previous if m["status"] in args.rerun_status.split(",")]
        return [{k: m[k] for k in ("id", "file", "line", "old", "new", "room")} for m in chosen]
    rng = random.Random(args.seed)
    chosen = []
    for room, files in files_by_room(args).items():
        every = [dict(m, room=room) for f in files for m in mutants_of(f)]
        log(f"{room}: {len(every)} mutants from {len(files)} files; sampling {min(args.sample, len(every))}")
        chosen += rng.sample(every, min(args.sample, len(every)))
    # Neighbours in one file share their rebuild.
    return sorted(chosen, key=lambda m: (m["file"], m["line"], m["id"]))


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


def summary(results: list[dict]) -> None:
    rooms = sorted({r["room"] for r in results})
    log("\nroom      mutants  killed  survived  timeout  skipped  score")
    for room in rooms + ["all"]:
        rs = [r for r in results if room in ("all", r["room"])]
        c = Counter(r["status"] for r in rs)
        live = c["killed"] + c["survived"] + c["timeout"]
        score = 100 * (c["killed"] + c["timeout"]) / live if live else 0
        log(f"{room:8} {len(rs):8} {c['killed']:7} {c['survived']:9} {c['timeout']:8} {c['skipped']:8}  {score:5.1f} %")
    spent = [r["seconds"] for r in results if r["status"] != "skipped"]
    if spent:
        spent.sort()
        log(f"seconds per mutant (build + tests): median {spent[len(spent) // 2]:.0f}, max {spent[-1]:.0f}")
    survivors = [r for r in results if r["status"] == "survived"]
    if survivors:
        log(f"\nsurvivors ({len(survivors)}):")
    for r in survivors:
        log(f"  [{r['id']}] {r['file']}:{r['line']}\n    - {r['old'].strip()}\n    + {r['new'].strip()}")


def run_cpp(args: argparse.Namespace) -> None:
    COPY.mkdir(parents=True, exist_ok=True)
    mirror()
    configure()
    chosen = pick(args)
    rooms = sorted({m["room"] for m in chosen})
    if not args.no_baseline:
        baseline(rooms, args)
    out_path = ROOT / (args.out or WORK / f"results-{'-'.join(rooms)}-{args.seed}.jsonl")
    out_path.write_text("")
    results = []
    for i, m in enumerate(chosen, 1):
        start = time.monotonic()
        plant(m)
        try:
            ok, build_out = build(args.build_limit)
            if not ok:
                status, tail = "skipped", build_out[-600:]
            else:
                verdict, _, tail = run_tests(m["room"], args)
                status = {"fail": "killed", "timeout": "timeout", "pass": "survived"}[verdict]
        finally:
            restore(m)
        r = dict(m, status=status, seconds=round(time.monotonic() - start, 1))
        if status in ("killed", "timeout"):
            r["by"] = failed_tests(tail)
        results.append(r)
        with out_path.open("a") as f:
            f.write(json.dumps(r) + "\n")
        log(f"[{i}/{len(chosen)}] {status:8} {r['seconds']:5.0f} s  {m['file']}:{m['line']}  {m['new'].strip()[:70]}")
        if r.get("by"):
            log(f"      by {', '.join(r['by'])}")
    # Leave the copy built as the work tree is, for the next run.
    build(args.build_limit * 10)
    log(f"\nresults: {out_path.relative_to(ROOT)}")
    summary(results)


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
    runner = (
        f"timeout -k 5 {int(args.stage_limit * 4)} {VENV / 'python'} -m pytest -x -q -p no:cacheprovider "
        f"--timeout {args.test_timeout * 12} --timeout-method=thread -o log_cli=false {tests}"
    )
    tools = Path(sys.executable).parent
    # The installed module and server, not the C++ mutants' tree, which a
    # C++ run beside this one may be mutating.
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "KESTREL_BUILD_DIR")}
    env["KESTREL_SERVER"] = str(VENV / "kestrel-server")
    cmd = [tools / "mutmut", "run", "--paths-to-mutate", args.arena_paths, "--tests-dir", "tests/python",
           "--runner", runner, "--no-progress", "--simple-output"]
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
    log(results, shown, sep="\n")
    (WORK / "arena-results.txt").write_text("\n".join([*progress[-1:], results, shown]))


def rerun_arena(args: argparse.Namespace) -> None:
    """The survivors of the last mutmut run again, against the work tree's
    tests as they are now: each applied in turn, tested, then undone."""
    work = WORK / "arena"
    shutil.copytree(ROOT / "tests" / "python", work / "tests" / "python", dirs_exist_ok=True)
    # A run cut short by its time box may have left a mutant in place.
    shutil.copytree(ROOT / "src" / "kestrel_arena", work / "src" / "kestrel_arena", dirs_exist_ok=True)
    with sqlite3.connect(work / ".mutmut-cache") as db:
        ids = [row[0] for row in db.execute("select id from Mutant where status = 'bad_survived' order by id")]
    tools = Path(sys.executable).parent
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "KESTREL_BUILD_DIR")}
    env["KESTREL_SERVER"] = str(VENV / "kestrel-server")
    killed = []
    for mutant in ids:
        subprocess.run([tools / "mutmut", "apply", str(mutant)], cwd=work, check=True, capture_output=True)
        try:
            done = subprocess.run(
                ["timeout", "-k", "5", str(args.stage_limit * 4), VENV / "python", "-m", "pytest", "-x", "-q",
                 "-p", "no:cacheprovider", *args.arena_tests.split()],
                cwd=work, env=env, capture_output=True, text=True,
            )
        finally:
            for path in (ROOT / "src" / "kestrel_arena").glob("*.py"):
                shutil.copy2(path, work / path.relative_to(ROOT))
        verdict = "survived" if done.returncode == 0 else "killed"
        if verdict == "killed":
            killed.append(mutant)
        shown = subprocess.run([tools / "mutmut", "show", str(mutant)], cwd=work, capture_output=True, text=True)
        log(f"{mutant}: {verdict}\n{shown.stdout.strip()}")
    with sqlite3.connect(work / ".mutmut-cache") as db:
        counts = dict(db.execute("select status, count(*) from Mutant group by status").fetchall())
    log(f"\nmutmut's last run: {counts}")
    log(f"arena survivors rerun: {len(killed)} of {len(ids)} now killed")


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--room", default="core,net,python,server",
                   help="comma-separated: core, net, python, server, arena (default: the four C++ rooms)")
    p.add_argument("--files", help="comma-separated C++ files under src/ to mutate instead of whole rooms "
                   "(each judged by its room's tests), e.g. src/net/url.cpp,src/net/session.cpp")
    p.add_argument("--sample", type=int, default=40, help="mutants per C++ room")
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--headers", action="store_true", help="sample the rooms' headers too")
    p.add_argument("--test-timeout", type=int, default=10, help="seconds per test (pytest; ctest gets twice)")
    # ctest's own --timeout does not reach the tests: gtest_discover_tests
    # gives each a TIMEOUT property, which wins. The stage limit does.
    p.add_argument("--stage-limit", type=int, default=60, help="seconds for ctest; pytest gets twice")
    p.add_argument("--build-limit", type=int, default=600)
    p.add_argument("--rerun", help="a results .jsonl: run its mutants again (by default its survivors)")
    p.add_argument("--rerun-status", default="survived")
    p.add_argument("--no-baseline", action="store_true", help="skip the run of the unmutated tests")
    p.add_argument("--out", help="where the results go (.jsonl)")
    p.add_argument("--arena-tests", default="tests/python/test_arena.py")
    p.add_argument("--arena-paths", default="src/kestrel_arena", help="what mutmut mutates")
    p.add_argument("--arena-rerun", action="store_true", help="the last mutmut run's survivors again")
    p.add_argument("--arena-limit", type=int, default=3600, help="seconds for the whole mutmut run")
    args = p.parse_args()
    rooms = args.room.split(",")
    unknown = set(rooms) - set(ROOMS) - {"arena"}
    if unknown:
        p.error(f"unknown room {sorted(unknown)}")
    args.rooms = [r for r in rooms if r != "arena"]
    if args.files:
        args.files = [f.strip().removeprefix("./") for f in args.files.split(",") if f.strip()]
        for f in args.files:
            parts = Path(f).parts
            if len(parts) != 3 or parts[0] != "src" or parts[1] not in ROOMS or Path(f).suffix not in (".cpp", ".hpp"):
                p.error(f"--files takes C++ files of the rooms {sorted(ROOMS)} (src/ROOM/NAME.cpp): {f}")
            if not (ROOT / f).is_file():
                p.error(f"no such file: {f}")
        args.rooms = sorted({Path(f).parts[1] for f in args.files})
    if args.rooms or args.rerun:
        run_cpp(args)
    if "arena" in rooms and args.arena_rerun:
        rerun_arena(args)
    elif "arena" in rooms:
        run_arena(args)


if __name__ == "__main__":
    main()
