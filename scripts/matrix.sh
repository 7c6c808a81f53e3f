#!/usr/bin/env bash
# The Python matrix: for each CPython minor version given (default 3.12 and
# 3.13), installs its release wheel into a new venv as a user would, adds the
# test tools, and runs the whole pytest suite against the installed module
# and the wheel's kestrel-server. 3.12 and 3.13 get the same cp312-abi3
# wheel, built once; 3.11 its cp311 one. scripts/wheels.sh builds them (and
# plays the smoke game in a venv holding nothing but the wheel).
# The C++ test programs the suite drives (session_client, runtime_probe) do
# not depend on the Python version and come from the main build, so this runs
# after scripts/build.sh (KESTREL_BUILD_DIR, default build/wheel).
#
# 3.11 is left out by default because the main run of scripts/test.sh
# already builds and tests under it in .venv; a 3.11 wheel would cost another
# full build for what only the build type tells apart. `scripts/matrix.sh
# 3.11 3.12 3.13` runs all three.
#
# A wheel that fails to build fails every Python that needed it.
#
# Every Python is tried even when one fails; the run fails if any did, and
# one that pyenv lacks fails it too.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
versions=("$@")
[ ${#versions[@]} -gt 0 ] || versions=(3.12 3.13)
build_dir=${KESTREL_BUILD_DIR:-$root/build/wheel}
if [ ! -x "$build_dir/session_client" ]; then
  echo "matrix: no C++ test programs in $build_dir (run scripts/build.sh first)" >&2
  exit 1
fi
# The test tools, at the versions the main run uses (Selenium drives the
# spectator page's browser test, matplotlib draws the arena's cross-table;
# without pytest-timeout, pytest refuses the suite's timeout setting).
mapfile -t test_tools < <(grep -E '^(pytest|pytest-timeout|websockets|mypy|selenium|matplotlib)([<>=!~ ;[]|$)' requirements-dev.txt)

# The wheel each Python installs: its own below 3.12, the stable-ABI one above.
kind_of() { if [ "${1#3.}" -lt 12 ]; then echo "cp${1/./}"; else echo abi3; fi; }
declare -A wheel_of
started=$SECONDS
for v in "${versions[@]}"; do
  kind=$(kind_of "$v")
  [ -n "${wheel_of[$kind]+set}" ] && continue
  wheel_of[$kind]=""
  echo "==== matrix: the $kind wheel"
  if bash scripts/wheels.sh "$kind"; then
    wheel_of[$kind]=$(ls dist/kestrel-*-"$([ "$kind" = abi3 ] && echo cp312-abi3 || echo "$kind-$kind")"-*manylinux*.whl)
  fi
done
echo "==== matrix: wheels built and checked in $((SECONDS - started)) s"

failed=()
summary=()
for v in "${versions[@]}"; do
  started=$SECONDS
  tag=cp${v/./}
  echo "==== matrix: CPython $v"
  wheel=${wheel_of[$(kind_of "$v")]}
  if [ -z "$wheel" ] || ! python=$(scripts/find_python.sh "$v"); then
    failed+=("$v")
    summary+=("$v: no wheel or no interpreter (see above)")
    continue
  fi
  venv=build/matrix/$tag
  rm -rf "$venv"
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --no-index --no-deps "$wheel"
  "$venv/bin/python" -m pip install -q "${test_tools[@]}"
  scripts/dev_home.sh "$venv/bin/python"
  log=build/matrix/$tag.log
  status=0
  KESTREL_BUILD_DIR="$build_dir" KESTREL_SERVER="$root/$venv/bin/kestrel-server" \
    "$venv/bin/python" -m pytest -q -p no:cacheprovider 2>&1 | tee "$log" || status=$?
  result=$({ grep -E '^(=+ )?[0-9]+ (passed|failed|error).* in [0-9.]+s' "$log" || true; } | tail -n 1 | tr -d '=' | sed 's/^ *//; s/ *$//')
  summary+=("$v ($(basename "$wheel")): ${result:-no pytest summary}; $((SECONDS - started)) s")
  [ "$status" -eq 0 ] || failed+=("$v")
done

echo "==== matrix results"
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
  echo "matrix: failed on CPython ${failed[*]}" >&2
  exit 1
fi
