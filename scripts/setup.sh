#!/usr/bin/env bash
# Installs what a new machine lacks: the Debian packages the C++ build needs
# and a virtual environment (.venv) with the Python build and test tools.
# On a machine that has it all it only checks, in about a second: each
# Debian package is asked of dpkg, and .venv's installed distributions are
# held against requirements-dev.txt; anything missing or too old is
# installed as on a new machine.
set -euo pipefail
cd "$(dirname "$0")/.."

apt_packages=(libboost1.81-dev libgtest-dev googletest g++ clang-format-16)
apt_packages+=(chromium chromium-driver)  # the spectator page's browser test
scripts/apt_install.sh "${apt_packages[@]}"

python=${PYTHON:-python3}
if [ ! -x .venv/bin/python ]; then
  "$python" -m venv .venv
  .venv/bin/python -m pip install -q --upgrade pip
fi
# packaging comes with scikit-build-core; without it nothing is installed yet.
if ! .venv/bin/python - requirements-dev.txt 2>/dev/null <<'PY'; then
import sys
from importlib.metadata import PackageNotFoundError, version

from packaging.requirements import Requirement

for line in open(sys.argv[1]):
    line = line.split("#", 1)[0].strip()
    if not line:
        continue
    wanted = Requirement(line)
    if wanted.marker is not None and not wanted.marker.evaluate():
        continue
    try:
        have = version(wanted.name)
    except PackageNotFoundError:
        sys.exit(1)
    if not wanted.specifier.contains(have, prereleases=True):
        sys.exit(1)
PY
  .venv/bin/python -m pip install -q -r requirements-dev.txt
fi
scripts/dev_home.sh .venv/bin/python
