#!/usr/bin/env python3
"""The fill's benchmarks: medians and ratios of whole processes, interleaved.

Runs, from one build directory (the release preset's by default), round after
round so that every variant sees the same machine state:
  * fill_bench gen LEVEL: the generator alone, two threads, every level the
    CPU has;
  * fill_bench fill huge|small: the whole fill on either page size;
  * fill_bench duo|fork4 huge|small and floor-duo|floor-fork4: whole runs
    with the fill on either page size, and the floor of a whole run (a free
    generator writing the array on huge pages);
  * the programs duotally and forktally 4 and their straightforward builds,
    timed from start to exit.

Whole runs follow each other without a pause: where the host takes freed
huge pages back after an idle moment, a pause would measure that instead.
Nothing here asserts a time; the ratios are printed for a person to read.

Usage: python3 bench/tally/fill_run.py [BUILD_DIR] [--rounds N]
"""
import argparse
import os
import statistics
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # no __pycache__ beside the scripts
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import machine  # noqa: E402  (bench/machine.py)


def samples_of(argv):
    out = subprocess.run(argv, check=True, capture_output=True, text=True).stdout
    words = (line.split() for line in out.splitlines())
    return {w[1]: float(w[2]) for w in words if len(w) == 3 and w[0] == "sample"}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    parser.add_argument("build", nargs="?", default=os.path.join(root, "build", "release"))
    parser.add_argument("--rounds", type=int, default=7, help="rounds (default 7)")
    args = parser.parse_args()
    exe = lambda name: os.path.join(args.build, "bin", name)
    for name in ("fill_bench", "duotally", "forktally", "duotally_plain", "forktally_plain"):
        if not os.access(exe(name), os.X_OK):
            sys.exit(f"fill_run.py: {exe(name)} is missing; build the release preset first")

    print(f"machine: {machine.describe()}")
    bench = exe("fill_bench")
    level = subprocess.run([bench, "level"], check=True, capture_output=True, text=True).stdout.strip()
    print(f"the fill's vector level on this CPU: {level}")
    # Groups of variants that are compared with each other, each run in its
    # own interleaved loop so that every variant follows the same kind of
    # process: huge-page runs follow huge-page runs.
    groups = [
        ("generator alone", [[bench, "gen", level] for level in ("sse2", "avx2", "avx512")]),
        ("whole runs on huge pages", [
            [bench, "floor-duo"], [exe("duotally")], [bench, "floor-fork4"], [exe("forktally"), "4"],
            [bench, "fill", "huge"], [bench, "duo", "huge"], [bench, "fork4", "huge"]]),
        ("whole runs, both page sizes", [
            [bench, mode, pages] for mode in ("duo", "fork4") for pages in ("huge", "small")]),
        ("the straightforward builds", [[exe("duotally_plain")], [exe("forktally_plain"), "4"]]),
    ]
    got = {}
    for title, runs in groups:
        rounds = max(3, args.rounds // 2) if title.startswith("the straight") else args.rounds
        for _ in range(rounds):
            for argv in runs:
                start = time.perf_counter()
                s = samples_of(argv)
                wall = (time.perf_counter() - start) * 1000.0
                for name, ms in s.items():
                    got.setdefault(name, []).append(ms)
                if argv[0] != bench or argv[1] not in ("gen", "fill"):
                    name = " ".join([os.path.basename(argv[0]) if argv[0] != bench else ""] + argv[1:])
                    got.setdefault("whole " + name.strip(), []).append(wall)
    med = {name: statistics.median(v) for name, v in got.items()}

    print(f"\nmedians, ms ({args.rounds} rounds, the straightforward builds fewer; fill and count"
          " parts as measured inside the process; whole = process start to exit)")
    for name in sorted(med):
        print(f"  {name:28} {med[name]:9.1f}")

    def ratio(a, b, what):
        if a in med and b in med:
            print(f"  {what:58} {med[a] / med[b]:6.3f}")

    print("\nratios")
    ratio("whole duotally", "whole floor-duo", "duotally whole run / floor of a whole run")
    ratio("whole forktally 4", "whole floor-fork4", "forktally 4 whole run / floor (four children)")
    ratio("whole duotally", "whole duotally_plain", "duotally whole run / straightforward build")
    ratio("whole forktally 4", "whole forktally_plain 4", "forktally 4 whole run / straightforward build")
    ratio("whole duo small", "whole duo huge", "duotally-like run, small pages / huge pages")
    ratio("whole fork4 small", "whole fork4 huge", "forktally-4-like run, small pages / huge pages")
    ratio("fill_huge", "floor-duo_fill", "fill on huge pages / free generator's fill")
    ratio("gen_avx2_2t", "gen_avx512_2t", "generator alone, avx2 / avx512")
    ratio("gen_sse2_2t", "gen_avx512_2t", "generator alone, sse2 / avx512")


if __name__ == "__main__":
    main()
