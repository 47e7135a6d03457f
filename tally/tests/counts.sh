#!/usr/bin/env bash
# forktally for N = 1, 3, 4, 7, 10 and duotally, with and without arguments,
# print the count line of a plain srand(0) / rand() % 4 loop, in the exact
# output shape, with stdout a pipe or a file (the "using" line exactly once).
# usage: counts.sh FORKTALLY DUOTALLY REFCOUNT
set -u
forktally=$1 duotally=$2 refcount=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0

expected=$("$refcount")
if [[ ! $expected =~ ^Count\ of\ 3\ =\ [0-9]+$ ]]; then
  echo "FAIL: reference count line '$expected'"
  exit 1
fi
echo "reference: $expected"
time_re='^Elapsed time \(ms\) = -?[0-9]+\.[0-9]{6}$'

# check LABEL STATUS EXPECTED_FIRST_LINES...: compares $tmp/out, $tmp/err
check() {
  local label=$1 status=$2
  shift 2
  local want=("$@" "$expected")
  local got
  mapfile -t got <"$tmp/out"
  local ok=1
  ((status == 0)) || { echo "FAIL $label: exit status $status"; ok=0; }
  [[ -s $tmp/err ]] && { echo "FAIL $label: stderr: $(cat "$tmp/err")"; ok=0; }
  if ((${#got[@]} != ${#want[@]} + 1)); then
    echo "FAIL $label: ${#got[@]} lines, want $((${#want[@]} + 1))"; ok=0
  fi
  for i in "${!want[@]}"; do
    [[ ${got[i]-} == "${want[i]}" ]] || { echo "FAIL $label: line $((i + 1)) '${got[i]-}', want '${want[i]}'"; ok=0; }
  done
  [[ ${got[-1]-} =~ $time_re ]] || { echo "FAIL $label: last line '${got[-1]-}'"; ok=0; }
  ((ok)) && echo "ok   $label: ${got[*]}"
  ((ok)) || failures=$((failures + 1))
}

for n in 1 3 7; do
  "$forktally" "$n" 2>"$tmp/err" | cat >"$tmp/out"
  check "forktally $n | cat" "${PIPESTATUS[0]}" "using $n procs"
done
for n in 4 10; do
  "$forktally" "$n" >"$tmp/out" 2>"$tmp/err"
  check "forktally $n > file" $? "using $n procs"
done

"$duotally" 2>"$tmp/err" | cat >"$tmp/out"
check "duotally | cat" "${PIPESTATUS[0]}"
"$duotally" 5 extra --args >"$tmp/out" 2>"$tmp/err"
check "duotally 5 extra --args > file" $?

echo "$failures failed"
((failures == 0))
