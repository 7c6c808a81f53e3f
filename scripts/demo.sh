#!/usr/bin/env bash
# Two example bots play one game on a local kestrel-server: examples/first_free.py
# against examples/perfect.py. Shows what each bot prints, the server's line for
# the game and the final board.
#
#   scripts/demo.sh             set up .venv, build and install, then play
#   scripts/demo.sh --no-build  play with what is already installed
#
# PYTHON (default .venv/bin/python) and KESTREL_SERVER (default: the
# kestrel-server beside that Python, else the one on PATH) pick other installs.
# The server also serves its spectator page; WEB_PORT (default: any free
# port) fixes its port.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" != "--no-build" ]; then
  scripts/setup.sh
  scripts/build.sh
fi
python=${PYTHON:-.venv/bin/python}
server=${KESTREL_SERVER:-$(dirname "$python")/kestrel-server}
if [ ! -x "$server" ]; then
  server=$(command -v kestrel-server) || { echo "demo: kestrel-server not found" >&2; exit 1; }
fi

work=$(mktemp -d)
source scripts/serve.sh
cleanup() {
  serve_stop 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Port 0 lets the server pick a free port; it announces it in one line.
serve_start "$work/server" "$server" --port 0 --web "${WEB_PORT:-0}" || exit 1
url=$serve_url
web=$serve_web
echo "server listening on $url"
echo "spectator page: $web"

# Each bot's lines carry its name; both run at once and the server pairs them.
"$python" examples/first_free.py "$url" > >(sed -u 's/^/[first_free] /') 2>&1 &
first_free=$!
"$python" examples/perfect.py "$url" > >(sed -u 's/^/[perfect]    /') 2>&1 &
perfect=$!
wait "$first_free"
wait "$perfect"

# The server logs the game once it has seen the last move.
for _ in $(seq 100); do
  grep -q '^game ' "$work/server.err" && break
  sleep 0.1
done
line=$(grep -m1 '^game ' "$work/server.err") || { echo "demo: no game was logged" >&2; exit 1; }
echo "server: $line"

board=(. . . . . . . . .)
turn=0
for cell in ${line##*; moves }; do
  [ "$cell" = "-" ] && continue
  if [ $((turn % 2)) -eq 0 ]; then board[cell]=X; else board[cell]=O; fi
  turn=$((turn + 1))
done
echo "Final board:"
printf ' %s | %s | %s\n---+---+---\n %s | %s | %s\n---+---+---\n %s | %s | %s\n' "${board[@]}"

serve_stop
