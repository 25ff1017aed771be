#!/usr/bin/env bash
# Installs what the tests need, then runs every test: the C++ suite on a release build; the
# Python suite against the binary wheel installed into a fresh virtual environment (oneTBB and
# OpenBLAS from PyPI); then the C++ and Python suites under AddressSanitizer +
# UndefinedBehaviorSanitizer, built against the system libraries.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

bash scripts/setup.sh

echo "== C++ tests (release) [${SECONDS}s]"
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DORLIM_BUILD_PYTHON=OFF >/dev/null
cmake --build build/release -j "$jobs"
ctest --test-dir build/release --output-on-failure -j "$jobs"

echo "== Python tests (the wheel, installed into a fresh virtual environment) [${SECONDS}s]"
rm -rf build/wheelhouse build/wheel-venv
bash scripts/wheel.sh build/wheelhouse
# No system site packages: the wheel's declared dependencies and extras are all it gets.
python3 -m venv build/wheel-venv
wheel=$(ls build/wheelhouse/orlim-*.whl)
build/wheel-venv/bin/python -m pip install -q "$wheel[test,umap]"
(cd tests/python &&
  env -u LD_LIBRARY_PATH -u PYTHONPATH ORLIM_WHEEL_TEST=1 \
  ../../build/wheel-venv/bin/python -m pytest -q -p no:cacheprovider .)

echo "== C++ and Python tests under ASan + UBSan [${SECONDS}s]"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORLIM_SANITIZE=ON \
  -DORLIM_BUILD_PYTHON=ON -DORLIM_BUILD_TESTS=ON >/dev/null
cmake --build build/asan -j "$jobs"
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build/asan --output-on-failure -j "$jobs"
# The interpreter itself is not instrumented: the sanitizer runtimes are preloaded so they come
# first, and leak detection stays off for the interpreter's own allocations. The orlim package
# is taken from the source tree, on top of the instrumented _orlim.
(cd tests/python &&
  LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)" \
  PYTHONPATH="$PWD/../../build/asan/bindings:$PWD/../../build/asan/python:$PWD/../../python" \
  ORLIM_SANITIZED=1 \
  python3 -m pytest -q -p no:cacheprovider .)
