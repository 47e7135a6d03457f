#!/usr/bin/env bash
# Black-box tests of the demonstration program: exact output and exit status.
# usage: progress_demo_test.sh PATH_TO_TEST [sanitized]
set -u
prog=$1
sanitized=${2:-}
failures=0
out=$(mktemp) err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# run EXPECTED_STATUS EXPECTED_STDOUT EXPECTED_STDERR ARGS...
run() {
  local want_status=$1 want_out=$2 want_err=$3
  shift 3
  timeout 60 "$prog" "$@" >"$out" 2>"$err"
  local status=$?
  [ "$status" -eq "$want_status" ] || fail "test $*: status $status, expected $want_status"
  [ "$(cat "$out"; echo x)" = "${want_out}x" ] || fail "test $*: stdout was: $(head -c 300 "$out")"
  [ "$(cat "$err"; echo x)" = "${want_err}x" ] || fail "test $*: stderr was: $(head -c 300 "$err")"
}

percentages=""
for ((i = 0; i < 100; i++)); do percentages+="$i% ..."; done
progress=$'Progress:\n'"${percentages}done"$'\n'

run 0 $'Progress:\ndone\n' "" 0
run 0 "$progress" "" 1
run 0 "$progress" "" 8
run 0 "$progress" "" 007

usage="usage $prog number_threads"$'\n'
run 255 "$usage" ""
run 255 "$usage" "" 1 2
for bad in -1 abc 12x "" " 5" +5 10001 99999999999 2147483647 4294967297; do
  run 255 "$usage" "" "$bad"
done

# A worker that cannot be started: the address space is too small for the
# threads' stacks. Sanitizer runtimes need more address space than that.
if [ -z "$sanitized" ]; then
  (ulimit -v 100000; timeout 60 "$prog" 200 >"$out" 2>"$err")
  status=$?
  [ "$status" -eq 1 ] || fail "test 200 under ulimit -v: status $status, expected 1"
  grep -q "^$prog: cannot start worker [0-9]*: " "$err" || fail "test 200 under ulimit -v: stderr was: $(cat "$err")"
  [ ! -s "$out" ] || fail "test 200 under ulimit -v: printed progress: $(head -c 100 "$out")"
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures failure(s)"
  exit 1
fi
echo "all demonstration cases passed"
