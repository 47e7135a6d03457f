#!/usr/bin/env bash
# Builds the Debian packages as Debian does, with dpkg-buildpackage in
# scratch copies of the source tree (the tree itself stays clean), and checks
# them: the changelog's version is the project's; the build runs the
# library's and the manual pages' tests, and a second build, with nocheck, in
# another directory and with the source package, writes the same .deb files
# byte for byte; lintian finds nothing in the binary or the source
# packages, every tag fixed or overridden in debian/*.lintian-overrides; the
# control data and the contents are the packages' own; the copyright file
# carries LICENSE; a C program and a CMake project build and run against the
# library and development packages unpacked into a scratch root; and the
# packages pass their own tests (debian/tests), run by autopkgtest on this
# machine. Exit status 77 (skipped) without dpkg-buildpackage, debhelper,
# lintian or pkg-config; without autopkgtest or root, the packages' own
# tests alone are skipped, with a line that says so.
# usage: deb_test.sh SOURCE_DIR VERSION
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../../testing/blackbox.sh"
src=$1
version=$2
skip_without "Debian packages dpkg-dev, debhelper, lintian, pkgconf" \
  dpkg-buildpackage dh lintian pkg-config
source "$src/phaser/tests/consumer/check.sh"

changelog_version=$(dpkg-parsechangelog -l "$src/debian/changelog" -S Version)
[ "$changelog_version" = "$version" ] || {
  fail "debian/changelog is at version $changelog_version, the project at $version"
  exit 1
}

# copy_source DIR: the source as git sees it (tracked or new, not ignored:
# no build folders), or the whole tree outside git.
copy_source() {
  mkdir -p "$1"
  if git -C "$src" rev-parse --git-dir >/dev/null 2>&1; then
    git -C "$src" ls-files -z --cached --others --exclude-standard |
      tar -C "$src" --null -T - --ignore-failed-read -c 2>/dev/null | tar -x -C "$1"
  else
    tar -C "$src" -c . | tar -x -C "$1"
  fi
}
# A build run by make or ctest must not hand its job server or flags down.
unset MAKEFLAGS MFLAGS MAKELEVEL DEB_BUILD_OPTIONS DEB_BUILD_PROFILES

arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -q DEB_HOST_MULTIARCH)
debs=("libzel-phaser0_$version" "libzel-phaser-dev_$version" "parwork_$version"
  "libzel-phaser0-dbgsym_$version" "parwork-dbgsym_$version")
debs=("${debs[@]/%/_$arch.deb}")

# The build with its tests, which must have run the phaser's and the manual
# pages' tests, all passing.
out=$bb_tmp/build
copy_source "$out/parwork"
step "dpkg-buildpackage -us -uc -b" env -C "$out/parwork" DEB_BUILD_OPTIONS=parallel=2 \
  dpkg-buildpackage -us -uc -b || exit 1
for deb in "${debs[@]}"; do
  [ -f "$out/$deb" ] || { fail "$deb was not written; the build wrote: $(ls "$out")"; exit 1; }
done
if grep -q '^100% tests passed' "$bb_tmp/log" && grep -Eq '^phaser +=' "$bb_tmp/log" &&
  grep -Eq '^man +=' "$bb_tmp/log"; then
  pass "the package build runs the phaser's and the manual pages' tests"
else
  fail "the package build ran no phaser and manual page tests, or not all passed"
fi

# The build without tests, of the source package too, elsewhere; it cleans
# up after itself, so that its tree can serve autopkgtest.
other=$bb_tmp/other/place
copy_source "$other/parwork"
step "dpkg-buildpackage -us -uc -Pnocheck -tc, DEB_BUILD_OPTIONS=nocheck" env -C "$other/parwork" \
  DEB_BUILD_OPTIONS="parallel=2 nocheck" dpkg-buildpackage -us -uc -Pnocheck -tc || exit 1
for deb in "${debs[@]}"; do
  cmp -s "$out/$deb" "$other/$deb" || fail "$deb differs between the builds with tests and with nocheck"
done

# The binary packages and the source package.
if lintian -i -I -E --pedantic --display-experimental --fail-on error,warning,info,pedantic \
  "$other/parwork_${version}_$arch.changes" >"$bb_tmp/lintian" 2>"$bb_tmp/lintian.err" &&
  [ ! -s "$bb_tmp/lintian" ]; then
  pass "lintian -i -I -E --pedantic --display-experimental finds nothing"
else
  cat "$bb_tmp/lintian" "$bb_tmp/lintian.err"
  fail "lintian -i -I -E --pedantic --display-experimental"
fi

lib=$out/libzel-phaser0_${version}_$arch.deb
dev=$out/libzel-phaser-dev_${version}_$arch.deb
programs=$out/parwork_${version}_$arch.deb

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
# is DEB FIELD VALUE: the control field has the value.
is() {
  [ "$(field "$1" "$2")" = "$3" ] || fail "$(basename "$1"): $2 is '$(field "$1" "$2")', want '$3'"
}

libdir=/usr/lib/$(re_quote "$multiarch")
v=$(re_quote "$version")

# The shared library, with Depends computed, at the multiarch path; its
# shlibs file asks for the upstream version.
is "$lib" Section libs
is "$lib" Multi-Arch same
grep -Eq '(^|, )libc6 \(>= [0-9.]+\)' <<<"$(field "$lib" Depends)" ||
  fail "libzel-phaser0's Depends was not computed: '$(field "$lib" Depends)'"
