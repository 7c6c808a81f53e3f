#!/usr/bin/env bash
# Makes the development-only helpers (dev/kestrel_dev: shared by the tests,
# the benchmarks and the mutation runner, never shipped) importable in the
# virtual environment of PYTHON, as every venv the scripts make needs them:
# a path file in its site-packages naming this checkout's dev/ folder.
# Rewritten only when it names another folder, so a moved checkout heals on
# the next run.
#   scripts/dev_home.sh PYTHON
set -euo pipefail
python=${1:?usage: scripts/dev_home.sh PYTHON}
dev=$(cd "$(dirname "$0")/../dev" && pwd)
site=$("$python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
if [ "$(cat "$site/kestrel-dev.pth" 2>/dev/null)" != "$dev" ]; then
  echo "$dev" >"$site/kestrel-dev.pth"
fi
