# bash completion for udtbench-cli.
# The commands, each command's options and its arguments are read from the
# program's own help when Tab is pressed, so they follow the installed
# program: "udtbench-cli --help" lists the commands (a "Commands:" paragraph),
# "udtbench-cli COMMAND --help" its options ("  -h, --help", "  --folder <DIR>")
# and arguments ("  HOST[:PORT]", "  FILE..."). An argument or option value
# named FILE completes file names, one named DIR folder names.

# The words of the paragraph headed Title in the help on standard input: the
# option names ("--folder", or "--folder=" when it takes a value DIR, then
# "DIR" on the next line), or the argument names.
_udtbench_cli_paragraph() {
  awk -v title="$1" '
    $0 == title { inside = 1; next }
    /^[^ ]/ || /^$/ { inside = 0 }
    !inside || !/^  [^ ]/ { next }
    title != "Options:" { print $1; next }
    {
      names = ""; value = ""
      for (i = 1; i <= NF; i++) {
        word = $i; sub(/,$/, "", word)
        if (word ~ /^-/) names = names " " word
        else if (word ~ /^<.*>$/) value = substr(word, 2, length(word) - 2)
        else break
      }
      n = split(names, name, " ")
      for (j = 1; j <= n; j++) {
        if (value == "") print name[j]
        else { print name[j] "="; print value }
      }
    }'
}

# Completes COMPREPLY with the file names (Kind FILE...) or folder names (DIR)
# that begin with Word; nothing for any other kind.
_udtbench_cli_names() {
  local kind=${1%...} word=$2
  case "$kind" in
    FILE) compopt -o filenames 2>/dev/null; mapfile -t COMPREPLY < <(compgen -f -- "$word") ;;
    DIR) compopt -o filenames 2>/dev/null; mapfile -t COMPREPLY < <(compgen -d -- "$word") ;;
  esac
}

_udtbench_cli() {
  local program=${COMP_WORDS[0]} cur=${COMP_WORDS[COMP_CWORD]}
  COMPREPLY=()
  if [ "$COMP_CWORD" -eq 1 ]; then
    local commands
    commands=$("$program" --help 2>/dev/null |
      awk '/^Commands:$/ {c = 1; next} c && /^$/ {exit} c && /^  [a-z]/ {print $1}')
    mapfile -t COMPREPLY < <(compgen -W "$commands --help --version" -- "$cur")
    return
  fi

  local help
  help=$("$program" "${COMP_WORDS[1]}" --help 2>/dev/null) || return
  # name, or "name=" followed by its value's kind, one to a line
  local -a described arguments
  mapfile -t described < <(_udtbench_cli_paragraph "Options:" <<<"$help")
  mapfile -t arguments < <(_udtbench_cli_paragraph "Arguments:" <<<"$help")
  local -A value_of=()
  local options=() i
  for ((i = 0; i < ${#described[@]}; i++)); do
    case "${described[i]}" in
      *=) value_of[${described[i]%=}]=${described[i + 1]:-}; options+=("${described[i]%=}"); i=$((i + 1)) ;;
      *) options+=("${described[i]}") ;;
    esac
  done

  # The word before the cursor is an option that takes a value (bash splits
  # "--folder=DIR" at the "=").
  local before=${COMP_WORDS[COMP_CWORD - 1]}
  [ "$before" = "=" ] && [ "$COMP_CWORD" -ge 3 ] && before=${COMP_WORDS[COMP_CWORD - 2]}
  if [ -n "${value_of[$before]+set}" ]; then
    _udtbench_cli_names "${value_of[$before]}" "$cur"
    return
  fi
  if [[ "$cur" == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "${options[*]}" -- "$cur")
    return
  fi

  # Which argument the cursor is on: the words before it that are neither
  # options nor their values; past the last one, a repeated one ("FILE...").
  local n=0 w
  for ((i = 2; i < COMP_CWORD; i++)); do
    w=${COMP_WORDS[i]}
    if [ -n "${value_of[$w]+set}" ]; then
      i=$((i + 1))
      [ "${COMP_WORDS[i]:-}" = "=" ] && i=$((i + 1))
    elif [[ "$w" != -* ]]; then
      n=$((n + 1))
    fi
  done
  local count=${#arguments[@]}
  [ "$count" -eq 0 ] && return
  if [ "$n" -ge "$count" ]; then
    [[ "${arguments[count - 1]}" == *... ]] || return
    n=$((count - 1))
  fi
  _udtbench_cli_names "${arguments[n]}" "$cur"
}

complete -F _udtbench_cli udtbench-cli
