#!/usr/bin/env bash
# Builds the connection and server application tests under ThreadSanitizer into
# build-tsan/ and runs them there (labels connection and server_app). Extra
# arguments go to ctest, e.g. ./scripts/tsan.sh -R Shutdown.
# UDT4 itself is not instrumented; tests/connection/tsan.supp lists what is
# suppressed inside it and why.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
./scripts/build.sh build-tsan -DUDTBENCH_SANITIZE=thread -- --target connection_tests server_app_tests
cd build-tsan
export QT_QPA_PLATFORM=offscreen
export TSAN_OPTIONS="suppressions=$repo/tests/connection/tsan.supp halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
ctest -L 'connection|server_app' --output-on-failure --timeout 300 "$@"
