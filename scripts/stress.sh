#!/usr/bin/env bash
# A flake hunt: runs ctest and the whole pytest suite on both loops (as
# scripts/test.sh runs them) N times (default 10) while stress-ng keeps
# every core busy, and every other run, from the first, while the loopback
# interface is under port pressure (scripts/port_pressure.py: thousands of
# connections in TIME_WAIT). A test that fails here but not alone depends on
# timing or on free ports, not on kestrel.
#
#   bash scripts/stress.sh [N]
#
# Builds first (scripts/build.sh), installs stress-ng when missing. Prints
# pass or fail per run and step, then a summary; the logs of failed steps
# stay in build/stress/ (run-<i>-<step>.log). Long (minutes a run), so not
# part of CI.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-10}
case $runs in '' | *[!0-9]*) echo "usage: scripts/stress.sh [N]" >&2; exit 2 ;; esac
scripts/apt_install.sh stress-ng
scripts/setup.sh
scripts/build.sh
logs=build/stress
rm -rf "$logs" && mkdir -p "$logs"

load_pid=""
pressure_pid=""
stop() {
  if [ -n "$1" ]; then
    kill "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
  fi
}
cleanup() {
  stop "$pressure_pid"
  stop "$load_pid"
}
trap cleanup EXIT

# Not niced: the load must take the cores from the tests, not yield them.
stress-ng --cpu "$(nproc)" --quiet >"$logs/stress-ng.log" 2>&1 &
load_pid=$!

build_dir="$PWD/build/wheel"
# The step names and commands; the uvloop run leaves out the files
# scripts/test.sh leaves out of it.
steps=(ctest pytest-asyncio pytest-uvloop)
run_step() {
  case $1 in
    ctest) .venv/bin/ctest --test-dir build/wheel --output-on-failure -j2 ;;
    pytest-asyncio) KESTREL_BUILD_DIR="$build_dir" .venv/bin/python -m pytest -q -p no:cacheprovider ;;
    pytest-uvloop)
      KESTREL_BUILD_DIR="$build_dir" KESTREL_TEST_LOOP=uvloop .venv/bin/python -m pytest -q -p no:cacheprovider \
        --ignore tests/python/test_examples.py --ignore-glob 'tests/python/test_arena*.py' \
        --ignore tests/python/test_sprt.py
      ;;
  esac
}

results=()
failed_runs=0
for i in $(seq "$runs"); do
  pressure=no
  if [ $((i % 2)) = 1 ]; then
    pressure=yes
    # Created first: the background child opens it only once it runs.
    : >"$logs/pressure.log"
    python3 scripts/port_pressure.py >"$logs/pressure.log" 2>&1 &
    pressure_pid=$!
    until grep -q '^port_pressure: made' "$logs/pressure.log"; do
      kill -0 "$pressure_pid" 2>/dev/null || { cat "$logs/pressure.log" >&2; exit 1; }
      sleep 1
    done
    sed -n 's/^port_pressure: /stress: run '"$i"': /p' "$logs/pressure.log"
  fi
  run_failed=()
  started=$SECONDS
  for step in "${steps[@]}"; do
    log=$logs/run-$i-$step.log
    step_started=$SECONDS
    if run_step "$step" >"$log" 2>&1; then
      echo "stress: run $i (port pressure: $pressure): $step passed in $((SECONDS - step_started)) s"
      rm -f "$log"
    else
      echo "stress: run $i (port pressure: $pressure): $step FAILED in $((SECONDS - step_started)) s; log $log"
      grep -E '^(FAILED|ERROR) |[0-9]+% tests passed|The following tests FAILED|^\s+[0-9]+ - ' "$log" | head -n 20 || true
      run_failed+=("$step")
    fi
  done
  if [ "$pressure" = yes ]; then
    echo "stress: run $i: $(grep -c . "$logs/pressure.log") pressure report lines; last: $(tail -n 1 "$logs/pressure.log")"
    stop "$pressure_pid"
    pressure_pid=""
  fi
  if [ ${#run_failed[@]} -eq 0 ]; then
    results+=("run $i (port pressure: $pressure): passed, $((SECONDS - started)) s")
  else
    results+=("run $i (port pressure: $pressure): FAILED (${run_failed[*]}), $((SECONDS - started)) s")
    failed_runs=$((failed_runs + 1))
  fi
done

echo "==== stress: $runs runs under stress-ng --cpu $(nproc), $failed_runs failed"
printf '%s\n' "${results[@]}"
[ "$failed_runs" -eq 0 ]
