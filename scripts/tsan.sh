#!/usr/bin/env bash
# Builds the tree under ThreadSanitizer into build-tsan/ and runs the connection
# tests there. Extra arguments go to ctest, e.g. ./scripts/tsan.sh -R Shutdown.
# UDT4 itself is not instrumented; tests/connection/tsan.supp says what is
# suppressed inside it and why.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
./scripts/build.sh build-tsan -DUDTBENCH_SANITIZE=thread
cd build-tsan
export TSAN_OPTIONS="suppressions=$repo/tests/connection/tsan.supp halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
ctest -L connection --output-on-failure --timeout 300 "$@"
