#!/usr/bin/env bash
# Installs what is missing, builds the plug-in and the test host, and runs the
# test host driving the plug-in library end to end.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target qzai_plugin qz_test_host qz_test_runtime
./build/tools/host/qz_test_host --main-job --plugin ./build/libqzai_plugin.so \
  --runtime ./build/tools/test_runtime/libqz_test_runtime.so "$@"
