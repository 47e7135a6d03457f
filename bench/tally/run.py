#!/usr/bin/env python3
"""Benchmarks of forktally and duotally, with medians, ratios and the targets.

Runs, from one build directory (the release preset's by default):
  * tally_bench scan: two threads over the warm 800 MB array, every kernel in
    turn: the independent references (built apart, -O3 -march=native: a pure
    OR read, the plain loop, an intrinsics count), the plain loop at -O3 for
    the baseline instruction set, each level of the workload's kernel this CPU
    runs, and workload_count as the loader bound it;
  * tally_bench block: the same kernels on one thread, a warm 64 MiB block and
    a cache-resident 256 KiB block;
  * tally_bench fill: where the fill's time goes;
  * back to back, repetition by repetition: the floor of a whole run
    (tally_bench floor: two threads write the array with a free generator on
    huge pages, then two threads count it), the programs (the elapsed time
    each prints and the wall time of the whole run, fill included), and
    tally_bench first KERNEL, one process per sample: the first pass over
    the freshly written array, for the references and the workload's kernel;
  * then the straightforward builds (*_plain at -O2, *_plain_o3 at -O3).
The read limit is the fastest reference, warm against warm and first pass
against first pass.

Usage: python3 bench/tally/run.py [BUILD_DIR] [--reps N]
Only the standard library is used. Nothing here asserts a time: the targets
are printed with the measured ratio for a person to read.
"""
import argparse
import os
import re
import statistics
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # no __pycache__ beside the scripts
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from machine import VECTOR_FLAGS as VECTOR_LEVELS, huge_page_mode  # noqa: E402

REFERENCES = ("native_or", "native_plain", "native_intrinsics")
FIRST_KERNELS = REFERENCES + ("plain_o3", "workload")
PROGRAMS = ("tally_bench", "forktally", "duotally", "forktally_plain", "duotally_plain",
            "forktally_plain_o3", "duotally_plain_o3")


def commit():
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    try:
        done = subprocess.run(["git", "-C", root, "describe", "--always", "--dirty"],
                              capture_output=True, text=True)
        return done.stdout.strip() or "unknown"
    except OSError:
        return "unknown"


def tally_bench(exe, *args):
    """({name: [samples]}, {info key: value}) of one tally_bench run."""
    out = subprocess.run([exe, *map(str, args)], check=True, capture_output=True, text=True).stdout
    samples, info = {}, {}
    for line in out.splitlines():
        kind, name, value = line.split(" ", 2)
        if kind == "sample":
            samples.setdefault(name, []).append(float(value))
        elif kind == "info":
            info[name] = value
    return samples, info


def medians(samples):
    return {name: statistics.median(v) for name, v in samples.items()}


def machine(info):
    """One line naming the CPU, its vector levels, cores, kernel level and THP mode."""
    flags = info.get("vector", "").split()
    vector = " ".join(f for f in VECTOR_LEVELS if f in flags) or "unknown"
    return (f"{info.get('cpu', 'unknown CPU')}; {os.cpu_count()} CPUs; vector: {vector}; "
            f"kernel level: {info.get('level', 'unknown')}; transparent huge pages: "
            f"{huge_page_mode()}")


ELAPSED = re.compile(r"^Elapsed time \(ms\) = (\d+\.\d{6})$", re.M)
COUNT = re.compile(r"^Count of 3 = \d+$", re.M)


def run_program(argv):
    start = time.perf_counter()
    out = subprocess.run(argv, check=True, capture_output=True, text=True).stdout
    wall = (time.perf_counter() - start) * 1000.0
    return float(ELAPSED.search(out).group(1)), wall, COUNT.search(out).group(0)


def huge_reps(reps):
    """Repetitions of the huge-page processes: each takes a fraction of a second,
    and their medians are compared with each other within a few percent."""
    return max(reps, 21)


def programs(exe, reps):
    """Medians of the elapsed line and of the whole run's wall time per program, of
    the first pass per kernel, and the floor of a whole run as wall["floor"].

    The processes that put the array on huge pages (the floor, the programs, the
    first passes) run back to back, alternating repetition by repetition, at
    least 21 times; the straightforward builds run reps times, after all of them. Between runs on small pages
    the huge pages would have to be assembled again, and freed memory goes back
    to the hypervisor after a second or so idle, which would charge each
    program for its neighbour."""
    cases = [("forktally", ["1"]), ("forktally", ["2"]), ("forktally", ["4"]), ("duotally", [])]
    elapsed, wall, first, counts = {}, {}, {}, set()

    def run(key, argv):
        e, w, c = run_program(argv)
        elapsed.setdefault(key, []).append(e)
        wall.setdefault(key, []).append(w)
        counts.add(c)

    for _ in range(huge_reps(reps)):
        start = time.perf_counter()
        tally_bench(exe("tally_bench"), "floor")
        wall.setdefault("floor", []).append((time.perf_counter() - start) * 1000.0)
        for prog, argv in cases:
            run(" ".join([prog] + argv), [exe(prog)] + argv)
        for kernel in FIRST_KERNELS:
            for name, v in tally_bench(exe("tally_bench"), "first", kernel)[0].items():
                first.setdefault(name, []).extend(v)
    for _ in range(reps):
        for prog, argv in cases:
            for variant in (prog + "_plain", prog + "_plain_o3"):
                run(" ".join([variant] + argv), [exe(variant)] + argv)
    if len(counts) != 1:
        sys.exit(f"run.py: the programs disagree on the count: {sorted(counts)}")
    order = [" ".join([v] + a) for p, a in cases for v in (p, p + "_plain", p + "_plain_o3")]
    return ({k: statistics.median(elapsed[k]) for k in order},
            {k: statistics.median(wall[k]) for k in order + ["floor"]}, medians(first))


