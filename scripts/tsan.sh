#!/usr/bin/env bash
# Runs the C++ suite under ThreadSanitizer (not part of CI: about ten times slower).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORLIM_TSAN=ON \
  -DORLIM_BUILD_PYTHON=OFF >/dev/null
cmake --build build/tsan -j "$(nproc)"
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build/tsan --output-on-failure
