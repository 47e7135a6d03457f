# Sourced by the tests of an installed or unpacked zel_phaser, after
# testing/blackbox.sh: builds consumer.c against the tree and runs it four
# ways, through pkg-config with zel_phaser.pc (shared) and
# zel_phaser_static.pc (archive), and through find_package with
# zel_phaser::zel_phaser and zel_phaser::zel_phaser_static. Every program
# built with the shared library must load it, none built with the archive
# may, and each must pass its checks, finding the library in the tree.
#
#   check_consumers PREFIX PKGCONFIG_DIR

consumer_dir=$(dirname "${BASH_SOURCE[0]}")

# consumer_needs PROGRAM yes|no: whether PROGRAM loads libzel_phaser.so.0.
consumer_needs() {
  local found=no
  readelf -d "$1" | grep -q '(NEEDED).*\[libzel_phaser\.so\.0\]' && found=yes
  [ "$found" = "$2" ] || fail "$(basename "$1"): loads libzel_phaser.so.0: $found, expected $2"
}

# consumer_run PROGRAM LIBDIR: runs it with the shared library from LIBDIR.
consumer_run() {
  LD_LIBRARY_PATH=$2 timeout 60 "$1" >/dev/null || fail "$(basename "$1") failed with status $?"
}

check_consumers() {
  local prefix=$1 pcdir=$2 module flags version libdir out=$bb_tmp/consumer
  mkdir -p "$out"
  libdir=$(PKG_CONFIG_PATH=$pcdir pkg-config --variable=libdir zel_phaser)
  for module in zel_phaser zel_phaser_static; do
    flags=$(PKG_CONFIG_PATH=$pcdir pkg-config --cflags --libs "$module") || fail "pkg-config $module"
    version=$(PKG_CONFIG_PATH=$pcdir pkg-config --modversion "$module")
    # shellcheck disable=SC2086 # the flags are words
    if cc -std=c11 -o "$out/$module" "$consumer_dir/consumer.c" -DEXPECTED_VERSION="\"$version\"" $flags; then
      if [ "$module" = zel_phaser ]; then consumer_needs "$out/$module" yes; fi
      if [ "$module" = zel_phaser_static ]; then consumer_needs "$out/$module" no; fi
      consumer_run "$out/$module" "$libdir"
    else
      fail "cc with pkg-config $module did not build"
    fi
  done

  if step "the find_package consumer builds" cmake -S "$consumer_dir" -B "$out/build" \
    -DCMAKE_PREFIX_PATH="$prefix" &&
    step "the find_package consumer builds" cmake --build "$out/build"; then
    grep -q "^zel_phaser_DIR:PATH=$(re_quote "$prefix")/" "$out/build/CMakeCache.txt" ||
      fail "find_package found zel_phaser outside $prefix: $(grep '^zel_phaser_DIR' "$out/build/CMakeCache.txt")"
    consumer_needs "$out/build/consumer_shared" yes
    consumer_needs "$out/build/consumer_static" no
    consumer_run "$out/build/consumer_shared" "$libdir"
    consumer_run "$out/build/consumer_static" "$libdir"
  fi
}
