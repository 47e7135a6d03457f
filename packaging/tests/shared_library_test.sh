#!/usr/bin/env bash
# The shared library as its users' programs and Debian see it: its SONAME,
# the libraries it needs (the C library and the dynamic loader, which
# provides thread-local storage; no libstdc++, libm or libgcc_s), and its
# exported symbols, which must be exactly those of the Debian symbols file,
# each at the version node that the file gives.
# usage: shared_library_test.sh LIBRARY SYMBOLS_FILE
set -u
lib=$1
symbols_file=$2
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

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

if [ "$failures" -ne 0 ]; then
  echo "$failures failure(s)"
  exit 1
fi
echo "libzel_phaser exports the $(wc -l <<<"$listed") listed symbols and needs only the C library and the loader"
