#!/usr/bin/env bash
# Ninja builds of this tree: alone with tests and benchmarks on, where the
# demonstration program must not clash with Ninja's `test` target; and as a
# subproject of a parent that enables testing, where only the library is
# built and installed unless the parent asks for the programs. Exit status
# 77 (skipped) without ninja.
# usage: ninja_test.sh SOURCE_DIR
set -u
src=$1
command -v ninja >/dev/null || { echo "SKIP: ninja is missing (Debian package ninja-build)"; exit 77; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# step NAME COMMAND...: runs the command, keeping its output for a failure.
step() {
  local name=$1
  shift
  "$@" >"$scratch/log" 2>&1 || {
    tail -n 30 "$scratch/log"
    fail "$name"
    return 1
  }
}

# Alone: every rule of the whole build is consistent (a dry run reads them
# all), and bin/test is the demonstration program.
top=$scratch/top
if step "configure the tree with Ninja" cmake -S "$src" -B "$top" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DPARWORK_BUILD_TESTS=ON -DPARWORK_BUILD_BENCHMARKS=ON &&
  step "ninja -n, every rule of the tree" ninja -C "$top" -n &&
  step "build bin/test" ninja -C "$top" bin/test; then
  out=$("$top/bin/test" 0)
  [ "$out" = $'Progress:\ndone' ] || fail "bin/test 0 printed: $out"
fi

# As a subproject, with the defaults: the library alone, linked both ways by
# the parent's programs, whose tests pass; the install holds the library and
# no programs or manual pages.
parent=$scratch/parent
if step "configure the parent" cmake -S "$src/packaging/tests/parent" -B "$parent" -G Ninja \
  -DPARWORK_SOURCE_DIR="$src" &&
  step "build the parent" ninja -C "$parent" &&
  step "the parent's tests" ctest --test-dir "$parent" --output-on-failure; then
  built=$(find "$parent/parwork" -type f -perm -u+x \( -name forktally -o -name duotally -o -name zel_phaser_demo \))
  [ -z "$built" ] || fail "the subproject built programs: $built"
  step "install the parent" cmake --install "$parent" --prefix "$scratch/prefix"
  [ -n "$(find "$scratch/prefix" -name 'libzel_phaser.so.*')" ] || fail "the library was not installed"
  [ -z "$(find "$scratch/prefix" -path '*/man/*' -o -name forktally -o -path '*/libexec/*')" ] ||
    fail "the subproject installed programs or manual pages"
fi

# As a subproject with the programs: the demonstration's rules do not clash
# with the parent's `test` target.
if step "configure the parent with the programs" cmake "$parent" -DPARWORK_BUILD_PROGRAMS=ON &&
  step "ninja -n, every rule of the parent" ninja -C "$parent" -n &&
  step "build the subproject's bin/test" ninja -C "$parent" parwork/bin/test; then
  out=$("$parent/parwork/bin/test" 0)
  [ "$out" = $'Progress:\ndone' ] || fail "the subproject's bin/test 0 printed: $out"
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures failure(s)"
  exit 1
fi
echo "Ninja built the tree alone and as a subproject of a project that enables testing"
