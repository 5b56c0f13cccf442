#!/usr/bin/env bash
# Takes the pictures of the README: starts the real bench on a virtual X
# server of 1280 x 800, at the size its window opens with, uses the client page
# as an operator would (connect to its own server, send a message and a file)
# and photographs both pages, the client page once during the transfer.
# Installs xdotool and ImageMagick when they are missing. Usage:
#   scripts/capture-pictures.sh [path/to/udtbench]
set -euo pipefail
cd "$(dirname "$0")/.."
exe=${1:-build/shell/udtbench}
./scripts/deps.sh imagemagick
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1280x800x24" "$0" "$exe"
fi

folder=$(mktemp -d)
sample=$(mktemp -d)
trap 'rm -rf "$sample" "$folder"; kill $pid 2>/dev/null || true' EXIT
size=$((400 * 1024 * 1024))
head -c $((1024 * 1024)) /dev/urandom > "$sample/chunk"
for _ in $(seq 400); do cat "$sample/chunk"; done > "$sample/sample.bin"
rm "$sample/chunk"

"$exe" --folder "$folder" & pid=$!
win=$(xdotool search --sync --name '^测试$' | head -1)
# Waits, at most 30 s, until a command succeeds.
until_true() { for _ in $(seq 300); do "$@" && return 0; sleep 0.1; done; echo "gave up: $*" >&2; return 1; }
received() { stat -c %s "$folder"/.udtbench-incoming/* "$folder/sample.bin" 2>/dev/null | sort -n | tail -1; }
until_true xdotool search --onlyvisible --name '^测试$'
# Places in the window as it opens (760 x 580).
click() { xdotool mousemove --window "$win" "$1" "$2" click --repeat "${3:-1}" 1; sleep 0.3; }

click 113 12                       # the client page's tab
click 70 303 3                     # Edit3: select its text
xdotool type --delay 20 '127.0.0.1'
click 237 303                      # Open
click 454 303 3                    # edtContent
xdotool type --delay 20 'hello, UDT'
click 558 303                      # Send
click 558 340                      # SendFile
until_true xdotool search --onlyvisible --name '^$'
xdotool type --delay 10 "$sample/sample.bin"
xdotool key Return
until_true sh -c "[ \"\$(stat -c %s '$folder'/.udtbench-incoming/* 2>/dev/null | head -1)\" -gt $((size / 2)) ]"
import -window "$win" docs/client-statistics.png
until_true sh -c "[ \"\$(stat -c %s '$folder/sample.bin' 2>/dev/null || echo 0)\" -eq $size ]"
click 38 12                        # back and forth, so the page is drawn afresh
click 113 12
sleep 1
import -window "$win" docs/client-page.png
click 38 12                        # the server page's tab, with its table of transfers
sleep 1
import -window "$win" docs/server-page.png
kill -TERM $pid
wait $pid
