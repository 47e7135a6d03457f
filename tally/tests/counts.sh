#!/usr/bin/env bash
# forktally for N = 1, 3, 4, 7, 10 and duotally, with and without arguments,
# print the count line of a plain srand(0) / rand() % 4 loop, in the exact
# output shape, with stdout a pipe or a file (the "using" line exactly once).
# forktally raises a low soft descriptor limit toward the hard one when its
# workers need more.
# usage: counts.sh FORKTALLY DUOTALLY REFCOUNT
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../../testing/blackbox.sh"
forktally=$1 duotally=$2 refcount=$3

expected=$("$refcount")
if [[ ! $expected =~ ^Count\ of\ 3\ =\ [0-9]+$ ]]; then
  echo "FAIL: reference count line '$expected'"
  exit 1
fi
echo "reference: $expected"

# report [USING_LINE]: the whole standard output of a run, as a pattern.
report() {
  local head=''
  (($#)) && head="$(re_quote "$1")"$'\n'
  printf '%s' "~^$head$(re_quote "$expected")"$'\n''Elapsed time \(ms\) = -?[0-9]+\.[0-9]{6}'$'\n''$'
}

for n in 1 3 7; do
  expect "forktally $n | cat" 0 "$(report "using $n procs")" "" --pipe -- "$forktally" "$n"
done
for n in 4 10; do
  expect "forktally $n > file" 0 "$(report "using $n procs")" "" -- "$forktally" "$n"
done
expect "forktally 100 under ulimit -Sn 64" 0 "$(report "using 100 procs")" "" \
  --limit "-Sn 64" -- "$forktally" 100

expect "duotally | cat" 0 "$(report)" "" --pipe -- "$duotally"
expect "duotally 5 extra --args > file" 0 "$(report)" "" -- "$duotally" 5 extra --args

finish
