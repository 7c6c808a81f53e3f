#!/usr/bin/env bash
# The C++ side on 64-bit Windows: cross-builds kestrel_core, kestrel_net, the
# GoogleTest suite, the test programs and kestrel-server with mingw-w64 into
# build/windows (cmake/mingw-w64.cmake), runs the suite under wine, then
# plays games across the two systems:
#   - kestrel-server.exe under wine against Linux Python clients (one against
#     the house bot, two against each other);
#   - session_client.exe under wine against the Linux kestrel-server (against
#     the house bot, and against a Linux Python client).
# Any wrong result fails the script. The Linux side comes from build/wheel and
# .venv (scripts/build.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

apt_packages=(g++-mingw-w64-x86-64-posix wine64)
scripts/apt_install.sh "${apt_packages[@]}"

if [ ! -x build/wheel/kestrel-server ] || ! .venv/bin/python -c "import kestrel" 2>/dev/null; then
  echo "windows.sh: needs the Linux build first (scripts/build.sh)" >&2
  exit 1
fi

out=build/windows
cmake=.venv/bin/cmake
[ -x "$cmake" ] || cmake=cmake
"$cmake" -S . -B "$out" -Wno-deprecated -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DKESTREL_PYTHON=OFF \
  -DKESTREL_WERROR=ON >/dev/null
"$cmake" --build "$out" -j2 --target kestrel_tests session_client runtime_probe kestrel-server

export WINEPREFIX="$PWD/$out/wineprefix" WINEDEBUG=-all
# The first start creates the prefix (tens of seconds); later ones are quick.
wine cmd /c exit 0 >/dev/null 2>&1 || true
stop_wine() { wineserver -k 2>/dev/null || true; }
trap stop_wine EXIT

fail() {
  echo "windows.sh: FAILED: $*" >&2
  exit 1
}

echo "== GoogleTest under wine (ctest runs each case through the toolchain's wine)"
.venv/bin/ctest --test-dir "$out" --output-on-failure -j2

echo "== runtime_probe under wine"
probe() { env "$@" wine "$out/runtime_probe.exe" threads | tr -d '\r'; }
value() { sed -n "s/^$1=//p" <<<"$2"; }
default_run=$(probe -u TOKIO_WORKER_THREADS)
echo "$default_run"
processors=$(value processors "$default_run")
[ "$(value workers "$default_run")" = "$processors" ] || fail "default worker count is not the processor count"
[ "$(value named "$default_run")" = "$processors" ] || fail "not every worker carries its name"
three=$(probe TOKIO_WORKER_THREADS=3)
echo "$three"
[ "$(value workers "$three")" = 3 ] && [ "$(value named "$three")" = 3 ] || fail "TOKIO_WORKER_THREADS=3"

source scripts/serve.sh
# Starts a server (the command in "$@") with stdout to $1.out and stderr to
# $1.err and sets $url once it listens.
start_server() { serve_start "$@" || fail "server did not start"; url=$serve_url; }
stop_server() { serve_stop || true; }

# The result line a player printed ("Player1 wins!", "Player2 wins!", "Tie").
result_of() { tr -d '\r' <"$1" | grep -E "^(Player[12] wins!|Tie)$" || true; }
bot() { timeout 120 .venv/bin/python examples/first_free.py "$1"; }

logs=$out/plays
mkdir -p "$logs"

echo "== (a1) Linux Python client against kestrel-server.exe --house-bot"
start_server "$logs/a1-server" wine "$out/kestrel-server.exe" --port 0 --house-bot
echo "server.exe: $url"
bot "$url" >"$logs/a1-client.out" 2>&1 || fail "client: $(cat "$logs/a1-client.out")"
cat "$logs/a1-client.out"
seat=$(sed -n 's/^Game started, player id: //p' "$logs/a1-client.out")
result=$(result_of "$logs/a1-client.out")
[ -n "$seat" ] && [ -n "$result" ] || fail "a1: no game"
[ "$result" != "Player$((seat + 1)) wins!" ] || fail "a1: first_free beat the perfect player"
sleep 0.5
stop_server
tr -d '\r' <"$logs/a1-server.err" | grep "^game " || fail "a1: the server logged no game"

