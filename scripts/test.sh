#!/usr/bin/env bash
# Sets up a new machine, builds everything and runs every test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
.venv/bin/ctest --test-dir build/wheel --output-on-failure -j2
KESTREL_BUILD_DIR="$PWD/build/wheel" .venv/bin/python -m pytest -q
