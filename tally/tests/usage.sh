#!/usr/bin/env bash
# forktally refuses every argument list other than one whole decimal number
# of at least 1: the usage line alone on stderr, nothing on stdout, status 1.
# usage: usage.sh FORKTALLY
set -u
forktally=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
want="usage: $forktally num_procs"

expect_usage() {
  "$forktally" "$@" >"$tmp/out" 2>"$tmp/err"
  local status=$? label="forktally$(printf " '%s'" "$@")"
  if ((status == 1)) && [[ ! -s $tmp/out && $(cat "$tmp/err") == "$want" ]] &&
    (($(wc -l <"$tmp/err") == 1)); then
    echo "ok   $label"
  else
    echo "FAIL $label: status $status, stdout '$(cat "$tmp/out")', stderr '$(cat "$tmp/err")'"
    failures=$((failures + 1))
  fi
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

echo "$failures failed"
((failures == 0))
