# Sourced by the scripts that run a kestrel-server in the background and need
# the address it announces (scripts/demo.sh, wheel_smoke.sh, toolchains.sh,
# windows.sh):
#
#   source scripts/serve.sh
#   serve_start LOG COMMAND...   # COMMAND runs a kestrel-server with --port 0
#   ... "$serve_url" (and "$serve_web" when COMMAND has --web) ...
#   serve_stop                   # SIGTERM; returns the server's exit status
#
# serve_start writes the server's stdout to LOG.out and stderr to LOG.err,
# sets serve_pid, and returns once the listening line (and with --web the
# spectator line) is out; if the server ends first or says nothing for 60 s,
# it prints what the server wrote on stderr, stops it and returns 1. Carriage
# returns (a Windows server under wine) are dropped from what it reads.

serve_pid=""
serve_url=""
serve_web=""

serve_start() {
  local log=$1
  shift
  local want_web=0
  [[ " $* " == *" --web "* ]] && want_web=1
  # Created here: the background server opens them only once it has
  # started, and the loop below may read them before that.
  : >"$log.out"
  : >"$log.err"
  "$@" >"$log.out" 2>"$log.err" &
  serve_pid=$!
  serve_url=""
  serve_web=""
  for _ in $(seq 600); do
    serve_url=$(tr -d '\r' <"$log.out" | sed -n 's/.*kestrel-server listening on \([^[:space:]]*\).*/\1/p')
    serve_web=$(tr -d '\r' <"$log.out" | sed -n 's/.*kestrel-server spectators on \([^[:space:]]*\).*/\1/p')
    if [ -n "$serve_url" ] && { [ "$want_web" = 0 ] || [ -n "$serve_web" ]; }; then
      return 0
    fi
    kill -0 "$serve_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "kestrel-server did not start ($*):" >&2
  tr -d '\r' <"$log.err" >&2
  serve_stop || true
  return 1
}

serve_stop() {
  [ -n "$serve_pid" ] || return 0
  local status=0
  kill -TERM "$serve_pid" 2>/dev/null || true
  wait "$serve_pid" || status=$?
  serve_pid=""
  return "$status"
}
