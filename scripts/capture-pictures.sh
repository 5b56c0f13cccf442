#!/usr/bin/env bash
# Takes the pictures of the README: starts the real bench on a virtual X
# server, uses the client page as an operator would (connect to its own server,
# send a message and a file), and photographs each page.
# Needs xvfb-run, xdotool and ImageMagick's import. Usage:
#   scripts/capture-pictures.sh [path/to/udtbench]
set -euo pipefail
cd "$(dirname "$0")/.."
exe=${1:-build/shell/udtbench}
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1280x800x24" "$0" "$exe"
fi

sample=$(mktemp -d)
trap 'rm -rf "$sample" "$(dirname "$exe")/.udtbench-incoming"; rm -f "$(dirname "$exe")/sample.bin"; kill $pid 2>/dev/null || true' EXIT
head -c $((5 * 1024 * 1024)) /dev/urandom > "$sample/sample.bin"

"$exe" & pid=$!
win=$(xdotool search --sync --name '^测试$' | head -1)
sleep 1

# Places inside the window: the page starts below the tab bar.
click() { xdotool mousemove --window "$win" "$1" "$2" click --repeat "${3:-1}" 1; sleep 0.3; }
page_x=2 page_y=25

click 113 12                                      # the client page's tab
click $((page_x + 68)) $((page_y + 356)) 3        # Edit3: select its text
xdotool type --delay 20 '127.0.0.1'
click $((page_x + 235)) $((page_y + 356))         # Open
click $((page_x + 450)) $((page_y + 356)) 3       # edtContent
xdotool type --delay 20 'hello, UDT'
click $((page_x + 556)) $((page_y + 356))         # Send
click $((page_x + 556)) $((page_y + 396))         # SendFile
sleep 1
xdotool type --delay 10 "$sample/sample.bin"
xdotool key Return
for _ in $(seq 1 100); do
  [ "$(stat -c %s "$(dirname "$exe")/sample.bin" 2>/dev/null || echo 0)" -eq $((5 * 1024 * 1024)) ] && break
  sleep 0.1
done
# Back and forth, so the client page is drawn afresh where the dialog was.
click 38 12
click 113 12
sleep 1
import -window "$win" docs/client-page.png
click 38 12                                       # the server page's tab
sleep 1
import -window "$win" docs/server-page.png
kill -TERM $pid
wait $pid
