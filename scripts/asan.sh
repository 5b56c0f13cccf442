#!/usr/bin/env bash
# Builds the whole tree under AddressSanitizer and UndefinedBehaviorSanitizer
# into build-asan/ and runs every test there. Extra arguments go to ctest.
# UDT4 itself is not instrumented; tests/reliability/lsan.supp says which of its
# leaks are suppressed and why.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
./scripts/build.sh build-asan -DUDTBENCH_SANITIZE=address
cd build-asan
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1 ${ASAN_OPTIONS:-}"
export LSAN_OPTIONS="suppressions=$repo/tests/reliability/lsan.supp:print_suppressions=0 ${LSAN_OPTIONS:-}"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1 ${UBSAN_OPTIONS:-}"
ctest --output-on-failure --timeout 600 -j2 "$@"