echo "== (a2) two Linux Python clients against kestrel-server.exe"
start_server "$logs/a2-server" wine "$out/kestrel-server.exe" --port 0
: >"$logs/a2-first.out"  # read below, maybe before the child opens it
bot "$url" >"$logs/a2-first.out" 2>&1 &
first=$!
# Join order decides the seats; the first waits in the lobby before the second comes.
for _ in $(seq 300); do grep -q "Waiting for game" "$logs/a2-first.out" && break; sleep 0.1; done
bot "$url" >"$logs/a2-second.out" 2>&1 || fail "second client"
wait $first || fail "first client"
cat "$logs/a2-first.out" "$logs/a2-second.out"
# First free against first free: X takes 0, 2, 4, 6 and wins on the diagonal.
[ "$(result_of "$logs/a2-first.out")" = "Player1 wins!" ] || fail "a2: first client's result"
[ "$(result_of "$logs/a2-second.out")" = "Player1 wins!" ] || fail "a2: second client's result"
sleep 0.5
stop_server
tr -d '\r' <"$logs/a2-server.err" | grep "^game " | tee "$logs/a2-games"
grep -q "Player1 wins; moves 0 1 2 3 4 5 6$" "$logs/a2-games" || fail "a2: the server's record"

echo "== (b1) session_client.exe against the Linux kestrel-server --house-bot"
start_server "$logs/b1-server" build/wheel/kestrel-server --port 0 --house-bot
timeout 120 wine "$out/session_client.exe" "$url" --print-workers >"$logs/b1-client.out" 2>"$logs/b1-client.err" ||
  fail "b1: session_client: $(cat "$logs/b1-client.err")"
tr -d '\r' <"$logs/b1-client.out"
tr -d '\r' <"$logs/b1-client.err"
grep -q "^driver: workers $processors" "$logs/b1-client.err" || fail "b1: worker count"
seat=$(tr -d '\r' <"$logs/b1-client.out" | sed -n 's/^Game started, player id: //p')
result=$(result_of "$logs/b1-client.out")
[ -n "$seat" ] && [ -n "$result" ] || fail "b1: no game"
[ "$result" != "Player$((seat + 1)) wins!" ] || fail "b1: first free beat the perfect player"
stop_server
grep "^game " "$logs/b1-server.err" || fail "b1: the server logged no game"

echo "== (b2) session_client.exe against a Linux Python client, Linux kestrel-server"
start_server "$logs/b2-server" build/wheel/kestrel-server --port 0
: >"$logs/b2-windows.out"  # read below, maybe before the child opens it
timeout 120 wine "$out/session_client.exe" "$url" >"$logs/b2-windows.out" 2>&1 &
windows_client=$!
for _ in $(seq 300); do grep -q "Waiting for game" "$logs/b2-windows.out" && break; sleep 0.1; done
bot "$url" >"$logs/b2-linux.out" 2>&1 || fail "b2: Linux client"
wait $windows_client || fail "b2: session_client: $(cat "$logs/b2-windows.out")"
tr -d '\r' <"$logs/b2-windows.out"
cat "$logs/b2-linux.out"
grep -q "^Game started, player id: 0" "$logs/b2-windows.out" || fail "b2: the Windows client joined first"
[ "$(result_of "$logs/b2-windows.out")" = "Player1 wins!" ] || fail "b2: Windows client's result"
[ "$(result_of "$logs/b2-linux.out")" = "Player1 wins!" ] || fail "b2: Linux client's result"
stop_server
grep "^game " "$logs/b2-server.err" | tee "$logs/b2-games"
grep -q "Player1 wins; moves 0 1 2 3 4 5 6$" "$logs/b2-games" || fail "b2: the server's record"

echo "windows.sh: all Windows checks passed"
