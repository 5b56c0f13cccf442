#!/usr/bin/env bash
# Installs the Debian packages udtbench needs, and nothing when they are all there.
#   scripts/deps.sh               what building, running and testing need
#   scripts/deps.sh --sanitizers  also clang and its runtimes (libFuzzer and the
#                                 sanitizers for clang live in libclang-rt-14-dev)
#   scripts/deps.sh PACKAGE...    also these (scripts/package.sh's tools)
set -euo pipefail

packages=(g++ cmake ninja-build pkg-config libudt-dev libgtest-dev qt6-base-dev
          xvfb xauth fonts-droid-fallback fonts-symbola libncurses-dev tmux)
# Real mouse and keyboard input on a virtual screen with a window manager.
packages+=(xdotool matchbox-window-manager x11-utils)
# The transfer hash (libcrypto) and the throughput plot (Qt Charts, whose
# CMake package needs Qt OpenGL's development files).
packages+=(libssl-dev qt6-charts-dev libqt6opengl6-dev)
for a in "$@"; do
  case "$a" in
    --sanitizers) packages+=(clang-14 libclang-rt-14-dev) ;;
    *) packages+=("$a") ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then sudo=(); else sudo=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
