#!/usr/bin/env bash
# Installs the build tree into a scratch prefix, stripped, checks what lands
# where (the programs installed as targets, so stripped like the library),
# moves the installed tree elsewhere (every path in it must be relative), and
# builds and runs a C program against the moved tree four ways
# (consumer/check.sh).
# usage: install_test.sh BUILD_DIR CONSUMER_SOURCE_DIR
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../../testing/blackbox.sh"
build=$1
source "$2/check.sh"

step "cmake --install --strip" cmake --install "$build" --prefix "$bb_tmp/installed" --strip || exit 1
mv "$bb_tmp/installed" "$bb_tmp/prefix"
prefix=$bb_tmp/prefix
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
for f in bin/forktally bin/duotally libexec/parwork/test; do
  if readelf -S "$prefix/$f" | grep -q '\.symtab'; then fail "$f was not stripped"; fi
done
[ ! -e "$prefix/bin/test" ] || fail "a program called test was installed into bin, shadowing test(1)"
[ -L "$prefix/share/man/man3/tid_slot.3" ] || fail "the manual page link tid_slot.3 is not a link"
if grep -rq "$bb_tmp/installed" "$prefix"; then
  fail "installed files name the prefix they were installed to: $(grep -rl "$bb_tmp/installed" "$prefix")"
fi

check_consumers "$prefix" "$pcdir"
finish
