#!/usr/bin/env bash
# The shared library as its users' programs and Debian see it: its SONAME,
# the libraries it needs (the C library and the dynamic loader, which
# provides thread-local storage; no libstdc++, libm or libgcc_s), and its
# exported symbols, which must be exactly those of the Debian symbols file,
# each at the version node that the file gives. And the archive as a user's
# shared library that links it whole sees it: it exports the API at most,
# nothing of the library's internals.
# usage: shared_library_test.sh LIBRARY ARCHIVE SYMBOLS_FILE
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../../testing/blackbox.sh"
lib=$1
archive=$2
symbols_file=$3

dynamic=$(readelf -d "$lib") || { echo "FAIL: readelf cannot read $lib"; exit 1; }
soname=$(sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p' <<<"$dynamic")
want_soname=$(head -n 1 "$symbols_file" | cut -d ' ' -f 1)
[ "$soname" = "$want_soname" ] || fail "SONAME is '$soname', the symbols file names '$want_soname'"

needed=$(sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' <<<"$dynamic")
[ -n "$needed" ] || fail "no NEEDED entries: is $lib a shared library?"
for n in $needed; do
  case $n in
    libc.so.6 | ld-linux*.so.*) ;;
    *) fail "the library needs $n; it may need only libc.so.6 and the dynamic loader" ;;
  esac
done

# Defined dynamic symbols as name@version, the form of the symbols file: nm
# marks a function's default version with "@@" and lists the version node
# itself (type A) by its bare name.
exported=$(nm -D --defined-only "$lib" | awk '$2 == "A" { print $3 "@" $3; next } { print $NF }' |
  sed 's/@@/@/' | sort)
listed=$(sed -n 's/^ \([^ ]*\) .*/\1/p' "$symbols_file" | sort)
if [ "$exported" != "$listed" ]; then
  fail "exported symbols differ from $symbols_file (< exported, > listed):"
  diff <(echo "$exported") <(echo "$listed") | grep '^[<>]'
fi

# The archive inside a user's shared library: every defined dynamic symbol
# of the result is an API function (the version node aside).
api=$(grep -v '^ZEL_PHASER_' <<<"$listed" | sed 's/@.*//')
if step "a shared library links the archive whole" cc -shared -o "$bb_tmp/libuser.so" \
  -Wl,--whole-archive "$archive" -Wl,--no-whole-archive -pthread; then
  foreign=$(nm -D --defined-only "$bb_tmp/libuser.so" | awk '{ print $NF }' | sort | comm -23 - <(sort <<<"$api"))
  [ -z "$foreign" ] || fail "a shared library linking the archive exports more than the API: $(tr '\n' ' ' <<<"$foreign")"
fi
finish
