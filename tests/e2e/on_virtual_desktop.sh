#!/bin/sh
# Runs a test program as on a person's desktop: a virtual X screen of 1280 x 800
# with a window manager, whose windows take real mouse and keyboard input.
#   on_virtual_desktop.sh PROGRAM [ARGUMENTS...]
set -eu
if [ -z "${UDTBENCH_ON_DESKTOP:-}" ]; then
  UDTBENCH_ON_DESKTOP=1 exec xvfb-run -a -s "-screen 0 1280x800x24" "$0" "$@"
fi
matchbox-window-manager -use_titlebar yes >/dev/null 2>&1 &
wm=$!
trap 'kill $wm 2>/dev/null || true' EXIT
# The window manager has taken the screen once it names itself on the root window.
i=0
until xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; do
  i=$((i + 1))
  [ $i -le 100 ] || { echo "the window manager did not start" >&2; exit 1; }
  sleep 0.05
done
# Under AddressSanitizer: Xlib's keyboard map (libxkbcommon-x11) hands strndup
# names that are not NUL-terminated, which strict string checks take for an overflow.
if [ -n "${ASAN_OPTIONS:-}" ]; then ASAN_OPTIONS="$ASAN_OPTIONS:strict_string_checks=0"; export ASAN_OPTIONS; fi
QT_QPA_PLATFORM=xcb "$@"
