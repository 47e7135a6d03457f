#!/usr/bin/env bash
# A wait whose deadline has passed is answered at once, without spinning,
# yielding or sleeping: the C header test, which waits only for phases
# reached already or with a deadline passed long ago, makes no futex or
# sched_yield call.
# usage: passed_deadline_test.sh PATH_TO_C_HEADER_TEST
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../../testing/blackbox.sh"
prog=$1
skip_without "Debian package strace" strace
log=$bb_tmp/calls
expect "the C header test under strace" 0 '' '' -- \
  strace -f -qq -e trace=futex,sched_yield -o "$log" "$prog"
calls=$(grep -c -E 'futex\(|sched_yield\(' "$log")
if [ "$calls" -eq 0 ]; then
  pass "no futex or sched_yield call"
else
  fail "$calls futex or sched_yield calls: $(head -n 3 "$log" | tr '\n' ' ')"
fi
finish
