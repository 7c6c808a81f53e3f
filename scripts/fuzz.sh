#!/usr/bin/env bash
# Coverage-guided fuzzing (libFuzzer, with ASan and UBSan) of the code that
# parses bytes from outside: the wire decoders, the URL parser, the
# handshake-response checks and the read half (tests/fuzz).
#   scripts/fuzz.sh           build, then fuzz each target for FUZZ_SECONDS
#                             (default 60) on a copy of its seeds
#   scripts/fuzz.sh regress   build, then run each target once over its seeds
#                             and past findings (tests/fuzz/regressions)
#   scripts/fuzz.sh coverage  build again with llvm-cov instrumentation (in
#                             <build>/coverage) and report, per target, the
#                             line and branch coverage of the functions it is
#                             there to reach, by its seeds, past findings and
#                             the last fuzz run's corpus
# Builds with clang++-16 (FUZZ_CXX overrides; clang 14 lacks
# std::source_location, clang 15 parenthesised aggregate initialisation) into
# FUZZ_BUILD_DIR (default build/fuzz); JOBS sets the build parallelism
# (default 2). Generated corpora, logs and findings
# stay in the build folder: <build>/run/<target>, <build>/logs/<target>.log,
# <build>/artifacts/<target>/. Fails when any target crashes, leaks, hangs
# or breaks one of its properties, or when a target that plays against a
# loopback peer cannot connect to it for seconds on end (named as a failure
# of the harness's set-up, not as a finding).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
mode=${1:-fuzz}
case $mode in
  fuzz | regress | coverage) ;;
  *) echo "fuzz: unknown mode '$mode' (fuzz, regress, coverage)" >&2; exit 2 ;;
