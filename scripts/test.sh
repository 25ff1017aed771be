#!/usr/bin/env bash
# Installs everything, then runs every test: the C++ suite and the Python suite on a release
# build, then both again under AddressSanitizer + UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

bash scripts/install.sh

echo "== C++ tests (release)"
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DORLIM_BUILD_PYTHON=OFF >/dev/null
cmake --build build/release -j "$jobs"
ctest --test-dir build/release --output-on-failure -j "$jobs"

echo "== Python tests (installed module)"
(cd tests/python && python3 -m pytest -q -p no:cacheprovider .)

echo "== C++ and Python tests under ASan + UBSan"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORLIM_SANITIZE=ON \
  -DORLIM_BUILD_PYTHON=ON -DORLIM_BUILD_TESTS=ON >/dev/null
cmake --build build/asan -j "$jobs"
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build/asan --output-on-failure -j "$jobs"
# The interpreter itself is not instrumented: the sanitizer runtimes are preloaded so they come
# first, and leak detection stays off for the interpreter's own allocations.
(cd tests/python &&
  LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)" \
  PYTHONPATH="$PWD/../../build/asan/bindings" ORLIM_SANITIZED=1 \
  python3 -m pytest -q -p no:cacheprovider .)
