#!/usr/bin/env bash
# The C++ side built again by toolchains other than the main build's (GCC 12,
# libstdc++, Boost 1.81), so that a user's compiler or Boost is not the first
# to meet a portability slip:
#   clang-libstdcxx  Clang 19 with GCC's standard library, Debian's Boost 1.81
#   clang-libcxx     Clang 19 with LLVM's libc++ (what macOS has), against
#                    Boost 1.85's headers (PyPI's boost-headers, a download
#                    for this check only, into build/toolchains)
# Each builds the C++ tests, their programs and kestrel-server with warnings
# as errors (no Python module), runs ctest, and plays one game:
# session_client against kestrel-server --house-bot.
# Then the source distribution: `python -m build --sdist`, installed with pip
# into a new venv on the system's Boost, which plays a game with its own
# kestrel-server.
#   scripts/toolchains.sh [clang-libstdcxx] [clang-libcxx] [sdist]   # default: all
# Part of scripts/test.sh (so of CI); runs after scripts/setup.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
source scripts/serve.sh
steps=("$@")
[ ${#steps[@]} -gt 0 ] || steps=(clang-libstdcxx clang-libcxx sdist)
out=build/toolchains
venv=$root/.venv/bin
[ -x "$venv/cmake" ] || { echo "toolchains: run scripts/setup.sh first" >&2; exit 2; }
export PATH="$venv:$PATH" # cmake, ctest and ninja from the venv

# Clang 19, not 16 (which the fuzzing keeps for libFuzzer): Clang 16's
# coroutine lowering can touch a frame after it has suspended, racing the
# thread that resumes it; tests/cpp/programs/runtime_probe's `exit` case
# crashed in a coroutine resume in 2 to 4 runs in 100 built by Clang 16, never
# built by GCC 12 or Clang 19.
scripts/apt_install.sh clang-19 libc++-19-dev libc++abi-19-dev

fail() {
  echo "toolchains: FAILED: $*" >&2
  exit 1
}
timings=()

boost_185() {
  local include=$out/boost-1.85/boost_headers/include
  if [ ! -f "$include/boost/version.hpp" ]; then
    mkdir -p "$out/download"
    "$venv/python" -m pip download -q --no-deps boost-headers==1.85.0.post1 -d "$out/download"
    rm -rf "$out/boost-1.85"
    "$venv/python" -m zipfile -e "$out"/download/boost_headers-1.85.0*.whl "$out/boost-1.85"
  fi
  grep -q 'BOOST_LIB_VERSION "1_85"' "$include/boost/version.hpp" || fail "not Boost 1.85 in $include"
  echo "$root/$include"
}

# Starts kestrel-server --house-bot from build folder $1, plays session_client
# against it, and checks both ends saw a finished game.
play_one_game() {
  local dir=$1 log=$1/game
  serve_start "$log.server" "$dir/kestrel-server" --house-bot --port 0 || fail "$dir: kestrel-server did not start"
  local url=$serve_url
  local status=0
  timeout 120 "$dir/session_client" "$url" >"$log.client.out" 2>&1 || status=$?
  serve_stop || true
  [ "$status" -eq 0 ] || fail "$dir: session_client exited with $status: $(cat "$log.client.out")"
  grep -Eqx "Tie|Player[12] wins!" "$log.client.out" || fail "$dir: no result: $(cat "$log.client.out")"
  grep -q "^game " "$log.server.err" || fail "$dir: the server logged no game"
  echo "toolchains: game in $dir: $(tail -n 1 "$log.client.out"); server: $(grep '^game ' "$log.server.err")"
}

cpp_build() {
  local name=$1
  shift
  local dir=$out/$name started=$SECONDS
  echo "== toolchains: $name"
  # GoogleTest's project enables C too: the same compiler for both.
  # -Wno-deprecated quiets only GoogleTest's CMake files.
  cmake -S . -B "$dir" -G Ninja -Wno-deprecated -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++-19 -DCMAKE_C_COMPILER=clang-19 \
    -DKESTREL_PYTHON=OFF -DKESTREL_WERROR=ON "$@" >/dev/null
  nice cmake --build "$dir" -j2 --target kestrel_tests session_client runtime_probe kestrel-server
  nice ctest --test-dir "$dir" --output-on-failure -j2
  play_one_game "$dir"
  timings+=("$name: $((SECONDS - started)) s")
}

sdist_install() {
  local started=$SECONDS dir=$out/sdist
  echo "== toolchains: sdist"
  rm -rf "$dir" && mkdir -p "$dir"
  "$venv/python" -m build --sdist --outdir "$dir" . >"$dir/build.log" 2>&1 || fail "sdist: $(tail -n 20 "$dir/build.log")"
  local sdist
  sdist=$(ls "$dir"/kestrel-*.tar.gz)
  echo "toolchains: $(basename "$sdist"), $(du -h --apparent-size "$sdist" | cut -f1), $(tar -tzf "$sdist" | grep -vc '/$') files"
  "$venv/python" -m venv "$dir/venv"
  # An ordinary user's install: build isolation, the build tools from the
  # index, the system's compiler and Boost; only the extra flags are ours.
  CMAKE_BUILD_PARALLEL_LEVEL=2 nice "$dir/venv/bin/python" -m pip install -q "$sdist"
  (cd "$dir" && "$root/scripts/wheel_smoke.sh" --env "$root/$dir/venv/bin/python")
  timings+=("sdist: $((SECONDS - started)) s")
}

for step in "${steps[@]}"; do
  case $step in
    clang-libstdcxx) cpp_build clang-libstdcxx ;;
    clang-libcxx)
      # GoogleTest from source: Debian's libgtest is built for libstdc++.
      cpp_build clang-libcxx -DCMAKE_CXX_FLAGS=-stdlib=libc++ \
        -DCMAKE_EXE_LINKER_FLAGS="-stdlib=libc++ -lc++abi" \
        -DKESTREL_BOOST_INCLUDE_DIR="$(boost_185)" -DKESTREL_GTEST_SOURCE_DIR=/usr/src/googletest
      ;;
    sdist) sdist_install ;;
    *) echo "toolchains: unknown step '$step' (clang-libstdcxx, clang-libcxx, sdist)" >&2; exit 2 ;;
  esac
done
echo "toolchains: all passed (${timings[*]})"
