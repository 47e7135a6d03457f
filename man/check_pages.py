#!/usr/bin/env python3
"""Checks of the manual pages, one CTest test per subcommand.

  groff DIR               every page formats with groff -ww -man without a warning
  mandoc DIR              every page passes mandoc -T lint -W warning; 77 (skip)
                          when mandoc is not installed
  coverage DIR HEADER     every function the header declares has a page name in
                          man3 (a link to zel_phaser.3) and is listed under NAME
  programs DIR FORKTALLY DUOTALLY
                          the usage line and the output lines shown in the pages
                          are what the programs really print

Pages are man1/*.1 and man3/*.3 under DIR; symbolic links are alternative
names of a page and are checked for where they point, not formatted again.
"""
import os
import re
import shutil
import subprocess
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "testing"))
from checks import SKIP, check, finish, main as run_command  # noqa: E402

# The examples show glibc's count; another C library's rand() gives another.
GLIBC = hasattr(os, "confstr") and "CS_GNU_LIBC_VERSION" in os.confstr_names


def pages(root, links=False):
    found = []
    for section in ("man1", "man3"):
        folder = os.path.join(root, section)
        for name in sorted(os.listdir(folder)):
            path = os.path.join(folder, name)
            if name.endswith("." + section[-1]) and os.path.islink(path) == links:
                found.append(path)
    return found


def lint(root, argv):
    for page in pages(root):
        done = subprocess.run(argv + [page], capture_output=True, text=True)
        out = (done.stdout + done.stderr).strip()
        check(done.returncode == 0 and not out, f"{' '.join(argv)} {os.path.basename(page)} {out}")
    return finish()


def cmd_groff(root):
    return lint(root, ["groff", "-ww", "-z", "-man"])


def cmd_mandoc(root):
    if not shutil.which("mandoc"):
        print("skip: mandoc is not installed (Debian package mandoc)")
        return SKIP
    return lint(root, ["mandoc", "-T", "lint", "-W", "warning"])


def rendered(page):
    """The page as plain text, lines stripped, as man -l shows it."""
    text = subprocess.run(["groff", "-man", "-T", "utf8", "-P", "-cbou", page],
                          capture_output=True, text=True, check=True,
                          env=dict(os.environ, MANWIDTH="200")).stdout
    return [line.strip() for line in text.splitlines()]


def cmd_coverage(root, header):
    with open(header) as f:
        declared = re.findall(r"^(?:int|int32_t) (\w+)\(", f.read(), re.M)
    check(len(declared) >= 6, f"the header declares {declared}")
    with open(os.path.join(root, "man3", "zel_phaser.3")) as f:
        source = f.read()
    name = source.split(".SH NAME", 1)[1].split(".SH", 1)[0]
    for fn in declared:
        link = os.path.join(root, "man3", fn + ".3")
        check(fn in re.findall(r"\w+", name), f"{fn} is listed under NAME")
        check(fn == "zel_phaser" or (os.path.islink(link) and os.readlink(link) == "zel_phaser.3"),
              f"man3/{fn}.3 links to zel_phaser.3")
        check(re.search(rf"^\.SS {fn}\(\)$", source, re.M) is not None, f"{fn} has its own subsection")
    for link in pages(root, links=True):
        check(os.path.basename(link)[:-2] in declared, f"{os.path.basename(link)} names a declared function")
    return finish()


def run(argv):
    return subprocess.run(argv, capture_output=True, text=True, timeout=120)


def shape(line):
    """A line with every number made a placeholder: the pages' examples show one run's values."""
    return re.sub(r"\d+", "#", line)


def example_lines(page, command):
    """The output lines that follow '$ command' in the page's EXAMPLES, up to the next prompt."""
    text = rendered(page)
    start = text.index("$ " + command) + 1
    out = []
    for line in text[start:]:
        if not line or line.startswith("$ ") or line.isupper():
            break
        out.append(line)
    return out


def cmd_programs(root, forktally, duotally):
    fork_page = os.path.join(root, "man1", "forktally.1")
    duo_page = os.path.join(root, "man1", "duotally.1")

    bad = run([forktally, "0"])
    want = f"usage: {forktally} num_procs"
    check(bad.returncode == 1 and bad.stderr.strip() == want and not bad.stdout,
          f"forktally 0: status {bad.returncode}, stderr {bad.stderr.strip()!r}")
    text = rendered(fork_page)
    check("usage: name num_procs" in text, "forktally(1) gives the usage line")
    check(example_lines(fork_page, "forktally 0; echo $?") ==
          [want.replace(forktally, "forktally"), str(bad.returncode)], "forktally(1)'s usage example")

    good = run([forktally, "2"])
    check(good.returncode == 0, f"forktally 2: status {good.returncode}")
    shown = example_lines(fork_page, "forktally 4")
    check([shape(l) for l in shown] == [shape(l) for l in good.stdout.splitlines()],
          f"forktally(1)'s example has the program's lines: {shown}")
    if GLIBC:
        check(len(shown) == 3 and shown[1] in good.stdout.splitlines(),
              "forktally(1)'s example shows the count that the program prints")

    duo = run([duotally, "ignored", "arguments"])
    check(duo.returncode == 0 and not duo.stderr, f"duotally: status {duo.returncode}")
    shown = example_lines(duo_page, "duotally")
    check([shape(l) for l in shown] == [shape(l) for l in duo.stdout.splitlines()],
          f"duotally(1)'s example has the program's lines: {shown}")
    if GLIBC:
        check(len(shown) == 2 and shown[0] in duo.stdout.splitlines(),
              "duotally(1)'s example shows the count that the program prints")
    return finish()


def main(argv):
    if len(argv) > 1 and argv[1] in ("groff", "programs") and not shutil.which("groff"):
        sys.exit("check_pages.py: groff is not installed (Debian package groff-base)")
    return run_command("check_pages.py", {"groff": (cmd_groff, 1), "mandoc": (cmd_mandoc, 1),
                                          "coverage": (cmd_coverage, 2),
                                          "programs": (cmd_programs, 3)}, argv)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
