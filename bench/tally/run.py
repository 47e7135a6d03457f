#!/usr/bin/env python3
"""Benchmarks of forktally and duotally, with medians and ratios.

Runs, from one build directory (the release preset's by default):
  * tally_bench scan: two threads reading the array at the memory's limit,
    counting it with the workload's kernel, and with the plain loop;
  * tally_bench fill: where the fill's time goes (generator vs page faults)
    and the whole fill against the straightforward srand/rand fill;
  * the programs themselves against their straightforward builds
    (forktally_plain, duotally_plain), alternating run by run: the elapsed
    time each prints, and the wall time of the whole run, fill included.

Usage: python3 bench/tally/run.py [BUILD_DIR] [--reps N]
Only the standard library is used. Nothing here asserts a time: the ratios
are printed beside the targets for a person to read.
"""
import argparse
import os
import re
import statistics
import subprocess
import sys
import time


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return "unknown CPU"


def huge_page_mode():
    try:
        with open("/sys/kernel/mm/transparent_hugepage/enabled") as f:
            return re.search(r"\[(\w+)\]", f.read()).group(1)
    except (OSError, AttributeError):
        return "unknown"


def tally_bench(exe, mode, reps):
    out = subprocess.run([exe, mode, str(reps)], check=True, capture_output=True, text=True).stdout
    samples = {}
    for line in out.splitlines():
        kind, name, ms = line.split()
        if kind == "sample":
            samples.setdefault(name, []).append(float(ms))
    return {name: statistics.median(v) for name, v in samples.items()}


ELAPSED = re.compile(r"^Elapsed time \(ms\) = (\d+\.\d{6})$", re.M)
COUNT = re.compile(r"^Count of 3 = \d+$", re.M)


def run_program(argv):
    start = time.perf_counter()
    out = subprocess.run(argv, check=True, capture_output=True, text=True).stdout
    wall = (time.perf_counter() - start) * 1000.0
    return float(ELAPSED.search(out).group(1)), wall, COUNT.search(out).group(0)


def verdict(ratio, limit):
    return "met" if ratio <= limit else "MISSED"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    parser.add_argument("build", nargs="?", default=os.path.join(root, "build", "release"))
    parser.add_argument("--reps", type=int, default=5, help="runs of each program (default 5)")
    args = parser.parse_args()
    bindir = os.path.join(args.build, "bin")
    exe = lambda name: os.path.join(bindir, name)
    for name in ("tally_bench", "forktally", "duotally", "forktally_plain", "duotally_plain"):
        if not os.access(exe(name), os.X_OK):
            sys.exit(f"run.py: {exe(name)} is missing; build the release preset first")

    print(f"machine: {os.cpu_count()} CPUs, {cpu_model()}, transparent huge pages: {huge_page_mode()}")
    scan = tally_bench(exe("tally_bench"), "scan", 21)
    fill = tally_bench(exe("tally_bench"), "fill", 3)
    first = {}
    for _ in range(9):
        for mode in ("first-read", "first-count"):
            for name, ms in tally_bench(exe("tally_bench"), mode, 1).items():
                first.setdefault(name, []).append(ms)
    first = {name: statistics.median(v) for name, v in first.items()}

    cases = [("forktally", ["1"]), ("forktally", ["2"]), ("forktally", ["4"]), ("duotally", [])]
    elapsed, wall, counts = {}, {}, set()
    for _ in range(args.reps):
        for prog, argv in cases:
            for variant in (prog, prog + "_plain"):
                key = " ".join([variant] + argv)
                e, w, c = run_program([exe(variant)] + argv)
                elapsed.setdefault(key, []).append(e)
                wall.setdefault(key, []).append(w)
                counts.add(c)
    if len(counts) != 1:
        sys.exit(f"run.py: the programs disagree on the count: {sorted(counts)}")
    med = lambda d, k: statistics.median(d[k])

    print(f"\nscan, two threads over the 800 MB array (median of 21, ms)")
    for name in ("read_limit_2t", "count_workload_2t", "count_plain_2t"):
        print(f"  {name:22} {scan[name]:9.2f}")
    print(f"\nfirst pass after the fill, one per process (median of 9, ms)")
    for name in ("first_read_limit_2t", "first_count_workload_2t"):
        print(f"  {name:22} {first[name]:9.2f}")
    print(f"\nfill of 209,715,200 elements (median of 3, ms)")
    for name in ("gen_rand", "gen_workload", "faults_4k", "faults_huge", "fill_plain", "fill_no_helper", "fill_workload"):
        print(f"  {name:22} {fill[name]:9.1f}")
    print(f"\nprograms (median of {args.reps} runs, ms): elapsed line / wall time of the whole run")
    for key in elapsed:
        print(f"  {key:22} {med(elapsed, key):9.2f} / {med(wall, key):8.1f}")

    limit = scan["read_limit_2t"]
    first_limit = first["first_read_limit_2t"]
    rows = [
        ("1", "count / read limit, two threads, warm array", scan["count_workload_2t"] / limit, 1.3),
        ("1", "count / read limit, two threads, first pass", first["first_count_workload_2t"] / first_limit, 1.3),
        ("1", "duotally elapsed / read limit, first pass", med(elapsed, "duotally") / first_limit, 1.3),
        ("-", "duotally elapsed / read limit, warm array", med(elapsed, "duotally") / limit, None),
        ("2", "forktally 1 elapsed / plain", med(elapsed, "forktally 1") / med(elapsed, "forktally_plain 1"), 0.4),
        ("2", "forktally 2 elapsed / plain", med(elapsed, "forktally 2") / med(elapsed, "forktally_plain 2"), 0.4),
        ("3", "forktally 4 whole run / plain", med(wall, "forktally 4") / med(wall, "forktally_plain 4"), 0.4),
        ("3", "duotally whole run / plain", med(wall, "duotally") / med(wall, "duotally_plain"), 0.4),
        ("-", "fill / srand+rand fill", fill["fill_workload"] / fill["fill_plain"], None),
        ("-", "generator / rand()", fill["gen_workload"] / fill["gen_rand"], None),
        ("-", "fill / fill without the populating helper", fill["fill_workload"] / fill["fill_no_helper"], None),
    ]
    print("\nratios")
    for target, what, ratio, lim in rows:
        tail = f"  (target {target}: <= {lim}, {verdict(ratio, lim)})" if lim else ""
        print(f"  {what:48} {ratio:6.3f}{tail}")


if __name__ == "__main__":
    main()
