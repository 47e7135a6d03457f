#!/usr/bin/env bash
# Counts the demonstration's futex system calls under strace: the waiting
# main thread may be woken at most once per phase (100 phases), and the
# workers' advances may enter the kernel only to wake it, so all their futex
# calls together stay within one per phase (plus a little slack for the C
# library's own thread bookkeeping), however many advances they make.
# usage: wakeups_test.sh PATH_TO_TEST
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../../testing/blackbox.sh"
prog=$1
command -v strace >/dev/null || { echo "strace is not installed: skipped"; exit 77; }
log=$bb_tmp/futex

for n in 4 8; do
  expect "test $n under strace" 0 '*' "" -- strace -f --seccomp-bpf -e trace=futex -o "$log" "$prog" "$n"
  ((bb_status == 0)) || continue
  main_pid=$(awk 'NR == 1 { print $1 }' "$log")
  read -r main_waits worker_calls < <(awk -v main="$main_pid" '
    /futex\(/ && !/resumed>/ {
      if ($1 == main) { if (/FUTEX_WAIT/) waits++ } else calls++
    }
    END { print waits + 0, calls + 0 }' "$log")
  slack=$((n + 4))
  label="test $n: main thread slept $main_waits times, workers made $worker_calls futex calls in $((n * 100)) advances"
  if [ "$main_waits" -gt $((100 + slack)) ] || [ "$worker_calls" -gt $((100 + slack)) ]; then
    fail "$label: more futex calls than phases"
  else
    pass "$label"
  fi
done
finish
