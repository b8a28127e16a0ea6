#!/usr/bin/env bash
# Builds the program, makes the bundled sample Mac with dates relative to now, and prints its status.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
build=${QUORVANE_BUILD_DIR:-build}
cmake -S . -B "$build" -DQUORVANE_TESTS=OFF -DQUORVANE_BENCHMARKS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target quorvane-ombrel make-sample-mac >/dev/null
sample="$build/sample-mac"
"$build/examples/make-sample-mac" examples/sample-mac "$sample"
examples/sample-dates/apply.sh "$sample"
QUORVANE_ROOT="$sample" QUORVANE_HOME=/Users/ann "$build/src/app/quorvane-ombrel" --print-status
