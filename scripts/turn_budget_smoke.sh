#!/usr/bin/env bash
# Keeps the turn stamps from rotting: builds the module and session_client
# with KESTREL_TURN_STAMPS=ON (in build/stamps unless BUILD_DIR says
# otherwise) and runs a short bench/turn_budget.py, which fails when no turn
# was stamped. A benchmark run, not a test: it checks nothing about timing.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build/stamps}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DKESTREL_PYTHON=ON -DKESTREL_TESTS=ON \
    -DPython_EXECUTABLE="$PWD/.venv/bin/python" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake -S . -B "$build" -DKESTREL_TURN_STAMPS=ON >/dev/null
cmake --build "$build" --target kestrel session_client
.venv/bin/python bench/turn_budget.py --build-dir "$build" --games 20 --rounds 1
