#!/usr/bin/env bash
# Builds the Debian packages of a build tree with cpack, checks their
# control data and contents, unpacks the library and development packages
# into a scratch root and builds and runs a C program against them through
# pkg-config, with the shared library and with the archive. Exit status 77
# (skipped) without dpkg-dev, file or pkg-config.
# usage: deb_test.sh BUILD_DIR VERSION
set -u
build=$1
version=$2
for tool in dpkg-deb dpkg-shlibdeps file pkg-config; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is missing (Debian packages dpkg-dev, file, pkgconf)"; exit 77; }
done
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

if ! cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/out" >"$scratch/log" 2>&1; then
  cat "$scratch/log"
  echo "FAIL: cpack"
  exit 1
fi
arch=$(dpkg --print-architecture)
lib=$scratch/out/libzel-phaser0_${version}-1_${arch}.deb
dev=$scratch/out/libzel-phaser-dev_${version}-1_${arch}.deb
programs=$scratch/out/parwork_${version}-1_${arch}.deb
for deb in "$lib" "$dev" "$programs"; do
  [ -f "$deb" ] || { echo "FAIL: $(basename "$deb") was not written; cpack wrote: $(ls "$scratch/out")"; exit 1; }
done

# field DEB NAME: the value of control field NAME.
field() { dpkg-deb -f "$1" "$2"; }
# contents DEB: the paths in the package, one a line, links as "path -> target".
contents() { dpkg-deb -c "$1" | awk '{ $1 = $2 = $3 = $4 = $5 = ""; sub(/^ +\./, ""); print }'; }
# has DEB PATTERN...: every extended regular expression matches some path.
has() {
  local deb=$1 listing
  shift
  listing=$(contents "$deb")
  for pattern in "$@"; do
    grep -Eq "^$pattern\$" <<<"$listing" || fail "$(basename "$deb") lacks $pattern"
  done
}
# lacks DEB PATTERN: no path matches.
lacks() {
  if contents "$1" | grep -Eq "^$2\$"; then fail "$(basename "$1") holds $2"; fi
}

# The shared library: Depends computed by dpkg-shlibdeps, symbols and shlibs
# files, ldconfig run on installation.
[ "$(field "$lib" Section)" = libs ] || fail "libzel-phaser0's section is $(field "$lib" Section)"
grep -Eq '(^|, )libc6 \(>= [0-9.]+\)' <<<"$(field "$lib" Depends)" ||
  fail "libzel-phaser0's Depends was not computed: '$(field "$lib" Depends)'"
has "$lib" '/usr/lib/libzel_phaser\.so\.0 -> libzel_phaser\.so\.[0-9.]+' \
  "/usr/lib/libzel_phaser\\.so\\.$version" /usr/share/doc/libzel-phaser0/copyright
lacks "$lib" '/usr/lib/libzel_phaser\.so( .*)?'
lacks "$lib" '/usr/include/.*'
mkdir "$scratch/control"
dpkg-deb -e "$lib" "$scratch/control"
for f in symbols shlibs postinst; do [ -f "$scratch/control/$f" ] || fail "libzel-phaser0 has no $f file"; done
grep -q "^libzel_phaser 0 libzel-phaser0 (>= $version" "$scratch/control/shlibs" ||
  fail "shlibs: $(cat "$scratch/control/shlibs")"
grep -q ldconfig "$scratch/control/postinst" || fail "postinst does not run ldconfig"

# The development files depend on exactly this library package.
[ "$(field "$dev" Section)" = libdevel ] || fail "libzel-phaser-dev's section is $(field "$dev" Section)"
grep -Eq "(^|, )libzel-phaser0 \\(= $version(-1)?\\)" <<<"$(field "$dev" Depends)" ||
  fail "libzel-phaser-dev's Depends: '$(field "$dev" Depends)'"
has "$dev" /usr/include/zel_phaser\\.h /usr/include/zel_phaser_version\\.h /usr/lib/libzel_phaser\\.a \
  '/usr/lib/libzel_phaser\.so -> libzel_phaser\.so\.0' /usr/lib/pkgconfig/zel_phaser\\.pc \
  /usr/lib/pkgconfig/zel_phaser_static\\.pc /usr/lib/cmake/zel_phaser/zel_phaserConfig\\.cmake \
  /usr/share/man/man3/zel_phaser\\.3 '/usr/share/man/man3/tid_slot\.3 -> zel_phaser\.3' \
  /usr/share/doc/libzel-phaser-dev/copyright
lacks "$dev" '/usr/lib/libzel_phaser\.so\.0.*'
lacks "$dev" '/usr/share/man/man1/.*'

# The programs, with `test` out of the way of test(1).
[ "$(field "$programs" Section)" = utils ] || fail "parwork's section is $(field "$programs" Section)"
grep -Eq '(^|, )libc6 \(>= [0-9.]+\)' <<<"$(field "$programs" Depends)" ||
  fail "parwork's Depends was not computed: '$(field "$programs" Depends)'"
has "$programs" /usr/bin/forktally /usr/bin/duotally /usr/libexec/parwork/test \
  /usr/share/man/man1/forktally\\.1 /usr/share/man/man1/duotally\\.1 /usr/share/doc/parwork/copyright
lacks "$programs" /usr/bin/test
lacks "$programs" '/usr/lib/.*'

# Every copyright file carries the licence.
dpkg-deb --fsys-tarfile "$lib" | tar -xO ./usr/share/doc/libzel-phaser0/copyright >"$scratch/copyright"
{ grep -q '^License: Expat' "$scratch/copyright" && grep -q 'Copyright: 2026 The parwork authors' "$scratch/copyright"; } ||
  fail "the copyright file: $(cat "$scratch/copyright")"

# A C program built against the unpacked library and development packages.
root=$scratch/root
dpkg-deb -x "$lib" "$root" && dpkg-deb -x "$dev" "$root"
cat >"$scratch/app.c" <<'PROGRAM'
#include <stdio.h>
#include <zel_phaser.h>
int main(void) {
  zel_phaser_t phaser;
  if (zel_phaser_init(&phaser, 1) != 0 || zel_phaser_advance(&phaser) != 0) return 1;
  if (zel_phaser_current(&phaser) != 1 || zel_phaser_destroy(&phaser) != 0) return 2;
  printf("%d.%d.%d\n", ZEL_PHASER_VERSION_MAJOR, ZEL_PHASER_VERSION_MINOR, ZEL_PHASER_VERSION_PATCH);
  return 0;
}
PROGRAM
export PKG_CONFIG_PATH=$root/usr/lib/pkgconfig
for module in zel_phaser zel_phaser_static; do
  # shellcheck disable=SC2046 # the flags are words
  if cc -o "$scratch/$module" "$scratch/app.c" $(pkg-config --cflags --libs "$module"); then
    loads=no
    readelf -d "$scratch/$module" | grep -q '(NEEDED).*\[libzel_phaser\.so\.0\]' && loads=yes
    want=yes
    [ "$module" = zel_phaser ] || want=no
    [ "$loads" = "$want" ] || fail "built with $module, the program loads libzel_phaser.so.0: $loads"
    out=$(LD_LIBRARY_PATH=$root/usr/lib "$scratch/$module")
    [ "$out" = "$version" ] || fail "built with $module, the program printed '$out', expected $version"
  else
    fail "a C program did not build against the unpacked packages with $module"
  fi
done

if [ "$failures" -ne 0 ]; then
  echo "$failures failure(s)"
  exit 1
fi
echo "three Debian packages built; a C program built and ran against the unpacked library"
