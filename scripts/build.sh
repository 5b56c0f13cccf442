#!/usr/bin/env bash
# Configures and builds into the folder given (default build/). Arguments up to
# "--" go to the configure step, every time, so an existing folder takes them
# too (e.g. -DUDTBENCH_SANITIZE=thread); arguments after "--" go to the build
# step (e.g. --target connection_tests). Uses ccache when it is installed.
#   scripts/build.sh [dir] [configure args...] [-- build args...]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}; shift || true
configure=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do configure+=("$1"); shift; done
[ $# -gt 0 ] && shift
if [ ! -f "$dir/CMakeCache.txt" ]; then
  configure=(-G Ninja "${configure[@]}")
fi
if command -v ccache >/dev/null 2>&1; then
  configure=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache "${configure[@]}")
fi
# Also picks up subsystem folders that appeared since the last configure.
cmake -S . -B "$dir" "${configure[@]}" >/dev/null
cmake --build "$dir" -j2 "$@"
