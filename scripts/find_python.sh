#!/usr/bin/env bash
# Prints the path of the newest CPython MINOR (e.g. 3.12) that pyenv has,
# found by its minor version so a patch upgrade needs no change here.
# A missing interpreter is an error, never a silent skip: a matrix that
# quietly loses a Python would still look green.
#   scripts/find_python.sh 3.12
set -euo pipefail
minor=${1:?usage: scripts/find_python.sh MINOR (e.g. 3.12)}
pyenv=$(command -v pyenv || true)
if [ -z "$pyenv" ] && [ -x "${PYENV_ROOT:-$HOME/.pyenv}/bin/pyenv" ]; then
  pyenv="${PYENV_ROOT:-$HOME/.pyenv}/bin/pyenv"
fi
if [ -z "$pyenv" ]; then
  echo "find_python: pyenv is not installed; CPython $minor is looked up through pyenv" >&2
  exit 1
fi
if ! version=$("$pyenv" latest "$minor" 2>/dev/null) || [ -z "$version" ]; then
  echo "find_python: pyenv has no CPython $minor (install it with: pyenv install $minor)" >&2
  exit 1
fi
python="$("$pyenv" prefix "$version")/bin/python$minor"
# `pyenv latest 3.1` would happily answer 3.13: check what we got.
if [ ! -x "$python" ] || [ "$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')" != "$minor" ]; then
  echo "find_python: pyenv's $version is not a working CPython $minor ($python)" >&2
  exit 1
fi
echo "$python"
