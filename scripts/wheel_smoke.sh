#!/usr/bin/env bash
# What a user does with a wheel, checked: in a new virtual environment that
# holds nothing but the wheel (no compiler, no Boost, no build step), import
# kestrel and every other module the wheel installed, start the wheel's own
# `kestrel-server --house-bot` on a free port, play two example bots against
# it, run the example tests with pytest added, and type-check the examples
# with `mypy --strict` against the stub the wheel installed.
#
#   scripts/wheel_smoke.sh WHEEL PYTHON   # makes the venv from PYTHON, installs WHEEL alone
#   scripts/wheel_smoke.sh --env PYTHON   # checks PYTHON's environment, where the wheel is
#                                         # already installed (cibuildwheel's test step)
#
# scripts/wheels.sh and the [tool.cibuildwheel] table in pyproject.toml both
# run it, so the published test is the one run here.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/serve.sh"
work=$(mktemp -d)
cleanup() {
  serve_stop 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

if [ "${1:-}" = "--env" ]; then
  python=${2:?usage: scripts/wheel_smoke.sh --env PYTHON}
  label="the installed kestrel"
else
  wheel=${1:?usage: scripts/wheel_smoke.sh WHEEL PYTHON | --env PYTHON}
  base=${2:?usage: scripts/wheel_smoke.sh WHEEL PYTHON}
  label=$(basename "$wheel")
  "$base" -m venv "$work/venv"
  python="$work/venv/bin/python"
  # --no-index: the wheel must be enough; nothing may be fetched or built.
  "$python" -m pip install -q --no-index --no-deps "$wheel"
fi
say() { echo "wheel_smoke [$label]: $*"; }

# Outside the source tree, so nothing but the installed module can answer.
cd "$work"
where=$("$python" -c 'import kestrel; print(kestrel.__file__)')
prefix=$("$python" -c 'import sys; print(sys.prefix)')
case "$where" in
  "$prefix"/*) say "imports $where" ;;
  *) say "kestrel came from $where, not from $prefix"; exit 1 ;;
esac
# Every Python module the wheel installed imports with nothing but the wheel
# (and in --env mode what the caller added): no undeclared dependency.
modules=$("$python" - <<'PY'
import importlib
from importlib.metadata import files

names = sorted(
    str(f.with_suffix("")).replace("/", ".").removesuffix(".__init__")
    for f in files("kestrel") or []
    if f.suffix == ".py" and not str(f).startswith("..")
)
for name in names:
    importlib.import_module(name)
print(len(names))
PY
) || { say "a module of the wheel does not import"; exit 1; }
say "all $modules Python modules of the wheel import"
scripts=$("$python" -c 'import sysconfig; print(sysconfig.get_path("scripts"))')
server="$scripts/kestrel-server"
[ -x "$server.exe" ] && server="$server.exe"
if [ ! -x "$server" ]; then
  say "the wheel installed no kestrel-server in $scripts"
  exit 1
fi

if ! serve_start "$work/server" "$server" --house-bot --port 0; then
  say "kestrel-server did not start listening"
  exit 1
fi
url=$serve_url
say "kestrel-server listening on $url"

# Two perfect players always tie; first_free must at least finish its game.
play() {
  local bot=$1 expected=$2 out
  if ! out=$(timeout 60 "$python" "$root/examples/$bot" "$url" 2>&1); then
    say "examples/$bot failed:"
    echo "$out" >&2
    exit 1
  fi
  if ! grep -Eqx "$expected" <<<"$out"; then
    say "examples/$bot ended without a line matching '$expected':"
    echo "$out" >&2
    exit 1
  fi
  say "examples/$bot: $(tail -n 1 <<<"$out")"
}
play perfect.py 'Tie'
play first_free.py 'Tie|Player[12] wins!'

status=0
serve_stop || status=$?
if [ "$status" -ne 0 ]; then
  say "kestrel-server exited with $status on SIGTERM"
  cat "$work/server.err" >&2
  exit 1
fi
say "kestrel-server: $(wc -l <"$work/server.err") games logged, clean stop"

# A copy of the examples, checked from here: the only kestrel stub mypy can
# find is the one in site-packages.
if ! "$python" -c 'import mypy' 2>/dev/null; then
  "$python" -m pip install -q mypy
fi
cp "$root"/examples/*.py "$work/"
mkdir "$work/examples" && mv "$work"/*.py "$work/examples/"
"$python" -m mypy --strict --no-incremental --cache-dir "$work/mypy-cache" "$work/examples"
say "mypy --strict passes on examples/ against the installed stub"

# The example tests, as a bot's author runs them: pytest added to the venv
# (after mypy, which must pass with nothing but itself beside the wheel),
# the tests beside copies of the bots, the kit's fixtures from its entry point.
if ! "$python" -c 'import pytest' 2>/dev/null; then
  "$python" -m pip install -q pytest
fi
mkdir "$work/bots"
cp "$root"/examples/*.py "$work/bots/"
cp -r "$root/examples/tests" "$work/bots/tests"
(cd "$work/bots" && "$python" -m pytest -q -p no:cacheprovider tests) || { say "the example tests failed"; exit 1; }
say "the example tests pass with kestrel_testing from the wheel"
