#!/usr/bin/env bash
# Profiles one side of a file transfer, each side in a process of its own, with
# the suite's own child programs (build-release/bench/udtbench_suite).
#
#   bench/profile.sh SIDE TOOL [MB]
#
# SIDE:  server        the bench's server window fed by the plain UDT4 client
#        plain-server  the plain UDT4 server fed by the same client
#        client        the bench's client window sending into the plain server
#        plain-client  the plain client sending into the plain server
# TOOL:  strace        system calls of the side under test (strace -c -f)
#        perf          perf record -g of the side under test, then perf report
#        time          CPU time of the side under test, user and system
# MB:    size of the file, 64 by default.
# perf prints the samples by library, then by function; KEEP_PERF=FILE keeps
# perf.data there for further reports (e.g. perf report -i FILE --sort pid).
#
# Installs strace and linux-perf when missing (apt-get, root). Run it inside a
# private network namespace, e.g.
#   unshare -n sh -c 'ip link set lo up && bench/profile.sh server strace'
set -euo pipefail
cd "$(dirname "$0")/.."
side=${1:?side}
tool=${2:?tool}
mb=${3:-64}
suite=build-release/bench/udtbench_suite
[ -x "$suite" ] || { echo "build first: bench/run or scripts/build.sh build-release -DCMAKE_BUILD_TYPE=Release" >&2; exit 2; }

need() {
  command -v "$1" >/dev/null 2>&1 && return
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$2" >/dev/null
}
case $tool in
  strace) need strace strace ;;
  perf) need perf linux-perf ;;
  time) ;;
  *) echo "unknown tool $tool" >&2; exit 2 ;;
esac

tmp=$(mktemp -d /tmp/udtbench-profile-XXXXXX)
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill -KILL "$server_pid" 2>/dev/null || true
  [ -n "${KEEP_PERF:-}" ] && cp "$tmp/perf.data" "$KEEP_PERF" 2>/dev/null; rm -rf "$tmp"
}
trap cleanup EXIT
export QT_QPA_PLATFORM=offscreen
size=$((mb * 1000 * 1000))
head -c "$size" /dev/urandom >"$tmp/source.bin"
mkdir "$tmp/store"
port=$((20000 + RANDOM % 20000))

case $side in
  server) server_mode=server; client_mode=file-client-plain; under_test=server ;;
  plain-server) server_mode=server-plain; client_mode=file-client-plain; under_test=server ;;
  client) server_mode=server-plain; client_mode=file-client-product; under_test=client ;;
  plain-client) server_mode=server-plain; client_mode=file-client-plain; under_test=client ;;
  *) echo "unknown side $side" >&2; exit 2 ;;
esac

# The server, once it prints ready=1.
mkfifo "$tmp/ready"
"$suite" --child "$server_mode" --port "$port" --folder "$tmp/store" >"$tmp/ready" 2>"$tmp/server.err" &
server_pid=$!
read -r -t 30 line <"$tmp/ready"
[ "$line" = ready=1 ] || { echo "server did not start" >&2; exit 1; }

client=("$suite" --child "$client_mode" --port "$port" --source "$tmp/source.bin"
        --folder "$tmp/store" --size "$size")
# Samples by library, then by function.
report() {
  perf report -i "$tmp/perf.data" --stdio --no-children -g none --percent-limit 0.5 --sort dso 2>/dev/null | grep -v -e "^$" -e "^#"
  perf report -i "$tmp/perf.data" --stdio --no-children -g none --percent-limit 0.7 --sort dso,sym 2>/dev/null | grep -v -e "^$" -e "^#"
}
ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }

if [ "$under_test" = server ]; then
  case $tool in
    strace)
      strace -c -f -p "$server_pid" -o "$tmp/trace" & tracer=$!
      sleep 1
      "${client[@]}"
      kill -INT "$tracer"; wait "$tracer" || true
      cat "$tmp/trace" ;;
    perf)
      perf record -q -g -p "$server_pid" -o "$tmp/perf.data" 2>/dev/null & tracer=$!
      sleep 1
      "${client[@]}"
      kill -INT "$tracer"; wait "$tracer" || true
      report ;;
    time)
      before=$(ticks "$server_pid")
      "${client[@]}"
      after=$(ticks "$server_pid")
      echo "server CPU: $(( (after - before) * 10 )) ms (user+system)"
      awk '{ printf "server process total: user %d ms, system %d ms\n", $14 * 10, $15 * 10 }' "/proc/$server_pid/stat" ;;
  esac
else
  case $tool in
    strace) strace -c -f -o "$tmp/trace" "${client[@]}"; cat "$tmp/trace" ;;
    perf)
      perf record -q -g -o "$tmp/perf.data" "${client[@]}" 2>/dev/null
      report ;;
    time) /usr/bin/time -f "client: user %U s, system %S s, wall %e s" "${client[@]}" ;;
  esac
fi
