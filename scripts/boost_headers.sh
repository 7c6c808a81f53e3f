#!/usr/bin/env bash
# Installs the Boost 1.81 headers with the CMake package files that
# find_package(Boost CONFIG) reads, into PREFIX (default /usr/local), for
# build machines that have no suitable Boost package: cibuildwheel's manylinux
# containers, whose distribution Boost is older than 1.81. Debian 12 has
# libboost1.81-dev instead (scripts/setup.sh), macOS has Homebrew's boost.
# b2 builds only the Boost.System stub, which is enough to install the
# headers and the package files.
set -euo pipefail
prefix=${1:-/usr/local}
version=1.81.0
archive=boost_${version//./_}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
curl -fsSL "https://archives.boost.io/release/$version/source/$archive.tar.bz2" | tar -xj -C "$work"
cd "$work/$archive"
./bootstrap.sh --with-libraries=system >/dev/null
./b2 -d0 --prefix="$prefix" --with-system link=static variant=release install
