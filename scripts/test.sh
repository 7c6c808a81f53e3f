#!/usr/bin/env bash
# Sets up a new machine, builds everything and runs every test suite: ctest
# and pytest, then the sanitizer builds with their test runs and a bounded
# fuzz run (FUZZ_SECONDS per target, default 60). KESTREL_QUICK=1 stops after
# ctest and pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
.venv/bin/ctest --test-dir build/wheel --output-on-failure -j2
KESTREL_BUILD_DIR="$PWD/build/wheel" .venv/bin/python -m pytest -q
if [ "${KESTREL_QUICK:-0}" = 1 ]; then
  exit 0
fi
scripts/sanitize.sh
FUZZ_SECONDS=${FUZZ_SECONDS:-60} scripts/fuzz.sh