def table(title, rows, out=sys.stdout):
    print(f"\n{title}", file=out)
    for name, value in rows:
        print(f"  {name:30} {value:9.2f} ms", file=out)


def measure(build, reps):
    """Every measurement of this script on the programs in BUILD/bin, as a dict."""
    bindir = os.path.join(build, "bin")
    exe = lambda name: os.path.join(bindir, name)
    missing = [name for name in PROGRAMS if not os.access(exe(name), os.X_OK)]
    if missing:
        raise FileNotFoundError(f"{', '.join(exe(m) for m in missing)} missing; "
                                "build the release preset first")
    bench = exe("tally_bench")
    scan, info = tally_bench(bench, "scan", 11)
    r = {"machine": machine(info), "commit": commit(), "reps": reps, "huge_reps": huge_reps(reps),
         "scan": medians(scan)}
    r["block"] = medians(tally_bench(bench, "block", 5)[0])
    r["fill"] = medians(tally_bench(bench, "fill", 3)[0])
    r["elapsed"], r["wall"], r["first"] = programs(exe, reps)
    r["limit"] = min(r["scan"][k + "_2t"] for k in REFERENCES)
    r["first_limit"] = min(r["first"][f"first_{k}_2t"] for k in REFERENCES)
    return r


def ratios(r):
    """(what, ratio, goal or None) for the count against its references and the targets."""
    scan, first, elapsed, wall = r["scan"], r["first"], r["elapsed"], r["wall"]
    limit, first_limit = r["limit"], r["first_limit"]
    return [
        ("count / read limit, warm", scan["workload_2t"] / limit, None),
        ("count / read limit, first pass", first["first_workload_2t"] / first_limit, None),
        ("duotally elapsed / read limit, first pass", elapsed["duotally"] / first_limit, 1.15),
        ("duotally elapsed / plain -O3", elapsed["duotally"] / elapsed["duotally_plain_o3"], 1.0),
        ("forktally 2 elapsed / duotally elapsed", elapsed["forktally 2"] / elapsed["duotally"], 1.3),
        ("forktally 1 elapsed / straightforward",
         elapsed["forktally 1"] / elapsed["forktally_plain 1"], 0.4),
        ("forktally 2 elapsed / straightforward",
         elapsed["forktally 2"] / elapsed["forktally_plain 2"], 0.4),
        ("duotally whole run / floor", wall["duotally"] / wall["floor"], 2.0),
        ("forktally 4 whole run / floor", wall["forktally 4"] / wall["floor"], 2.5),
        ("duotally whole run / straightforward", wall["duotally"] / wall["duotally_plain"], 0.2),
        ("forktally 4 whole run / straightforward",
         wall["forktally 4"] / wall["forktally_plain 4"], 0.2),
    ]


def kernel_names(r):
    return [k[:-3] for k in r["scan"]]  # names without "_2t", in tally_bench's order


def report(r, out=sys.stdout):
    """Prints the measurements of measure() as tables, then the ratios."""
    p = lambda *a, **k: print(*a, **k, file=out)
    scan, first, block, fill = r["scan"], r["first"], r["block"], r["fill"]
    elapsed, wall = r["elapsed"], r["wall"]
    kernels = kernel_names(r)
    p(f"machine: {r['machine']}; commit {r['commit']}")
    table("warm array, two threads (median of 11)", [(k, scan[k + "_2t"]) for k in kernels], out)
    table(f"first pass over the fresh array, two threads, one process each "
          f"(median of {r['huge_reps']})",
          [(k, first[f"first_{k}_2t"]) for k in FIRST_KERNELS], out)
    table("one thread, warm 64 MiB block / 256 KiB block x 256 (median of 5)",
          [(f"{k} 64M", block[k + "_64m"]) for k in kernels] +
          [(f"{k} 256K x256", block[k + "_256k_x256"]) for k in kernels], out)
    table("fill of 209,715,200 elements (median of 3)", sorted(fill.items()), out)
    p(f"\nprograms (median of {r['huge_reps']} runs, of {r['reps']} for the straightforward "
      "builds; ms): elapsed line / wall time of the whole run")
    for key in elapsed:
        p(f"  {key:30} {elapsed[key]:9.2f} / {wall[key]:8.1f}")
    p(f"  {'floor of a whole run':30} {'':9} / {wall['floor']:8.1f}"
      "  (two threads write the array with a free generator, then count it)")
    p(f"\nread limit: the fastest reference; warm {r['limit']:.2f} ms, "
      f"first pass {r['first_limit']:.2f} ms")
    p("\nratios (limit: the goal for the ratio; 'over' means this run measured above it,\n"
      "which on a shared machine can be noise: rerun at a quiet time before reading it)")
    for what, ratio, goal in ratios(r):
        tail = "" if goal is None else f"  limit {goal:4.2f}: {'within' if ratio <= goal else 'over'}"
        p(f"  {what:44} {ratio:6.3f}{tail}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    parser.add_argument("build", nargs="?", default=os.path.join(root, "build", "release"))
    parser.add_argument("--reps", type=int, default=5, help="runs of each program (default 5)")
    args = parser.parse_args()
    try:
        results = measure(args.build, args.reps)
    except FileNotFoundError as e:
        sys.exit(f"run.py: {e}")
    report(results)


if __name__ == "__main__":
    main()