has "$lib" "$libdir/libzel_phaser\\.so\\.0 -> libzel_phaser\\.so\\.$v" "$libdir/libzel_phaser\\.so\\.$v" \
  /usr/share/doc/libzel-phaser0/copyright
lacks "$lib" "$libdir/libzel_phaser\\.so( .*)?"
lacks "$lib" '/usr/include/.*'
mkdir "$bb_tmp/control"
dpkg-deb -e "$lib" "$bb_tmp/control"
[ "$(cat "$bb_tmp/control/shlibs")" = "libzel_phaser 0 libzel-phaser0 (>= $version)" ] ||
  fail "shlibs: $(cat "$bb_tmp/control/shlibs")"

# The development files depend on exactly this library package.
is "$dev" Section libdevel
is "$dev" Multi-Arch same
is "$dev" Depends "libzel-phaser0 (= $version)"
has "$dev" /usr/include/zel_phaser\\.h /usr/include/zel_phaser_version\\.h "$libdir/libzel_phaser\\.a" \
  "$libdir/libzel_phaser\\.so -> libzel_phaser\\.so\\.0" "$libdir/pkgconfig/zel_phaser\\.pc" \
  "$libdir/pkgconfig/zel_phaser_static\\.pc" "$libdir/cmake/zel_phaser/zel_phaserConfig\\.cmake" \
  /usr/share/man/man3/zel_phaser\\.3\\.gz '/usr/share/man/man3/tid_slot\.3\.gz -> zel_phaser\.3\.gz' \
  /usr/share/doc/libzel-phaser-dev/copyright /usr/share/doc/libzel-phaser-dev/README\\.md\\.gz \
  /usr/share/doc/libzel-phaser-dev/design\\.md\\.gz
lacks "$dev" "$libdir/libzel_phaser\\.so\\.0.*"
lacks "$dev" '/usr/share/man/man1/.*'

# The programs, with `test` out of the way of test(1).
is "$programs" Section utils
grep -Eq '(^|, )libc6 \(>= [0-9.]+\)' <<<"$(field "$programs" Depends)" ||
  fail "parwork's Depends was not computed: '$(field "$programs" Depends)'"
has "$programs" /usr/bin/forktally /usr/bin/duotally /usr/libexec/parwork/test \
  /usr/share/man/man1/forktally\\.1\\.gz /usr/share/man/man1/duotally\\.1\\.gz /usr/share/doc/parwork/copyright
lacks "$programs" /usr/bin/test
lacks "$programs" '/usr/lib/.*'

# The copyright file carries LICENSE: its holder and, in the last paragraph,
# the licence's text, indented, with "." for each empty line.
root=$bb_tmp/root
dpkg-deb -x "$lib" "$root" && dpkg-deb -x "$dev" "$root"
copyright=$root/usr/share/doc/libzel-phaser0/copyright
grep -qx "Copyright: $(sed -n 's/^Copyright (c) //p' "$src/LICENSE")" "$copyright" ||
  fail "the copyright file's holder is not LICENSE's: $(grep '^Copyright:' "$copyright")"
licence=$(sed -n '/^Permission is hereby granted/,$p' "$src/LICENSE")
carried=$(awk '/^License: / { n = 0; next } { text[++n] = $0 } END { for (i = 1; i <= n; ++i) print text[i] }' \
  "$copyright" | sed 's/^ //; s/^\.$//')
[ "$carried" = "$licence" ] || fail "the copyright file's licence differs from LICENSE's"

# The pkg-config files name /usr, which the sysroot leads to the root.
PKG_CONFIG_SYSROOT_DIR=$root check_consumers "$root/usr" "$root/usr/lib/$multiarch/pkgconfig"

# The packages' own tests, by autopkgtest on this machine, which installs
# the packages and their tests' dependencies for them; the packages are
# purged afterwards. One run at a time (a lock in /run/lock), and not where
# one of them is installed already: the purge would take it from its user.
own_tests() {
  local installed
  installed=$(dpkg-query -W -f '${db:Status-Abbrev} ${Package}\n' libzel-phaser0 libzel-phaser-dev parwork \
    2>/dev/null | awk '$1 ~ /^.i/ { printf " %s", $2 }')
  if [ -n "$installed" ]; then
    echo "SKIP: installed already:$installed; the packages' own tests did not run"
    return
  fi
  if step "autopkgtest -B the .deb files . -- null" env -C "$other/parwork" \
    autopkgtest -B "$lib" "$dev" "$programs" . -- null; then
    pass "autopkgtest: the packages pass their own tests"
  else
    sed -n 's|^FAIL |  failed in debian/tests: |p' "$bb_tmp/log"
  fi
  step "apt-get purge the packages" apt-get purge -y libzel-phaser0 libzel-phaser-dev parwork
}
if ! command -v autopkgtest >/dev/null; then
  echo "SKIP: autopkgtest is missing (Debian package autopkgtest): the packages' own tests did not run"
elif ((EUID != 0)); then
  echo "SKIP: autopkgtest installs the packages on this machine, which takes root: the packages' own tests did not run"
elif exec 9>/run/lock/parwork-autopkgtest && flock -w 300 9; then
  own_tests
  exec 9>&-
else
  fail "another run of the packages' own tests held /run/lock/parwork-autopkgtest for 300 s"
fi
finish
