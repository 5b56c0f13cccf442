#!/bin/sh
# What help2man reads of the program $UDTBENCH_MAN_PROGRAM: its --version as
# it is, and for --help its help arranged for a manual page. When the help
# lists commands (a "Commands:" paragraph of lines "  NAME ..."), each
# command's own help follows under "*Commands*", its usage line joins the
# synopsis, and the exit codes, which every command shares, move to a section
# of their own at the end.
set -eu
program=${UDTBENCH_MAN_PROGRAM:?the program to describe}
case "${1:-}" in
  --version) exec "$program" --version ;;
  --help) ;;
  *) echo "help_for_man.sh: give --help or --version" >&2; exit 2 ;;
esac

# The help text on standard input without its "Exit codes:" paragraph.
without_exit_codes() { awk '/^Exit codes:$/ {skip = 1; next} skip && /^$/ {skip = 0; next} !skip'; }

help=$("$program" --help)
commands=$(printf '%s\n' "$help" |
  awk '/^Commands:$/ {c = 1; next} c && /^$/ {exit} c && /^  [a-z]/ {print $1}')

printf '%s\n' "$help" | without_exit_codes | sed -n '1p'
for c in $commands; do
  "$program" "$c" --help | sed -n '1s/^Usage: /  or: /p'
done
printf '%s\n' "$help" | without_exit_codes | sed '1d'
if [ -n "$commands" ]; then
  printf '\n*Commands*\n\n'
  for c in $commands; do
    # "Usage: PROGRAM COMMAND ..." becomes the heading; the rest is indented
    # under it, without the "Options:" and "Arguments:" titles. An argument
    # name gets two spaces before its meaning, which help2man needs.
    "$program" "$c" --help | without_exit_codes | awk '
      NR == 1 { sub(/^Usage: /, ""); print $0 ":"; next }
      /^(Options|Arguments):$/ { arguments = $0 == "Arguments:"; next }
      arguments && /^  [^ ]+ [^ ]/ { sub(/^  [^ ]+ /, "& "); print; next }
      /^$/ || /^ / { print; next }
      { print "  " $0 }'
    echo
  done
fi
printf '\n*Exit status*\n\n'
printf '%s\n' "$help" | awk '/^Exit codes:$/ {p = 1; next} p && /^$/ {exit} p'
