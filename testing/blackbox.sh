# Shared helper of the shell test scripts, to be sourced by bash: runs a
# program, compares its exit status, standard output and standard error
# with what is expected, prints one "ok" or "FAIL" line per case and counts
# the failures.
#
#   source "$(dirname "$0")/../../testing/blackbox.sh"
#   expect LABEL STATUS STDOUT STDERR [OPTIONS] -- COMMAND [ARGS...]
#   ...
#   finish    # last command: prints the number of failures, status 0 if none
#
# STDOUT and STDERR are compared byte for byte, trailing newlines included
# (write them as $'line\n'). "~ERE" instead matches an extended regular
# expression against the whole text, "*" accepts anything. OPTIONS:
#   --limit 'ARGS'   run the command under `ulimit ARGS` (repeatable, in order)
#   --pipe           standard output is a pipe read by cat instead of a file
#   --stdout TARGET  standard output goes to TARGET, "-" closes it; what the
#                    command wrote there is not seen (STDOUT then sees "")
#   --timeout SECS   watchdog, 120 s by default: a command still running then
#                    is killed with its process group and the case fails
# The command starts with only its standard input, output and error open.
#
# After each case $bb_status holds the exit status and the files $bb_out and
# $bb_err what the command wrote, for checks of a script's own; `check_run`
# compares them as `expect` does, `pass` and `fail` count a case by hand.
# `step NAME COMMAND...` runs a build or set-up command whose output matters
# only when it fails, and `skip_without` ends a script that lacks a tool
# with status 77 (skipped). The helper keeps its files in a temporary folder
# ($bb_tmp, free for the script's own files too) that an EXIT trap removes.

bb_tmp=$(mktemp -d)
trap 'rm -rf "$bb_tmp"' EXIT
bb_out=$bb_tmp/out
bb_err=$bb_tmp/err
bb_status=0
bb_failures=0

pass() { echo "ok   $1"; }
fail() {
  echo "FAIL $*"
  bb_failures=$((bb_failures + 1))
}

# skip_without HINT TOOL...: exits with 77 unless every TOOL is a command;
# HINT says where the tools come from ("Debian package ninja-build").
skip_without() {
  local hint=$1 tool
  shift
  for tool in "$@"; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is missing ($hint)"; exit 77; }
  done
}

# step NAME COMMAND...: runs the command with its output in $bb_tmp/log;
# if it fails, shows the log's end, fails NAME and returns 1.
step() {
  local name=$1
  shift
  "$@" >"$bb_tmp/log" 2>&1 || {
    tail -n 30 "$bb_tmp/log"
    fail "$name"
    return 1
  }
}

# bb_shown TEXT: TEXT on one line (newlines as \n), cut to 300 bytes, for
# a failure line.
bb_shown() {
  local text=$1
  ((${#text} > 300)) && text="${text:0:300}..."
  printf '%s' "${text//$'\n'/\\n}"
}

# bb_matches TEXT WANT: whether TEXT is what WANT asks for (see above).
bb_matches() {
  case $2 in
    '*') return 0 ;;
    '~'*) [[ $1 =~ ${2:1} ]] ;;
    *) [[ $1 == "$2" ]] ;;
  esac
}

# check_run LABEL STATUS STDOUT STDERR: judges $bb_status, $bb_out, $bb_err.
check_run() {
  local label=$1 want_status=$2 want_out=$3 want_err=$4 got_out got_err why=()
  # The x keeps the trailing newlines that command substitution drops.
  got_out=$(cat "$bb_out" && echo x) && got_out=${got_out%x}
  got_err=$(cat "$bb_err" && echo x) && got_err=${got_err%x}
  ((bb_status == 124)) && why+=("timed out")
  ((bb_status == want_status)) || why+=("status $bb_status, want $want_status")
  bb_matches "$got_out" "$want_out" || why+=("stdout '$(bb_shown "$got_out")'")
  bb_matches "$got_err" "$want_err" || why+=("stderr '$(bb_shown "$got_err")'")
  if ((${#why[@]} == 0)); then
    pass "$label"
  else
    local text
    printf -v text '; %s' "${why[@]}"
    fail "$label: ${text:2}"
  fi
}

# re_quote TEXT: TEXT with every character that an ERE gives a meaning
# escaped, so that a path can stand in a pattern.
re_quote() { printf '%s' "$1" | sed 's/[][\.*^$+?(){}|/]/\\&/g'; }

expect() {
  local label=$1 want_status=$2 want_out=$3 want_err=$4
  shift 4
  local limits=() piped=0 target='' secs=120
  while (($#)) && [[ $1 != -- ]]; do
    case $1 in
      --limit) limits+=("$2") && shift 2 ;;
      --pipe) piped=1 && shift ;;
      --stdout) target=$2 && shift 2 ;;
      --timeout) secs=$2 && shift 2 ;;
      *) echo "expect: unknown option '$1'" >&2 && exit 2 ;;
    esac
  done
  shift
  # timeout runs the command in a process group of its own and kills the
  # whole group when the time is up. Just before exec the limits are set and
  # every descriptor but the standard three is closed, so that the command
  # starts alike whatever the test runner leaves open.
  local setup='for l in "${@:2:$1}"; do ulimit $l || exit 125; done; shift $(($1 + 1))
    for fd in /proc/$$/fd/*; do fd=${fd##*/}; ((fd > 2)) && eval "exec $fd>&-"; done
    exec "$@"'
  local run=(timeout -k 5 "$secs" bash -c "$setup" limited "${#limits[@]}" "${limits[@]}" "$@")
  : >"$bb_out"
  if ((piped)); then
    "${run[@]}" 2>"$bb_err" | cat >"$bb_out"
    bb_status=${PIPESTATUS[0]}
  elif [[ $target == - ]]; then
    "${run[@]}" 2>"$bb_err" >&-
    bb_status=$?
  elif [[ -n $target ]]; then
    "${run[@]}" 2>"$bb_err" >"$target"
    bb_status=$?
  else
    "${run[@]}" >"$bb_out" 2>"$bb_err"
    bb_status=$?
  fi
  check_run "$label" "$want_status" "$want_out" "$want_err"
}

finish() {
  echo "$bb_failures failed"
  ((bb_failures == 0))
}
