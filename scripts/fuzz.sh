#!/usr/bin/env bash
# Coverage-guided fuzzing (libFuzzer, with ASan and UBSan) of the code that
# parses bytes from outside: the wire decoders, the URL parser, the
# handshake-response checks and the read half (tests/fuzz).
#   scripts/fuzz.sh           build, then fuzz each target for FUZZ_SECONDS
#                             (default 60) on a copy of its seeds
#   scripts/fuzz.sh regress   build, then run each target once over its seeds
#                             and past findings (tests/fuzz/regressions)
# Builds with clang++-15 (FUZZ_CXX overrides; clang 14 cannot compile
# std::source_location) into FUZZ_BUILD_DIR (default build/fuzz); JOBS sets
# the build parallelism (default 2). Generated corpora, logs and findings
# stay in the build folder: <build>/run/<target>, <build>/logs/<target>.log,
# <build>/artifacts/<target>/. Fails when any target crashes, leaks, hangs
# or breaks one of its properties.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
mode=${1:-fuzz}
case $mode in
  fuzz | regress) ;;
  *) echo "fuzz: unknown mode '$mode' (fuzz, regress)" >&2; exit 2 ;;
esac
seconds=${FUZZ_SECONDS:-60}
build=${FUZZ_BUILD_DIR:-build/fuzz}
[[ $build = /* ]] || build=$root/$build
jobs=${JOBS:-2}
cxx=${FUZZ_CXX:-clang++-15}
fuzz_dir=$root/tests/fuzz
targets=(wire_decode url_parse handshake_response read_half)

venv=$root/.venv/bin
[ -x "$venv/cmake" ] && [ -x "$venv/ninja" ] || { echo "fuzz: run scripts/setup.sh first (cmake, ninja)" >&2; exit 2; }
export PATH="$venv:$PATH"

# clang-15 brings libFuzzer and the sanitizer runtimes (libclang-common-15-dev).
if ! command -v "$cxx" >/dev/null 2>&1; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "fuzz: $cxx is missing; as root: apt-get install clang-15" >&2
    exit 2
  fi
  apt-get update -q
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q clang-15
fi

echo "== fuzz: build in $build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER="$cxx" \
  -DKESTREL_TESTS=OFF -DKESTREL_PYTHON=OFF -DKESTREL_FUZZ=ON >/dev/null
nice cmake --build "$build" -j"$jobs" --target fuzz

mkdir -p "$build/logs"
failed=()
passed=0
for t in "${targets[@]}"; do
  bin=$build/tests/fuzz/fuzz_$t
  log=$build/logs/$t.log
  artifacts=$build/artifacts/$t
  mkdir -p "$artifacts"
  inputs=()
  for dir in "$fuzz_dir/corpus/$t" "$fuzz_dir/regressions/$t"; do
    [ -d "$dir" ] && inputs+=("$dir")
  done
  common=(-rss_limit_mb=2048 -timeout=10 -print_final_stats=1 "-artifact_prefix=$artifacts/")
  rc=0
  if [ "$mode" = regress ]; then
    # Files, not folders: each runs once and nothing is written next to them.
    mapfile -t files < <(find "${inputs[@]}" -type f | sort)
    nice "$bin" "${common[@]}" "${files[@]}" >"$log" 2>&1 || rc=$?
    summary="${#files[@]} inputs"
  else
    work=$build/run/$t
    rm -rf "$work" && mkdir -p "$work"
    for dir in "${inputs[@]}"; do cp -- "$dir"/* "$work"/; done
    dict=()
    [ -f "$fuzz_dir/$t.dict" ] && dict=("-dict=$fuzz_dir/$t.dict")
    nice "$bin" "${common[@]}" "${dict[@]}" -max_total_time="$seconds" "$work" >"$log" 2>&1 || rc=$?
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    cov=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1 | grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+' || true)
    summary="${execs:-?} executions, ${cov:-no final stats}"
  fi
  if [ "$rc" -eq 0 ]; then
    echo "fuzz: $t: ok ($summary)"
    passed=$((passed + 1))
  else
    echo "fuzz: $t: FAILED, exit $rc ($summary); log $log, inputs in $artifacts"
    grep -E 'fuzz property broken|ERROR:|SUMMARY:|runtime error' "$log" | head -n 20 || true
    failed+=("$t")
  fi
done

echo "fuzz: ${passed} passed, ${#failed[@]} failed"
[ ${#failed[@]} -eq 0 ]