esac
seconds=${FUZZ_SECONDS:-60}
build=${FUZZ_BUILD_DIR:-build/fuzz}
[[ $build = /* ]] || build=$root/$build
jobs=${JOBS:-2}
cxx=${FUZZ_CXX:-clang++-16}
fuzz_dir=$root/tests/fuzz

venv=$root/.venv/bin
if [ ! -x "$venv/cmake" ] || [ ! -x "$venv/ninja" ]; then
  echo "fuzz: run scripts/setup.sh first (cmake, ninja)" >&2
  exit 2
fi
export PATH="$venv:$PATH"

# libclang-rt-16-dev holds libFuzzer and the sanitizer runtimes.
apt_packages=(clang-16 libclang-rt-16-dev)
missing=()
for p in "${apt_packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ] && [ "$cxx" = clang++-16 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "fuzz: missing ${missing[*]}; as root: apt-get install ${missing[*]}" >&2
    exit 2
  fi
  apt-get update -q
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
fi

configure_and_build() {
  local dir=$1
  shift
  echo "== fuzz: build in $dir"
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER="$cxx" \
    -DKESTREL_TESTS=OFF -DKESTREL_PYTHON=OFF -DKESTREL_FUZZ=ON -DKESTREL_WERROR=ON "$@" >/dev/null
  nice cmake --build "$dir" -j"$jobs" --target fuzz
  # The targets are listed once, in tests/fuzz/CMakeLists.txt.
  mapfile -t targets <"$dir/tests/fuzz/targets.txt"
  local t
  for t in "${targets[@]}"; do
    if [ ! -d "$fuzz_dir/corpus/$t" ]; then
      echo "fuzz: $t has no seeds in tests/fuzz/corpus/$t" >&2
      exit 2
    fi
  done
}

if [ "$mode" = coverage ]; then
  cov_build=$build/coverage
  configure_and_build "$cov_build" -DKESTREL_FUZZ_COVERAGE=ON
  llvm_bin=$(dirname "$(readlink -f "$(command -v "$cxx")")")  # llvm-cov of the same release
  sources=("$root"/src/core/wire.cpp "$root"/src/core/messages.cpp "$root"/src/core/text_checks.cpp \
    "$root"/src/net/{url,handshake,transport_error,connection,client_socket,opening}.cpp \
    "$root"/src/net/{client_socket,connection_state}.hpp)
  # The functions each target is there to reach.
  join() { local IFS='|'; echo "$*"; }
  declare -A reach=(
    [wire_decode]='kestrel::wire::'
    [url_parse]=$(join parse_ws_url choose_port parse_uri path_and_query is_utf8 utf8_sequence_length \
      authority_end '_error\(' ascii_iequals 'is_[a-z_]*char')
    [handshake_response]=$(join check_handshake_response expected_accept status_text first_header has_token \
      describe_error open_connection handshake to_handshake_response RequestShaper async_handshake_or_close \
      WatchedRead observe)
    [read_half]=$(join ReadHalf:: WriteHalf:: read_step start_read limit_for_next_frame ConnectionState:: \
      HalvesLink 'split\(' teardown)
  )
  for t in "${targets[@]}"; do
    if [ -z "${reach[$t]:-}" ]; then
      echo "fuzz: no functions to report for $t: add it to reach in scripts/fuzz.sh" >&2
      exit 2
    fi
  done
  for t in "${targets[@]}"; do
    bin=$cov_build/tests/fuzz/fuzz_$t
    profiles=$cov_build/profiles/$t
    rm -rf "$profiles" && mkdir -p "$profiles"
    inputs=("$fuzz_dir/corpus/$t")
    for dir in "$fuzz_dir/regressions/$t" "$build/run/$t"; do
      [ -d "$dir" ] && inputs+=("$dir")
    done
    # -runs=0: every input once, no mutation, nothing written to the folders.
    LLVM_PROFILE_FILE="$profiles/%p.profraw" nice "$bin" -runs=0 -rss_limit_mb=2048 -timeout=10 "${inputs[@]}" \
      >"$profiles/run.log" 2>&1
    "$llvm_bin/llvm-profdata" merge -sparse "$profiles"/*.profraw -o "$profiles/merged.profdata"
    echo "fuzz: $t, $(grep -oE 'corp: [0-9]+' "$profiles/run.log" | tail -n 1 | cut -d' ' -f2) inputs:"
    # Per function: ... Lines Missed Cover Branches Missed Cover (the last six columns).
    "$llvm_bin/llvm-cov" report -show-functions -Xdemangler=c++filt "$bin" \
      -instr-profile="$profiles/merged.profdata" "${sources[@]}" |
      awk -v re="${reach[$t]}" '$0 ~ re && $NF ~ /%$/ {
          n++; l += $(NF-5); lm += $(NF-4); b += $(NF-2); bm += $(NF-1)
        }
        END {
          printf "    %d functions, lines %d/%d (%.1f%%), branches %d/%d (%.1f%%)\n",
            n, l - lm, l, l ? 100 * (l - lm) / l : 0, b - bm, b, b ? 100 * (b - bm) / b : 0
        }'
  done
  exit 0
fi

configure_and_build "$build"

mkdir -p "$build/logs"
failed=()
passed=0
for t in "${targets[@]}"; do
  bin=$build/tests/fuzz/fuzz_$t
  log=$build/logs/$t.log
  artifacts=$build/artifacts/$t
  mkdir -p "$artifacts"
  inputs=("$fuzz_dir/corpus/$t")
  [ -d "$fuzz_dir/regressions/$t" ] && inputs+=("$fuzz_dir/regressions/$t")
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
    cov=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1 |
      grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+' || true)
    summary="${execs:-?} executions, ${cov:-no final stats}"
  fi
  if [ "$rc" -eq 0 ]; then
    echo "fuzz: $t: ok ($summary)"
    passed=$((passed + 1))
  else
    echo "fuzz: $t: FAILED, exit $rc ($summary); log $log, inputs in $artifacts"
    grep -E 'fuzz property broken|fuzz harness set-up failed|ERROR:|SUMMARY:|runtime error' "$log" | head -n 20 || true
    failed+=("$t")
  fi
done

echo "fuzz: ${passed} passed, ${#failed[@]} failed"
[ ${#failed[@]} -eq 0 ]
