#!/usr/bin/env python3
"""The phaser's time per phase against pthread_barrier and std::barrier.

Runs phaser_bench REPS times (each run measures every benchmark once, so
the contenders alternate and share the machine's moods), then prints the
median time per phase for each thread count and the phaser's ratios to the
two reference barriers. Also prints the demonstration's pattern (workers
advance, one participant awaits) and the cost of a tid_slot look-up.

Usage: python3 bench/phaser/run.py [BUILD_DIR] [--reps N] [--csv FILE]
Only the standard library is used. Nothing here asserts a time.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys

sys.dont_write_bytecode = True  # no __pycache__ beside the scripts
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import machine  # noqa: E402  (bench/machine.py)

KINDS = {
    "BM_zel_phaser_barrier": "zel_phaser",
    "BM_zel_phaser_barrier_at": "zel_phaser, _at",
    "BM_pthread_barrier": "pthread_barrier",
    "BM_std_barrier": "std::barrier",
    "BM_zel_phaser_one_awaiter": "zel_phaser, one awaiter",
}
LOOKUPS = {
    "BM_tid_slot_own": "own slot",
    "BM_tid_slot_walk_to_last": "another thread's slot",
}


def run_once(exe, min_time):
    out = subprocess.run(
        [exe, "--benchmark_format=json", f"--benchmark_min_time={min_time}"],
        check=True, capture_output=True, text=True).stdout
    samples = {}
    for b in json.loads(out)["benchmarks"]:
        family, arg = b["name"].split("/")[:2]
        if family in KINDS:
            samples[(KINDS[family], int(arg))] = b["per_phase"] * 1e6  # us
        elif family in LOOKUPS:
            assert b["time_unit"] == "ns"
            samples[(LOOKUPS[family], int(arg))] = b["real_time"]  # ns
    return samples


def measure(build, reps, min_time, progress=sys.stderr, with_lookups=False):
    """{(kind, threads): [us per phase, one per run]}; with_lookups adds
    {(lookup, entries): [ns per look-up]}."""
    exe = os.path.join(build, "bin", "phaser_bench")
    if not os.access(exe, os.X_OK):
        sys.exit(f"run.py: {exe} not found: build the release preset first")
    runs = {}
    for r in range(reps):
        print(f"phaser: run {r + 1} of {reps}", file=progress, flush=True)
        for key, value in run_once(exe, min_time).items():
            if with_lookups or key[0] in KINDS.values():
                runs.setdefault(key, []).append(value)
    return runs


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("build", nargs="?", default="build/release")
    ap.add_argument("--reps", type=int, default=5)
    ap.add_argument("--min-time", type=float, default=0.3,
                    help="seconds per benchmark per run (default 0.3)")
    ap.add_argument("--csv", help="also write every sample to this CSV file")
    args = ap.parse_args()

    runs = measure(args.build, args.reps, args.min_time, with_lookups=True)
    med = {k: statistics.median(v) for k, v in runs.items()}
    threads = sorted({n for kind, n in med if kind in KINDS.values()})

    print(f"Machine: {machine.describe()}")
    print(f"Time per phase, microseconds (median of {args.reps} runs); every participant awaits,")
    print("named by its slot (zel_phaser) or by the caller (_at); 'one awaiter': workers only advance")
    print(f"{'threads':>7} {'zel_phaser':>11} {'_at':>8} {'pthread':>9} {'std::bar':>9}"
          f" {'vs pthread':>10} {'vs std':>7} {'_at vs std':>10} {'one awaiter':>12}")
    for n in threads:
        z, a, p, s = (med[(k, n)] for k in
                      ("zel_phaser", "zel_phaser, _at", "pthread_barrier", "std::barrier"))
        print(f"{n:>7} {z:>11.3f} {a:>8.3f} {p:>9.3f} {s:>9.3f} {z / p:>10.2f} {z / s:>7.2f}"
              f" {a / s:>10.2f} {med[('zel_phaser, one awaiter', n)]:>12.3f}")
    print("(ratios below 1 mean the phaser is faster)")
    print()
    print("tid_slot look-up, nanoseconds (median), by entries in the registry")
    for entries in sorted({n for kind, n in med if kind in LOOKUPS.values()}):
        own, other = med[("own slot", entries)], med[("another thread's slot", entries)]
        print(f"{entries:>7} entries: own slot {own:.2f}, another thread's slot {other:.2f}")

    if args.csv:
        with open(args.csv, "w") as f:
            f.write("primitive,threads,repetition,us_per_phase\n")
            for (kind, n), samples in sorted(runs.items()):
                if kind not in KINDS.values():
                    continue
                for i, us in enumerate(samples):
                    f.write(f"{kind},{n},{i + 1},{us:.4f}\n")


if __name__ == "__main__":
    main()
