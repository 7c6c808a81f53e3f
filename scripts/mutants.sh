#!/usr/bin/env bash
# Mutation testing: how many planted faults the tests catch.
#   scripts/mutants.sh [--room core,net,python,server,arena,kit] [--sample N] [--seed S]
#   scripts/mutants.sh --files src/net/url.cpp,src/net/session.cpp [--sample N]
#   scripts/mutants.sh --rerun build/mutants/results-....jsonl   # its survivors again
# C++ mutants (universalmutator's C++ rules) are planted one at a time in a
# private copy of the sources (build/mutants/src, so the work tree is never
# touched), rebuilt incrementally in build/mutants/tree and judged by ctest
# and the pytest files of the mutated room, each run under a short per-test
# timeout and a `timeout` on the whole. The arena's Python goes to mutmut,
# and so does the testing kit's (every mutant, judged by tests/python/test_kit.py
# against the copy's own source: scripts/mutants.sh --room kit).
# Needs scripts/setup.sh and scripts/build.sh first (the project's .venv).
# Not part of CI: each mutant costs a rebuild and a test run.
set -euo pipefail
cd "$(dirname "$0")/.."
tools=build/mutants/venv
if [ ! -x "$tools/bin/mutate" ] || [ ! -x "$tools/bin/mutmut" ]; then
  "${PYTHON:-python3}" -m venv "$tools"
  # mutmut 2 runs a command per mutant, which the arena's tests need: they
  # run the tournament in processes of their own.
  "$tools/bin/python" -m pip install -q universalmutator 'mutmut<3'
fi
if ! .venv/bin/python -c 'import pytest_timeout' 2>/dev/null; then
  .venv/bin/python -m pip install -q pytest-timeout
fi
exec nice "$tools/bin/python" scripts/mutants.py "$@"
