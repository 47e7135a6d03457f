#!/usr/bin/env bash
# Installs the build tree into a scratch prefix and builds a separate
# project against it with find_package(zel_phaser).
# usage: install_test.sh BUILD_DIR CONSUMER_SOURCE_DIR
set -eu
build=$1
consumer=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
test -f "$scratch/prefix/include/zel_phaser.h"
test -f "$scratch/prefix/lib/pkgconfig/zel_phaser.pc" || test -f "$scratch/prefix/lib64/pkgconfig/zel_phaser.pc" \
  || test -n "$(find "$scratch/prefix" -name zel_phaser.pc)"
if [ -e "$scratch/prefix/bin/test" ]; then
  echo "FAIL: a program called test was installed into bin"
  exit 1
fi
test -x "$scratch/prefix/libexec/parwork/test"

cmake -S "$consumer" -B "$scratch/build" -DCMAKE_PREFIX_PATH="$scratch/prefix" >/dev/null
cmake --build "$scratch/build" >/dev/null
"$scratch/build/consumer"
echo "consumer built and ran against the installed package"
