#!/usr/bin/env bash
# The Debian package on this machine, end to end: scripts/package.sh builds and
# lints it, its dependencies are the ones dpkg-shlibdeps computed, apt installs
# it, every installed program runs and has its manual page, the completion
# completes, and apt removes it all again. Whatever the install brought in is
# purged afterwards, so the machine is left as it was. When udtbench is
# installed already, or apt cannot run as root, the test touches nothing and
# is skipped (exit 77).
#   tests/package/package_test.sh RECORD
# RECORD keeps the list of packages from before the install while the test
# may have udtbench installed, so that a run killed then is undone by the next.
set -euo pipefail
record=${1:?give the file that records what was installed before}
repo=$(cd "$(dirname "$0")/../.." && pwd)
fail() { echo "FAILED: $*" >&2; exit 1; }
# The packages dpkg knows in any state but "not installed".
known() { dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' | awk '$1 !~ /^.n/ {print $2}' | sort; }

if [ "$(id -u)" -eq 0 ]; then sudo=(); elif sudo -n true 2>/dev/null; then sudo=(sudo -n); else
  echo "apt needs root (or sudo without a password)"; exit 77
fi
apt=("${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -y -qq -o DPkg::Lock::Timeout=300)
# Purges what the record does not list, then forgets it.
restore() {
  local added
  added=$(known | comm -13 "$record" -)
  # shellcheck disable=SC2086
  [ -z "$added" ] || "${apt[@]}" purge $added >/dev/null
  rm -f "$record"
}
if [ -f "$record" ]; then echo "undoing the install of a run that was cut short"; restore; fi
if known | grep -qx udtbench; then echo "udtbench is installed here already: left alone"; exit 77; fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
trap 'exit 1' INT TERM HUP
# package.sh installs its tools first: they stay, as build tools do.
"$repo/scripts/package.sh" > "$work/package.log" || { cat "$work/package.log"; fail "scripts/package.sh"; }
deb=$repo/$(tail -1 "$work/package.log")
known > "$record"
trap 'restore; rm -rf "$work"' EXIT

depends=$(dpkg-deb --field "$deb" Depends)
for p in libudt0 libqt6core6 libqt6widgets6 libssl3 qt6-qpa-plugins; do
  [[ ", $depends," == *", $p"[\ ,]* ]] || fail "Depends lacks $p: $depends"
done

"${apt[@]}" install --no-install-recommends "$deb" >/dev/null
version=$(dpkg-deb --field "$deb" Version)
for program in $(dpkg -L udtbench | grep '^/usr/bin/'); do
  name=$(basename "$program")
  [ "$("$program" --version)" = "$name $version" ] || fail "$program --version"
  [ "$(man -w "$name")" = "/usr/share/man/man1/$name.1.gz" ] || fail "man -w $name"
done
[ -f /usr/share/applications/udtbench.desktop ] && [ -f /usr/share/icons/hicolor/scalable/apps/udtbench.svg ] ||
  fail "no desktop entry and icon"

# The completion offers the commands, each command's options, which the
# manual page all describes, and file names for send.
source /usr/share/bash-completion/completions/udtbench-cli
complete_line() { COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMPREPLY=(); _udtbench_cli; echo "${COMPREPLY[*]}"; }
page=$(MANWIDTH=200 man udtbench-cli 2>/dev/null | col -bx)
commands=$(complete_line udtbench-cli "")
[[ "$commands" == *serve*send*say* ]] || fail "completed commands: $commands"
for command in $commands; do
  [[ "$command" == -* ]] && continue
  options=$(complete_line udtbench-cli "$command" --)
  [[ "$options" == *--help* ]] || fail "options of $command: $options"
  # The command's part of the page: from its heading to the next heading.
  part=$(awk -v h="   udtbench-cli $command " 'index($0, h) == 1 {p = 1; next} /^ ? ? ?[^ ]/ {p = 0} p' <<<"$page")
  for option in $options; do
    grep -Eq -- "^ +(-[a-zA-Z], )?$option( |,|$)" <<<"$part" || fail "the manual page lacks $command $option"
  done
done
touch "$work/sample file.bin"
[ "$(complete_line udtbench-cli send 127.0.0.1 "$work/sam")" = "$work/sample file.bin" ] ||
  fail "send completes no file name"

"${apt[@]}" purge udtbench >/dev/null
! known | grep -qx udtbench || fail "udtbench still known to dpkg"
[ ! -e /usr/bin/udtbench-cli ] && ! man -w udtbench-cli >/dev/null 2>&1 || fail "files left after removal"
echo "package $deb built, installed and removed"
