#!/usr/bin/env bash
# Sets up a new machine, checks the code's layout (ruff for Python,
# clang-format for C++), builds everything and
# runs every test suite: ctest and pytest (on asyncio's loop, then on
# uvloop), then the sanitizer builds with their test runs and a bounded fuzz
# run (FUZZ_SECONDS per target, default 60). CI runs it so, with no
# arguments.
#
# The set-up only checks when the machine already has everything (about a
# second), so the inner loop is one of:
#   KESTREL_QUICK=1 bash scripts/test.sh   stops after ctest and the two pytest runs
#   bash scripts/test.sh -- PYTEST_ARGS    builds, then only the two pytest runs,
#                                          each given PYTEST_ARGS (a subset:
#                                          `-- -k fork`, `-- tests/python/test_fork.py -x`)
set -euo pipefail
cd "$(dirname "$0")/.."
pytest_args=()
if [ $# -gt 0 ]; then
  if [ "$1" != "--" ]; then
    echo "usage: scripts/test.sh [-- PYTEST_ARGS...]" >&2
    exit 2
  fi
  shift
  pytest_args=("$@")
fi
subset=0
[ ${#pytest_args[@]} -gt 0 ] && subset=1
scripts/setup.sh
# Seconds, against minutes for the build: a lint error shows up first.
.venv/bin/ruff check .
git ls-files -z '*.cpp' '*.hpp' | xargs -0 clang-format-16 --dry-run --Werror
scripts/build.sh
if [ "$subset" = 0 ]; then
  .venv/bin/ctest --test-dir build/wheel --output-on-failure -j2
fi
KESTREL_BUILD_DIR="$PWD/build/wheel" .venv/bin/python -m pytest -q "${pytest_args[@]}"
# kestrel must rely on nothing but the event loop's public interface, and a
# second implementation of it shows whether it does. The quick run keeps this
# run: a bridge change that breaks it should not wait for CI to be found.
# test_examples.py (mypy and the example programs as users run them) and
# test_arena*.py (bots in processes of their own) run outside this process's
# loop, which the switch does not reach, and test_sprt.py runs no loop, so
# they run once.
status=0
KESTREL_BUILD_DIR="$PWD/build/wheel" KESTREL_TEST_LOOP=uvloop .venv/bin/python -m pytest -q \
  --ignore tests/python/test_examples.py --ignore-glob 'tests/python/test_arena*.py' \
  --ignore tests/python/test_sprt.py "${pytest_args[@]}" || status=$?
# A subset may lie wholly in the files the uvloop run leaves out (pytest's 5:
# nothing collected).
if [ "$status" -ne 0 ] && ! { [ "$subset" = 1 ] && [ "$status" = 5 ]; }; then
  exit "$status"
fi
if [ "${KESTREL_QUICK:-0}" = 1 ] || [ "$subset" = 1 ]; then
  exit 0
fi
# The other supported Pythons: a release wheel each, installed alone into a
# new venv as a user would, then the whole suite against it.
bash scripts/matrix.sh
# Clang on libstdc++ and libc++, Boost 1.85, and the source distribution.
scripts/toolchains.sh
# The C++ side cross-built for Windows and run under wine, with games played
# across the two systems.
scripts/windows.sh
scripts/sanitize.sh
FUZZ_SECONDS=${FUZZ_SECONDS:-60} scripts/fuzz.sh
