#!/usr/bin/env bash
# Builds the Debian package in Release: build-release/udtbench_VERSION_ARCH.deb
# with the three programs, their manual pages, bash completion for
# udtbench-cli, the desktop entry and icon, the copyright file and the
# changelog; dpkg-shlibdeps computes its dependencies. Then lints it (lintian;
# errors fail the build). Installs the packaging tools when they are missing.
#   scripts/package.sh               build and lint
#   scripts/package.sh --no-lintian  build only
# Then: apt install ./build-release/udtbench_*.deb   (apt remove udtbench)
set -euo pipefail
cd "$(dirname "$0")/.."
lint=1
for a in "$@"; do
  case "$a" in
    --no-lintian) lint=0 ;;
    *) echo "usage: scripts/package.sh [--no-lintian]" >&2; exit 2 ;;
  esac
done
# help2man makes the manual pages, dpkg-dev has dpkg-shlibdeps, man-db reads the pages.
./scripts/deps.sh help2man dpkg-dev man-db lintian
# The same configuration as bench/run's, so neither rebuilds the other's work;
# only what the package holds is built.
./scripts/build.sh build-release -DCMAKE_BUILD_TYPE=Release -DUDTBENCH_MAN_PAGES=ON \
  -- --target udtbench_packaged
rm -f build-release/udtbench_*.deb
(cd build-release && cpack -G DEB >/dev/null)
deb=$(ls build-release/udtbench_*.deb)
dpkg-deb --field "$deb"
if [ "$lint" -eq 1 ]; then
  echo "lintian $deb:"
  lintian --fail-on error "$deb" || { echo "lintian found errors in $deb" >&2; exit 1; }
fi
echo "$deb"
