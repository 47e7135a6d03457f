#!/usr/bin/env python3
"""Which release added each function of the library, and at which symbol
version: what the symbols file lists (" name@NODE X.Y.Z", checked against
the library's exports by shared_library_test.sh) must be what the header
says above each declaration (" * Since X.Y (NODE).") and what the VERSIONS
section of zel_phaser(3) says (a tag "X.Y (NODE)", then the functions).

usage: versions_test.py SYMBOLS_FILE HEADER PAGE
"""
import os
import re
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "man"))
from check_pages import rendered  # noqa: E402
from checks import check, finish  # noqa: E402  (check_pages puts testing/ on the path)


def listed(symbols_file):
    added = {}
    with open(symbols_file) as f:
        for name, node, version in re.findall(r"^ (\w+)@(\S+) (\d+\.\d+)\S*", f.read(), re.M):
            if name != node:  # not the version node itself
                added[name] = f"{version} ({node})"
    return added


def declared(header):
    added, since = {}, None
    with open(header) as f:
        for line in f:
            said = re.match(r" \* Since (.*)\.$", line)
            function = re.match(r"(?!typedef)[A-Za-z_][\w \*]*?\b(\w+)\(", line)
            if said:
                since = said[1]
            elif function:
                added[function[1]] = since
                since = None
    return added


def documented(page):
    text = rendered(page)
    section = text[text.index("VERSIONS") + 1:]
    added, tag = {}, None
    for line in section:
        if re.fullmatch(r"[A-Z][A-Z ]*", line):  # the next section
            break
        if re.fullmatch(r"\d+\.\d+ \(\S+\)", line):
            tag = line
        else:
            for name in re.findall(r"\w*_\w*", line):
                added[name] = tag
    return added


def differences(got, want):
    return [f"{name}: {got.get(name)}, not {want.get(name)}"
            for name in sorted(set(got) | set(want)) if got.get(name) != want.get(name)]


def main(symbols_file, header, page):
    want = listed(symbols_file)
    check(len(want) > 0, f"{symbols_file} lists functions")
    for what, got in (("the header's Since lines", declared(header)),
                      ("zel_phaser(3)'s VERSIONS", documented(page))):
        wrong = differences(got, want)
        check(not wrong, f"{what} name the releases of the symbols file" + "".join(f"; {w}" for w in wrong))
    return finish()


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__.strip().splitlines()[-1])
    sys.exit(main(*sys.argv[1:]))
