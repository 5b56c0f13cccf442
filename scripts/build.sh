#!/usr/bin/env bash
# Configures and builds into the folder given (default build/); extra arguments
# go to the first configure, e.g. -DUDTBENCH_SANITIZE=thread.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}; shift || true
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
else
  # Picks up subsystem folders that appeared since the last configure.
  cmake -S . -B "$dir" >/dev/null
fi
cmake --build "$dir" -j2
