#!/usr/bin/env bash
# Installs what a new machine lacks: the Debian packages the C++ build needs
# and a virtual environment (.venv) with the Python build and test tools.
set -euo pipefail
cd "$(dirname "$0")/.."

apt_packages=(libboost1.81-dev libgtest-dev googletest g++ clang-format-16)
apt_packages+=(chromium chromium-driver)  # the spectator page's browser test
scripts/apt_install.sh "${apt_packages[@]}"

python=${PYTHON:-python3}
if [ ! -x .venv/bin/python ]; then
  "$python" -m venv .venv
fi
.venv/bin/python -m pip install -q --upgrade pip
.venv/bin/python -m pip install -q -r requirements-dev.txt
