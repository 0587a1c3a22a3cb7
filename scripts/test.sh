#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
# Usage: scripts/test.sh [build-dir] [extra cmake args...]
# CTEST_PARALLEL_LEVEL, when set, is how many tests run at once (default: one
# per processor).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
build="${1:-build}"
shift || true
jobs="$(nproc)"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build" -j "$jobs"
ctest --test-dir "$build" -j "${CTEST_PARALLEL_LEVEL:-$jobs}" --output-on-failure --timeout 300
