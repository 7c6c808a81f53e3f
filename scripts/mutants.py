"""Mutation runs for scripts/mutants.sh: plants one fault at a time in a
private copy of the C++ sources, rebuilds that copy incrementally and runs
the fast tests of the mutated room; the arena's Python goes to mutmut.

Runs under the tool venv (build/mutants/venv, which has universalmutator);
the tests run under the project's .venv like every other test run."""

from __future__ import annotations

import argparse
from pathlib import Path

from mutating import ROOMS, ROOT
from mutating.arena import rerun_arena, run_arena
from mutating.cpp import run_cpp
from mutating.kit import rerun_kit, resume_kit, run_kit


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--room", default="core,net,python,server",
                   help="comma-separated: core, net, python, server, arena, kit (default: the four C++ rooms)")
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
    p.add_argument("--arena-rerun", action="store_true",
                   help="the mutants the last mutmut run did not kill, again (verdicts kept)")
    p.add_argument("--arena-limit", type=int, default=3600, help="seconds for the whole mutmut run")
    p.add_argument("--kit-tests", default="tests/python/test_kit.py")
    p.add_argument("--kit-paths", default="src/kestrel_testing", help="what mutmut mutates of the testing kit")
    p.add_argument("--kit-resume", action="store_true", help="go on with the last kit run's unjudged mutants")
    p.add_argument("--kit-rerun", action="store_true", help="the last kit run's survivors again")
    p.add_argument("--kit-work", default="kit", help="the copy's folder under build/mutants: runs of "
                   "different --kit-paths in folders of their own can go on side by side")
    p.add_argument("--kit-limit", type=int, default=3 * 3600, help="seconds for the whole kit run")
    args = p.parse_args()
    rooms = args.room.split(",")
    unknown = set(rooms) - set(ROOMS) - {"arena", "kit"}
    if unknown:
        p.error(f"unknown room {sorted(unknown)}")
    args.rooms = [r for r in rooms if r not in ("arena", "kit")]
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
    if "kit" in rooms and args.kit_rerun:
        rerun_kit(args)
    elif "kit" in rooms and args.kit_resume:
        resume_kit(args)
    elif "kit" in rooms:
        run_kit(args)


if __name__ == "__main__":
    main()
