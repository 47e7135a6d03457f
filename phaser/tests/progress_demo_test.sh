#!/usr/bin/env bash
# Black-box tests of the demonstration program: exact output and exit status.
# usage: progress_demo_test.sh PATH_TO_TEST [sanitized]
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../../testing/blackbox.sh"
prog=$1
sanitized=${2:-}
# The diagnostics after the usage line name the program as err(3) does.
name=${prog##*/}

percentages=""
for ((i = 0; i < 100; i++)); do percentages+="$i% ..."; done
progress=$'Progress:\n'"${percentages}done"$'\n'

# run STATUS STDOUT STDERR ARGS...
run() {
  local status=$1 out=$2 err=$3
  shift 3
  local label=test
  (($#)) && label+=$(printf " '%s'" "$@")
  expect "$label" "$status" "$out" "$err" --timeout 60 -- "$prog" "$@"
}

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

# Output that cannot be written is reported once the workers are done.
for n in 0 2; do
  expect "test $n >/dev/full" 1 "" "$name: standard output: No space left on device"$'\n' \
    --stdout /dev/full --timeout 60 -- "$prog" "$n"
  expect "test $n >&-" 1 "" "$name: standard output: Bad file descriptor"$'\n' \
    --stdout - --timeout 60 -- "$prog" "$n"
done
# Run with an empty argv[0], the program gives its own name.
as_empty=(bash -c 'exec -a "" "$@"' -)
expect "test run as ''" 255 $'usage test number_threads\n' "" -- "${as_empty[@]}" "$prog"
expect "test 0 run as '' >/dev/full" 1 "" $'test: standard output: No space left on device\n' \
  --stdout /dev/full -- "${as_empty[@]}" "$prog" 0
# A usage error keeps its status whatever becomes of the usage line.
expect "test >/dev/full" 255 "" "" --stdout /dev/full -- "$prog"

# A worker that cannot be started: the address space is too small for the
# threads' stacks. Sanitizer runtimes need more address space than that.
if [ -z "$sanitized" ]; then
  expect "test 200 under ulimit -v" 1 "" "~^$(re_quote "$name"): cannot start worker [0-9]+: [^"$'\n'"]+"$'\n$' \
    --limit "-v 100000" --timeout 60 -- "$prog" 200
fi

finish
