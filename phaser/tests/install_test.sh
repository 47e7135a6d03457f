#!/usr/bin/env bash
# Installs the build tree into a scratch prefix, checks what lands where,
# moves the installed tree elsewhere (every path in it must be relative), and
# builds and runs a C program against the moved tree four ways: through
# pkg-config with zel_phaser.pc (shared) and zel_phaser_static.pc (archive),
# and through find_package with zel_phaser::zel_phaser and
# zel_phaser::zel_phaser_static.
# usage: install_test.sh BUILD_DIR CONSUMER_SOURCE_DIR
set -u
build=$1
consumer=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

cmake --install "$build" --prefix "$scratch/installed" >/dev/null || { echo "FAIL: cmake --install"; exit 1; }
mv "$scratch/installed" "$scratch/prefix"
prefix=$scratch/prefix
export PKG_CONFIG_PATH=
pcdir=$(dirname "$(find "$prefix" -name zel_phaser.pc)")
libdir=$(PKG_CONFIG_PATH=$pcdir pkg-config --variable=libdir zel_phaser)
# pkg-config prints the prefix as it reached it, through ${pcfiledir}.
[ "$(realpath "$libdir")" = "$(realpath "$pcdir/..")" ] || fail "zel_phaser.pc's libdir is $libdir"

# What lands where.
for f in include/zel_phaser.h include/zel_phaser_version.h libexec/parwork/test bin/forktally \
  bin/duotally share/man/man1/forktally.1 share/man/man3/zel_phaser.3; do
  [ -f "$prefix/$f" ] || fail "$f was not installed"
done
for f in libzel_phaser.a libzel_phaser.so libzel_phaser.so.0 pkgconfig/zel_phaser_static.pc \
  cmake/zel_phaser/zel_phaserConfig.cmake; do
  [ -e "$libdir/$f" ] || fail "$f was not installed into $libdir"
done
[ -x "$prefix/libexec/parwork/test" ] || fail "libexec/parwork/test is not executable"
[ ! -e "$prefix/bin/test" ] || fail "a program called test was installed into bin, shadowing test(1)"
[ -L "$prefix/share/man/man3/tid_slot.3" ] || fail "the manual page link tid_slot.3 is not a link"
[ ! -e "$prefix/share/doc" ] || fail "a plain install wrote share/doc, which only the packages carry"
if grep -rq "$scratch/installed" "$prefix"; then
  fail "installed files name the prefix they were installed to: $(grep -rl "$scratch/installed" "$prefix")"
fi

# needs PROGRAM LIBRARY_NAME yes|no: whether PROGRAM loads LIBRARY_NAME.
needs() {
  local found=no
  readelf -d "$1" | grep -q "(NEEDED).*\[$2\]" && found=yes
  [ "$found" = "$3" ] || fail "$(basename "$1"): needs $2: $found, expected $3"
}
# run PROGRAM: runs it, finding the shared library in the moved tree.
run() {
  LD_LIBRARY_PATH=$libdir timeout 60 "$1" >/dev/null || fail "$(basename "$1") failed with status $?"
}

for module in zel_phaser zel_phaser_static; do
  flags=$(PKG_CONFIG_PATH=$pcdir pkg-config --cflags --libs "$module") || fail "pkg-config $module"
  version=$(PKG_CONFIG_PATH=$pcdir pkg-config --modversion "$module")
  # shellcheck disable=SC2086 # the flags are words
  if cc -std=c11 -o "$scratch/$module" "$consumer/consumer.c" -DEXPECTED_VERSION="\"$version\"" $flags; then
    if [ "$module" = zel_phaser ]; then needs "$scratch/$module" libzel_phaser.so.0 yes; fi
    if [ "$module" = zel_phaser_static ]; then needs "$scratch/$module" libzel_phaser.so.0 no; fi
    run "$scratch/$module"
  else
    fail "cc with pkg-config $module did not build"
  fi
done

if cmake -S "$consumer" -B "$scratch/build" -DCMAKE_PREFIX_PATH="$prefix" >"$scratch/log" 2>&1 &&
  cmake --build "$scratch/build" >>"$scratch/log" 2>&1; then
  needs "$scratch/build/consumer_shared" libzel_phaser.so.0 yes
  needs "$scratch/build/consumer_static" libzel_phaser.so.0 no
  run "$scratch/build/consumer_shared"
  run "$scratch/build/consumer_static"
else
  cat "$scratch/log"
  fail "the find_package consumer did not build"
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures failure(s)"
  exit 1
fi
echo "the moved install tree served pkg-config and find_package, shared and static"
