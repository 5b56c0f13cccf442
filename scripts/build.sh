#!/usr/bin/env bash
# Configures (once) and builds into the folder given, default build/.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}; shift || true
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
fi
cmake --build "$dir" -j2
