#!/usr/bin/env bash
# forktally refuses every argument list other than one whole decimal number
# of at least 1: the usage line alone on stderr, nothing on stdout, status 1.
# The line names the program as it was invoked, or as forktally when that
# name is empty.
# usage: usage.sh FORKTALLY
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../../testing/blackbox.sh"
forktally=$1
want="usage: $forktally num_procs"$'\n'

expect_usage() {
  local label=forktally
  (($#)) && label+=$(printf " '%s'" "$@")
  expect "$label" 1 "" "$want" -- "$forktally" "$@"
}

expect_usage
expect_usage 2 3
expect_usage 0
expect_usage 000
expect_usage -3
expect_usage -0
expect_usage +4
expect_usage " 4"
expect_usage abc
expect_usage 12abc
expect_usage "4 "
expect_usage 4.0
expect_usage 0x10
expect_usage ""
expect_usage 2147483648
expect_usage 99999999999999999999999

# Run with an empty argv[0], the usage line gives the program's own name.
expect "forktally run as ''" 1 "" $'usage: forktally num_procs\n' -- \
  bash -c 'exec -a "" "$@"' - "$forktally"

finish
