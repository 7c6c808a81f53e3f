#!/usr/bin/env bash
# What a user does with a wheel, checked: in a new virtual environment that
# holds nothing but the wheel (no compiler, no Boost, no build step), import
# kestrel, start the wheel's own `kestrel-server --house-bot` on a free port,
# play two example bots against it, and type-check the examples with
# `mypy --strict` against the stub the wheel installed.
#
#   scripts/wheel_smoke.sh WHEEL PYTHON   # makes the venv from PYTHON, installs WHEEL alone
#   scripts/wheel_smoke.sh --env PYTHON   # checks PYTHON's environment, where the wheel is
#                                         # already installed (cibuildwheel's test step)
#
# scripts/wheels.sh and the [tool.cibuildwheel] table in pyproject.toml both
# run it, so the published test is the one run here.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
server_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; fi
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
scripts=$("$python" -c 'import sysconfig; print(sysconfig.get_path("scripts"))')
server="$scripts/kestrel-server"
[ -x "$server.exe" ] && server="$server.exe"
if [ ! -x "$server" ]; then
  say "the wheel installed no kestrel-server in $scripts"
  exit 1
fi

# The background child makes its own redirections, maybe only after the
# first read below: the files must exist before it starts.
: >"$work/server.out"
: >"$work/server.err"
"$server" --house-bot --port 0 >"$work/server.out" 2>"$work/server.err" &
server_pid=$!
url=""
for _ in $(seq 100); do
  url=$(sed -n 's/^kestrel-server listening on //p' "$work/server.out")
  [ -n "$url" ] && break
  kill -0 "$server_pid" 2>/dev/null || break
  sleep 0.1
done
if [ -z "$url" ]; then
  say "kestrel-server did not start listening"
  cat "$work/server.out" "$work/server.err" >&2
  exit 1
fi
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

kill -TERM "$server_pid"
status=0
wait "$server_pid" || status=$?
server_pid=""
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
