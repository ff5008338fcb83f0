#!/usr/bin/env bash
# For every maintained CPython (the sessions of noxfile.py): the sdist and a
# wheel built with `python -m build`, the wheel repaired to a manylinux tag by
# auditwheel, installed into a fresh environment where no compiler can be
# reached, and the whole suite run against it. Needs nox (`python3 -m pip
# install nox`) and python3.9 ... python3.13 on PATH or under pyenv. Arguments
# go to nox: tools/wheels.sh -s wheel-3.12 -- tests/test_codec.py -x
set -euo pipefail
cd "$(dirname "$0")/.."
if command -v pyenv >/dev/null; then
  # pyenv's shims find a python3.X only in the versions named here; the
  # current one stays first, so that python3 is still what it was.
  PYENV_VERSION="$(pyenv version-name):$(pyenv versions --bare | paste -sd: -)"
  export PYENV_VERSION
fi
export CMAKE_BUILD_PARALLEL_LEVEL=${ZUL_MEW_JOBS:-2}
exec python3 -m nox --noxfile noxfile.py "$@"
