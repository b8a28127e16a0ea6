#!/usr/bin/env bash
# Builds everything with warnings as errors and runs every test.
# --sanitize builds in a separate folder with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
build=${QUORVANE_BUILD_DIR:-build-test}
options=(-DQUORVANE_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo)
if [ "${1:-}" = "--sanitize" ]; then
  build=${QUORVANE_BUILD_DIR:-build-sanitize}
  options=(-DQUORVANE_WERROR=ON -DQUORVANE_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DQUORVANE_BENCHMARKS=OFF)
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
fi
cmake -S . -B "$build" "${options[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" --timeout 300
