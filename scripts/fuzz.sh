#!/usr/bin/env bash
# Builds the connection handler's libFuzzer harness with clang under
# AddressSanitizer and UndefinedBehaviorSanitizer into build-fuzz/, and runs it
# for the seconds given (default 60) from the seed corpus in fuzz/corpus/handler.
# Inputs it finds go to build-fuzz/corpus; a crash is saved under
# build-fuzz/crashes/ and ends the run with a failure. Extra arguments go to
# libFuzzer, e.g. ./scripts/fuzz.sh 3600 -jobs=2.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}; shift || true
# CXX chooses the compiler only when build-fuzz/ is first configured.
CXX=clang++-14 ./scripts/build.sh build-fuzz -DUDTBENCH_FUZZ=ON -DUDTBENCH_SANITIZE=address \
  -- --target udtbench_handler_fuzzer
mkdir -p build-fuzz/corpus build-fuzz/crashes
export QT_QPA_PLATFORM=offscreen
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1 ${UBSAN_OPTIONS:-}"
# The handler's error lines on the debug output would drown libFuzzer's own.
build-fuzz/fuzz/udtbench_handler_fuzzer build-fuzz/corpus fuzz/corpus/handler fuzz/regressions \
  -max_total_time="$seconds" -max_len=65536 -timeout=120 -print_final_stats=1 \
  -artifact_prefix=build-fuzz/crashes/ "$@" 2> >(grep -v '^Handle Error' >&2)
