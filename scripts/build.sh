#!/usr/bin/env bash
# Builds and installs the package into .venv with the C++ tests switched on,
# keeping the CMake tree in build/wheel so ctest and the Python tests can use
# the same binaries. RelWithDebInfo and unstripped, unlike a user's install:
# a failing test should have a usable backtrace. Warnings are errors here,
# unlike in a user's build.
set -euo pipefail
cd "$(dirname "$0")/.."
.venv/bin/python -m pip install -q --no-build-isolation \
  -Cbuild-dir=build/wheel \
  -Ccmake.build-type=RelWithDebInfo \
  -Cinstall.strip=false \
  -Ccmake.define.KESTREL_TESTS=ON \
  -Ccmake.define.KESTREL_WERROR=ON \
  .
