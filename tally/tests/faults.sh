#!/usr/bin/env bash
# Faults the programs must report instead of printing a count: a pipe that
# cannot be created, a child's record that arrives short, an array that
# cannot be allocated, a counting thread that cannot be started. Each gives
# one clear line on stderr and status 1.
# usage: faults.sh FORKTALLY DUOTALLY SANITIZED(0|1)
set -u
forktally=$1 duotally=$2 sanitized=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0

# expect LABEL WANT_STDOUT WANT_STDERR -- COMMAND...
expect() {
  local label=$1 want_out=$2 want_err=$3
  shift 4
  "$@" >"$tmp/out" 2>"$tmp/err"
  local status=$?
  if ((status == 1)) && [[ $(cat "$tmp/out") == "$want_out" && $(cat "$tmp/err") == "$want_err" ]]; then
    echo "ok   $label"
  else
    echo "FAIL $label: status $status, stdout '$(cat "$tmp/out")', stderr '$(cat "$tmp/err")'"
    failures=$((failures + 1))
  fi
}

limited() { # limited ULIMIT_ARGS... -- COMMAND...
  local limits=()
  while [[ $1 != -- ]]; do limits+=("$1"); shift; done
  shift
  (for l in "${limits[@]}"; do ulimit $l || exit 99; done; exec "$@")
}

expect "pipe fails (ulimit -n 12, 40 workers)" "using 40 procs" "pipe: Too many open files" -- \
  limited "-n 12" -- "$forktally" 40

# A child whose record arrives short. strace makes the first write(2) of
# every process report 2 bytes written while writing nothing: the parent's
# "using" line loses its first two bytes, and each child's record loses its
# first two, so the parent reads 2 of 4 bytes and then end of file.
if command -v strace >/dev/null && strace -f -qq -o /dev/null true 2>/dev/null; then
  # LeakSanitizer cannot run under ptrace.
  ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0" \
    strace -f -qq -o /dev/null -e trace=write -e inject=write:retval=2:when=1 \
    "$forktally" 2 >"$tmp/out" 2>"$tmp/err"
  status=$?
  want_err="forktally: worker 0: ended without sending its count (2 of 4 bytes)"
  if ((status == 1)) && ! grep -q Count "$tmp/out" && [[ $(cat "$tmp/err") == "$want_err" ]]; then
    echo "ok   short record from a child (strace write injection)"
  else
    echo "FAIL short record from a child: status $status, stdout '$(cat "$tmp/out")', stderr '$(cat "$tmp/err")'"
    failures=$((failures + 1))
  fi
else
  echo "skip short record from a child: strace cannot trace here"
fi

if ((sanitized)); then
  echo "skip address-space limits: the sanitizers reserve more than any such limit"
else
  expect "forktally array allocation fails (ulimit -v)" "using 2 procs" \
    "forktally: cannot allocate the array: Cannot allocate memory" -- \
    limited "-v 600000" -- "$forktally" 2
  expect "duotally array allocation fails (ulimit -v)" "" \
    "duotally: cannot allocate the array: Cannot allocate memory" -- \
    limited "-v 600000" -- "$duotally"
  # Thread stacks default to the stack limit: 1 GB stacks do not fit beside
  # the 800 MB array in 1.7 GB of address space.
  expect "duotally thread start fails (ulimit -s, -v)" "" \
    "duotally: cannot start counting thread 0: Resource temporarily unavailable" -- \
    limited "-s 1000000" "-v 1700000" -- "$duotally"
fi

echo "$failures failed"
((failures == 0))
