#!/usr/bin/env bash
# Installs what is missing, builds the plug-in and the test host, and runs the
# test host driving the plug-in library end to end.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target qzai_plugin qz_test_host qz_test_runtime qz_peer
job() {
  ./build/tools/host/qz_test_host --main-job --plugin ./build/libqzai_plugin.so \
    --runtime ./build/tools/test_runtime/libqz_test_runtime.so --peer ./build/tools/peers/qz_peer "$@"
}
if [ $# -gt 0 ]; then
  job "$@"
  exit
fi
# Without options: the plain run, then the frame rules, dumping detection
# across a restart, a two-stage pipeline, and external processors (an image
# pre-processor over shared memory, an objects post-processor over TCP); the
# exit code is the first failure's.
status=0
for run in "" "--scenario rules" "--scenario dumping" "--pipeline two-stage" \
           "--external-processor flip" "--external-processor drop --processor-transport tcp"; do
  echo
  echo "=== main job${run:+: $run} ==="
  # shellcheck disable=SC2086  # each run is a list of options
  job $run || { rc=$?; [ "$status" -ne 0 ] || status=$rc; }
done
exit "$status"
