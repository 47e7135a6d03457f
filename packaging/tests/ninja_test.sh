#!/usr/bin/env bash
# Ninja builds of this tree: alone with tests and benchmarks on, where the
# demonstration program must not clash with Ninja's `test` target; alone as
# a packager configures it, needing no test or benchmark tools; and as a
# subproject of a parent that enables testing, where only the library is
# built and installed unless the parent asks for the programs. Exit status
# 77 (skipped) without ninja.
# usage: ninja_test.sh SOURCE_DIR
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../../testing/blackbox.sh"
src=$1
skip_without "Debian package ninja-build" ninja

# Alone: every rule of the whole build is consistent (a dry run reads them
# all), and bin/test is the demonstration program.
top=$bb_tmp/top
if step "configure the tree with Ninja" cmake -S "$src" -B "$top" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DPARWORK_BUILD_TESTS=ON -DPARWORK_BUILD_BENCHMARKS=ON &&
  step "ninja -n, every rule of the tree" ninja -C "$top" -n &&
  step "build bin/test" ninja -C "$top" bin/test; then
  out=$("$top/bin/test" 0)
  [ "$out" = $'Progress:\ndone' ] || fail "bin/test 0 printed: $out"
fi

# Alone with the defaults, GoogleTest, Google Benchmark and Python out of
# reach: every rule of the library and the programs.
no_tools=(-DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON
  -DCMAKE_DISABLE_FIND_PACKAGE_Python3=ON)
step "configure the tree with the defaults and no test tools" cmake -S "$src" -B "$bb_tmp/plain" -G Ninja \
  "${no_tools[@]}" && step "ninja -n, every rule of the plain build" ninja -C "$bb_tmp/plain" -n

# As a subproject, with the defaults: the library alone, linked both ways by
# the parent's programs, whose tests pass; the install holds the library and
# no programs or manual pages.
parent=$bb_tmp/parent
if step "configure the parent" cmake -S "$src/packaging/tests/parent" -B "$parent" -G Ninja \
  -DPARWORK_SOURCE_DIR="$src" "${no_tools[@]}" &&
  step "build the parent" ninja -C "$parent" &&
  step "the parent's tests" ctest --test-dir "$parent" --output-on-failure; then
  built=$(find "$parent/parwork" -type f -perm -u+x \( -name forktally -o -name duotally -o -name zel_phaser_demo \))
  [ -z "$built" ] || fail "the subproject built programs: $built"
  step "install the parent" cmake --install "$parent" --prefix "$bb_tmp/prefix"
  [ -n "$(find "$bb_tmp/prefix" -name 'libzel_phaser.so.*')" ] || fail "the library was not installed"
  [ -z "$(find "$bb_tmp/prefix" -path '*/man/*' -o -name forktally -o -path '*/libexec/*')" ] ||
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

finish
