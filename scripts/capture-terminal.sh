#!/usr/bin/env bash
# Captures the terminal front-end's two pages as text, as shown in the README:
# the client page connects to the program's own server, sends a message and a
# 1 MB file, then both pages are printed. Needs tmux; uses port 2048. Usage:
#   scripts/capture-terminal.sh [build/tui/udtbench-tui]
set -euo pipefail
exe=$(realpath "${1:-build/tui/udtbench-tui}")
work=$(mktemp -d)
sock="udtbench-capture-$$"
export LANG=C.UTF-8 LC_ALL=C.UTF-8
unset TMUX
t() { tmux -u -L "$sock" -f /dev/null "$@"; }
trap 't kill-server 2>/dev/null || true; rm -rf "$work"' EXIT
wait_for() {
  for _ in $(seq 1 200); do
    t capture-pane -p -t cap | grep -q -- "$1" && return 0
    sleep 0.1
  done
  echo "did not see: $1" >&2
  t capture-pane -p -t cap >&2
  exit 1
}
cp "$exe" "$work/udtbench-tui"
head -c 1048576 /dev/urandom > "$work/sample.bin"
mkdir "$work/run"
cp "$exe" "$work/run/udtbench-tui"
t new-session -d -s cap -x 100 -y 24 "cd '$work/run' && ./udtbench-tui"
wait_for "listening on"
t send-keys -t cap F2 C-u
t send-keys -t cap -l 127.0.0.1
t send-keys -t cap Enter
wait_for "connected"
t send-keys -t cap Tab Tab C-u
t send-keys -t cap -l "hello over UDT"
t send-keys -t cap F7
wait_for "Act: .*hello over UDT"
t send-keys -t cap Tab C-u
t send-keys -t cap -l "$work/sample.bin"
t send-keys -t cap F9
wait_for "100%"
t send-keys -t cap F2
wait_for "sample.bin\|#SendFile#"
echo "--- server page"
t capture-pane -p -t cap
t send-keys -t cap F2
wait_for "Memo2"
echo "--- client page"
t capture-pane -p -t cap
t send-keys -t cap F10
