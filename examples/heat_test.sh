#!/usr/bin/env bash
# The heat example converges in the same number of steps to the same
# temperatures whatever the number of threads, and refuses bad arguments.
# usage: heat_test.sh PATH_TO_HEAT
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../testing/blackbox.sh"
heat=$1
result=$'converged after 29312 steps\ntemperature at the middle: 0.494552\n'
for threads in 1 2 4 7; do
  expect "heat $threads 100" 0 "$result" '' -- "$heat" "$threads" 100
done
expect "heat on its defaults" 0 "$result" '' -- "$heat"
usage=$'usage: heat [threads (1-64) [cells (3-10000000)]]\n'
for args in "0" "65" "4 2" "4 x" "1 2 3"; do
  # shellcheck disable=SC2086
  expect "heat $args" 2 '' "$usage" -- "$heat" $args
done
finish
