#!/usr/bin/env python3
"""Runs the benchmarks of a build and prints their medians and ratios.

The Google Benchmark programs (tally_bench, phaser_bench) run once each and
repeat their benchmarks themselves, --slow-reps times in random interleaving;
their medians and repetitions are read from the JSON file Google Benchmark
writes. Whole processes, one per sample, are this script's: they take turns
round by round, so that the slow spells of a shared machine spread over all
of them: --reps rounds of those on huge pages (the floor of a whole run on
huge pages, forktally N, duotally, each kernel's first pass), then
--slow-reps rounds of those on small pages (the floor on small pages, the
straightforward builds), which would otherwise make the next program assemble
its huge pages anew. A sample is the elapsed line a process prints, its wall
time and its minor page faults, its children's included. --idle S puts S
seconds idle before every process, long enough for a host that takes freed
memory back to do so. Further builds add their forktally and duotally to the
rounds. Standard library only; progress on standard error; nothing asserts a
time.
"""
import argparse
import json
import os
import re
import resource
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
REFERENCES = ("native_or", "native_plain", "native_intrinsics")
FIRST_KERNELS = REFERENCES + ("plain_o3", "workload")
PLAIN_NS = (1, 2, 4)
GBENCH = ("tally_bench", "phaser_bench")
PROGRAMS = ("forktally", "duotally") + GBENCH
PLAIN = ("forktally_plain", "forktally_plain_o3", "duotally_plain", "duotally_plain_o3")
ELAPSED = re.compile(r"^Elapsed time \(ms\) = (\d+\.\d{6})$", re.M)
COUNT = re.compile(r"^Count of 3 = (\d+)$", re.M)
SAMPLE = re.compile(r"^sample (\S+) (\S+)$", re.M)
MACHINE = re.compile(r"^info machine (.+)$", re.M)
SUFFIXES = re.compile(r"/(real_time|manual_time|process_time|iterations:\d+)(?=/|$)")
TO_MS = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}
PHASER = {"BM_zel_phaser_barrier": "zel_phaser", "BM_zel_phaser_barrier_at": "zel_phaser, _at",
          "BM_pthread_barrier": "pthread_barrier", "BM_std_barrier": "std::barrier",
          "BM_zel_phaser_one_awaiter": "zel_phaser, one awaiter"}
STENCIL = {"zel_phaser": "zel_phaser", "openmp": "OpenMP", "openmp_passive": "OpenMP, passive",
           "std_barrier": "std::barrier", "pthread_barrier": "pthread_barrier"}


class Failure(Exception):
    """A program failed or printed what it should not."""


def note(message):
    print(f"run: {message}", file=sys.stderr, flush=True)


def add_options(ap):
    ap.add_argument("--reps", type=int, help="rounds of the huge-page processes (default 21)")
    ap.add_argument("--slow-reps", type=int, help="rounds of the small-page processes and Google "
                                                  "Benchmark's repetitions (default 5)")
    ap.add_argument("--ns", type=lambda text: sorted({int(n) for n in text.split(",")}),
                    help="forktally's N values, comma-separated (default 1,2,3,4,6,8)")
    ap.add_argument("--min-time", type=float,
                    help="Google Benchmark's seconds per benchmark (default 0.3)")
    ap.add_argument("--idle", type=float, default=0.0, help="seconds idle before each process")
    ap.add_argument("--idle-state", type=float, metavar="S",
                    help="also run the programs and floors once more, S seconds idle before "
                         "each, --slow-reps rounds (the state of a host that took memory back)")
    ap.add_argument("--whole-only", action="store_true",
                    help="only the whole processes, not the Google Benchmark programs")
    ap.add_argument("--quick", action="store_true",
                    help="one round, N = 1,2, 0.02 s per benchmark, no straightforward builds")


def settle(ap, args):
    """Fills in the defaults that --quick changes (explicit options win) and checks them."""
    for name, quick, full in (("reps", 1, 21), ("slow_reps", 1, 5), ("ns", [1, 2], [1, 2, 3, 4, 6, 8]),
                              ("min_time", 0.02, 0.3)):
        if getattr(args, name) is None:
            setattr(args, name, quick if args.quick else full)
    if args.idle_state is None:
        args.idle_state = 0.0
    if min(args.reps, args.slow_reps, *args.ns) < 1 or args.min_time <= 0 or min(args.idle, args.idle_state) < 0:
        ap.error("repetitions and N must be at least 1, --min-time above 0, idle times at least 0")
    return args


def commit():
    done = subprocess.run(["git", "-C", ROOT, "describe", "--always", "--dirty"],
                          capture_output=True, text=True)
    return done.stdout.strip() or "unknown"


def missing(builds, plain=True):
    """The programs lacking: every one in the first build, forktally and duotally in the others."""
    need = [PROGRAMS + (PLAIN if plain else ())] + [PROGRAMS[:2]] * (len(builds) - 1)
    return [path for build, names in zip(builds, need) for p in names
            if not os.access(path := os.path.join(build, "bin", p), os.X_OK)]


def run(argv, **kwargs):
    """Standard output, wall milliseconds and minor faults of one process that must succeed."""
    faults = resource.getrusage(resource.RUSAGE_CHILDREN).ru_minflt
    start = time.perf_counter()
    done = subprocess.run(argv, stdout=kwargs.get("stdout", subprocess.PIPE),
                          stderr=subprocess.PIPE, text=True, env=kwargs.get("env"))
    wall = (time.perf_counter() - start) * 1000.0
    if done.returncode != 0:
        raise Failure(f"{' '.join(argv)} failed with status {done.returncode}: "
                      f"{done.stderr.strip()}")
    return done.stdout, wall, resource.getrusage(resource.RUSAGE_CHILDREN).ru_minflt - faults


def sample(argv, idle):
    """(elapsed ms as printed, wall ms, minor faults, count or None, machine line or None)."""
    time.sleep(idle)
    out, wall, faults = run(argv)
    if os.path.basename(argv[0]) == "tally_bench":
        got = dict(SAMPLE.findall(out))
        return got.get("count", got.get("first")), wall, faults, None, MACHINE.search(out).group(1)
    elapsed, count = ELAPSED.search(out), COUNT.search(out)
    if not elapsed or not count:
        raise Failure(f"{' '.join(argv)} printed no count or elapsed line: {out!r}")
    return elapsed.group(1), wall, faults, count.group(1), None


def whole(builds, args, plain, first=True):
    """Rows [program, n, repetition, elapsed_ms, whole_run_s, minor_faults] of every process,
    and the machine line; first=False leaves out the first passes and so the read limit."""
    exe = lambda build, name: os.path.join(build, "bin", name)
    bench = exe(builds[0], "tally_bench")
    huge = [("floor_huge", 2, [bench, "--floor", "huge"])]
    for i, build in enumerate(builds):
        tag = f" [{build}]" if i else ""
        huge += [("forktally" + tag, n, [exe(build, "forktally"), str(n)]) for n in args.ns]
        huge.append(("duotally" + tag, 2, [exe(build, "duotally")]))
    huge += [(f"first_{k}", 2, [bench, "--first", k]) for k in FIRST_KERNELS if first]
    small = [("floor_small", 2, [bench, "--floor", "small"])]
    if plain:
        small += [(p, n, [exe(builds[0], p), str(n)]) for n in PLAIN_NS for p in PLAIN[:2]]
        small += [(p, 2, [exe(builds[0], p)]) for p in PLAIN[2:]]
    rows, counts, machine = [], set(), "unknown"
    for runs, reps in ((huge, args.reps), (small, args.slow_reps)):
        for r in range(1, reps + 1):
            note(f"round {r} of {reps}: {', '.join(p + ' ' + str(n) for p, n, _ in runs)}")
            for program, n, argv in runs:
                elapsed, wall, faults, count, line = sample(argv, args.idle)
                counts |= {count} - {None}
                machine = line or machine
                rows.append([program, str(n), str(r), elapsed, f"{wall / 1000:.3f}", str(faults)])
            if runs is huge and first:  # the read limit: the fastest reference of the round
                best = min((row for row in rows[-len(runs):] if row[0][6:] in REFERENCES),
                           key=lambda row: float(row[3]))
                rows.append(["read_limit", "2", str(r), *best[3:]])
    if len(counts) > 1:
        raise Failure(f"the programs disagree on the count: {sorted(counts)}")
    return rows, machine


def gbench(exe, args, path, stamp, extra=(), env=None):
    """Google Benchmark's JSON of one run of exe, written to path: its benchmarks repeated
    args.slow_reps times in random interleaving, stamp added to its context."""
    note(f"{os.path.basename(exe)}: {args.slow_reps} repetitions of each benchmark, interleaved")
    run([exe, f"--benchmark_repetitions={args.slow_reps}", "--benchmark_enable_random_interleaving=true",
         "--benchmark_display_aggregates_only=true", f"--benchmark_min_time={args.min_time}",
         f"--benchmark_out={path}", "--benchmark_out_format=json", f"--benchmark_context={stamp}",
         *extra], stdout=sys.stderr, env=env)  # its table is the progress
    with open(path) as f:
        data = json.load(f)
    for b in data["benchmarks"]:
        if b.get("error_occurred"):
            raise Failure(f"{os.path.basename(exe)} {b['name']}: {b.get('error_message')}")
    return data


def measure(builds, args, out=None, plain=True, stamp=None):
    """Every measurement: the rows of the whole processes (back to back, after an idle pause),
    the JSON of each Google Benchmark program (written to out, or to a scratch folder) and the
    machine line, stamped with the commit (stamp: as the caller found it)."""
    r = {"commit": stamp or commit(), "tally_bench": {}, "phaser_bench": {}}
    with tempfile.TemporaryDirectory() as scratch:
        for name in () if args.whole_only else GBENCH:
            r[name] = gbench(os.path.join(builds[0], "bin", name), args,
                             os.path.join(out or scratch, f"{name}.json"), f"commit={r['commit']}")
        if not args.whole_only:  # OpenMP's stencil again, its waiters told to sleep at once
            passive = gbench(os.path.join(builds[0], "bin", "phaser_bench"), args,
                             os.path.join(scratch, "passive.json"), f"commit={r['commit']}",
                             ["--benchmark_filter=BM_stencil_openmp"],
                             {**os.environ, "OMP_WAIT_POLICY": "passive"})
            for b in passive["benchmarks"]:
                b["run_name"] = b["run_name"].replace("openmp", "openmp_passive")
            r["phaser_bench"]["benchmarks"] += passive["benchmarks"]
            with open(os.path.join(out or scratch, "phaser_bench.json"), "w") as f:
                json.dump(r["phaser_bench"], f, indent=1)
    r["whole"], machine = whole(builds, args, plain)
    idle = argparse.Namespace(**{**vars(args), "idle": args.idle_state, "reps": args.slow_reps})
    r["idle"] = whole(builds[:1], idle, False, first=False)[0] if args.idle_state else []
    r["machine"] = r["tally_bench"].get("context", {}).get("machine", machine)
    return r


def stats(data, value):
    """{name: (median, min, max, repetitions)} of the benchmarks in Google Benchmark's JSON
    for which value(entry) is not None, in the order they were registered, named without the
    suffixes Google Benchmark adds: its median, and the extremes of the repetitions."""
    runs, median = {}, {}
    for b in sorted(data.get("benchmarks", []),
                    key=lambda b: (b["family_index"], b["per_family_instance_index"])):
        name, x = SUFFIXES.sub("", b["run_name"]), value(b)
        if x is not None and b["run_type"] != "aggregate":
            runs.setdefault(name, []).append(x)
        elif x is not None and b["aggregate_name"] == "median":
            median[name] = x  # none when there is one repetition
    return {k: (median.get(k, v[0]), min(v), max(v), len(v)) for k, v in runs.items()}


def ms(entry):
    return entry["real_time"] * TO_MS[entry["time_unit"]]


def kernels(r):
    """tally_bench's medians, ms, by name."""
    return {k: v[0] for k, v in stats(r["tally_bench"], ms).items()}


def phaser(r):
    """{(primitive, threads): (median, min, max, repetitions)} of µs per phase."""
    per_phase = lambda b: b["per_phase"] * 1e6 if "per_phase" in b else None
    return {(PHASER.get(family, family.removeprefix("BM_")), threads): v
            for k, v in stats(r["phaser_bench"], per_phase).items()
            for family, threads in [(k + "/").split("/")[:2]] if threads.isdigit()}


def grouped(rows, key_cols, value_col):
    """{key: [values]} of rows grouped by key_cols, in the rows' order."""
    groups = {}
    for row in rows:
        groups.setdefault(tuple(row[c] for c in key_cols), []).append(float(row[value_col]))
    return groups


def summary(rows, key_cols, value_col):
    """{key: (median, min, max, count)} of rows grouped by key_cols, in the rows' order."""
    return {k: (statistics.median(v), min(v), max(v), len(v))
            for k, v in grouped(rows, key_cols, value_col).items()}


def medians(rows, key_cols, value_col):
    return {k[0] if len(k) == 1 else k: v[0] for k, v in summary(rows, key_cols, value_col).items()}


def fmt(value, pattern):
    return "–" if value is None else format(value, pattern)


def table(header, rows):
    return "\n".join(["| " + " | ".join(header) + " |", "|---|" + "---:|" * (len(header) - 1)] +
                     ["| " + " | ".join(row) + " |" for row in rows])


KERNELS = {
    "native_or": "reference: pure read, OR of every element (`-O3 -march=native`)",
    "native_plain": "reference: the plain loop at `-O3 -march=native`",
    "native_intrinsics": "reference: intrinsics, compare mask popcounted (`-march=native`)",
    "plain_o3": "the plain loop at `-O3`, baseline instruction set",
    "workload": "`workload_count` as the programs call it",
}


def kernel_name(k):
    """A kernel's description; tally_bench names each level's build workload_LEVEL."""
    return KERNELS.get(k) or (f"the project's kernel, `{k[9:]}` build" if k.startswith("workload_") else k)


def limits(r):
    """The read limit, warm and on a first pass: the fastest reference's median."""
    b, e = kernels(r), medians(r["whole"], (0,), 3)
    warm = [b[f"warm_2t/{k}"] for k in REFERENCES if f"warm_2t/{k}" in b]
    first = [e[f"first_{k}"] for k in REFERENCES if f"first_{k}" in e]
    return min(warm, default=None), min(first, default=None)


# (what, numerator, denominator, goal or None), named as ratios() names the medians.
RATIOS = [
    ("count / read limit, warm", "count warm", "limit warm", None),
    ("count / read limit, first pass", "first_workload 2", "limit first", None),
    ("duotally elapsed / read limit, first pass", "duotally 2", "limit first", 1.15),
    ("duotally elapsed / plain -O3", "duotally 2", "duotally_plain_o3 2", 1.0),
    ("forktally 2 elapsed / duotally elapsed", "forktally 2", "duotally 2", 1.3),
    ("forktally 1 elapsed / straightforward", "forktally 1", "forktally_plain 1", 0.4),
    ("forktally 2 elapsed / straightforward", "forktally 2", "forktally_plain 2", 0.4),
    ("duotally whole run / best floor", "whole duotally 2", "floor", 1.3),
    ("forktally 4 whole run / best floor", "whole forktally 4", "floor", 1.5),
    ("duotally whole run / straightforward", "whole duotally 2", "whole duotally_plain 2", 0.2),
    ("forktally 4 whole run / straightforward", "whole forktally 4", "whole forktally_plain 4", 0.2),
]


def best_floor(wall):
    return min([wall[k] for k in (("floor_huge", "2"), ("floor_small", "2")) if k in wall], default=None)


def ratios(r):
    """(what, ratio or None, goal or None) for the count against its references and the targets."""
    v = {f"{p} {n}": x for (p, n), x in medians(r["whole"], (0, 1), 3).items()}
    w = medians(r["whole"], (0, 1), 4)
    v.update({f"whole {p} {n}": x for (p, n), x in w.items()})
    v["limit warm"], v["limit first"] = limits(r)
    v["count warm"], v["floor"] = kernels(r).get("warm_2t/workload"), best_floor(w)
    return [(what, v[a] / v[b] if v.get(a) and v.get(b) else None, goal) for what, a, b, goal in RATIOS]


def label(program, n):
    name, _, build = program.partition(" ")  # a program of another build names the build
    if name == "read_limit":
        return "two-thread read limit, first pass"
    if name.startswith("floor"):
        return f"floor, {name[6:]} pages"
    return (f"`{name} {n}`" if name.startswith("fork") else f"`{name}`") + (f" {build}" if build else "")


def scaling_table(r):
    s, wall = summary(r["whole"], (0, 1), 3), medians(r["whole"], (0, 1), 4)
    order = {"forktally": 0, "duotally": 1, "read_limit": 2}
    shown = sorted((k for k in s if k[0].split(" ")[0] in order),
                   key=lambda k: (order[k[0].split(" ")[0]], k[0], int(k[1])))
    return table(["run", "elapsed ms, median", "min", "max", "whole run s, median"], [
        [label(p, n), *(f"{v:.1f}" for v in s[(p, n)][:3]),
         "–" if p == "read_limit" else f"{wall[(p, n)]:.2f}"] for p, n in shown])


def kernel_table(r):
    b, first = kernels(r), medians(r["whole"], (0,), 3)
    names = dict.fromkeys(n.split("/")[1] for n in b if n.startswith("warm_2t/"))
    return table(["kernel", "warm, 2 threads, 800 MB", "first pass, 2 threads",
                  "1 thread, warm 64 MiB", "1 thread, 256 KiB in cache, µs"], [
        [kernel_name(k), fmt(b.get(f"warm_2t/{k}"), ".2f"), fmt(first.get(f"first_{k}"), ".2f"),
         fmt(b.get(f"block_64m/{k}"), ".2f"), fmt(b.get(f"cache_256k/{k}", 0) * 1e3 or None, ".2f")]
        for k in names])


def limit_line(r):
    warm, first = limits(r)
    return f"Read limit: warm {fmt(warm, '.2f')} ms, first pass {fmt(first, '.2f')} ms."


def programs_table(r):
    e, wall = medians(r["whole"], (0, 1), 3), medians(r["whole"], (0, 1), 4)
    keys = [(v, str(n)) for n in PLAIN_NS for v in ("forktally",) + PLAIN[:2]]
    keys += [(v, "2") for v in ("duotally",) + PLAIN[2:]] + [("floor_huge", "2"), ("floor_small", "2")]
    floor = {"floor_huge": "floor of a whole run, huge pages (`tally_bench --floor huge`)",
             "floor_small": "floor of a whole run, small pages (`tally_bench --floor small`)"}
    return table(["program", "elapsed line, ms", "whole run, ms"], [
        [floor.get(p) or label(p, n), f"{e[(p, n)]:.2f}", f"{wall[(p, n)] * 1000:.0f}"]
        for p, n in keys if (p, n) in e])


def ratio_table(r):
    verdict = lambda x, goal: "" if goal is None or x is None else (
        "met" if x <= goal else "not met in this run")
    return table(["ratio", "this run", "goal", ""], [
        [what, fmt(x, ".3f"), "–" if goal is None else f"≤ {goal:g}", verdict(x, goal)]
        for what, x, goal in ratios(r)])


def states_table(r):
    """The programs and floors back to back and after an idle pause, whole runs and their minor
    faults (which pages they took), with their ratios to the best floor."""
    if not r.get("idle"):
        return "(not measured: --idle-state)"
    wall, faults = [[medians(r[k], (0, 1), c) for k in ("whole", "idle")] for c in (4, 5)]
    rows = [[label(*k), *(f"{x:.0f}" for w, f in zip(wall, faults) for x in (w[k] * 1000, f[k]))]
            for k in wall[1] if k in wall[0]]
    rows += [[f"{what} whole run / best floor", *(x for w in wall for x in (f"{w[k] / best_floor(w):.2f}", ""))]
             for what, k in (("duotally", ("duotally", "2")), ("forktally 4", ("forktally", "4")))
             if all(k in w for w in wall)]
    return table(["whole run (median)", "back to back, ms", "minor faults",
                  "after an idle pause, ms", "minor faults"], rows)


def tails_table(r):
    """How often a run's elapsed line exceeds 1.5 times its median, program by program: the
    programs beside the first passes of the references, which fork nothing."""
    rows = []
    for (p, n), v in grouped(r["whole"], (0, 1), 3).items():
        if p.split(" ")[0] not in ("forktally", "duotally") and not p.startswith("first_native"):
            continue
        med = statistics.median(v)
        rows.append([label(p, n) if not p.startswith("first") else f"reference `{p[6:]}`, first pass",
                     f"{med:.1f}", f"{max(v):.1f}", f"{sum(x > 1.5 * med for x in v)} of {len(v)}"])
    return table(["elapsed line, ms", "median", "max", "runs over 1.5 × median"], rows)


def fill_table(r):
    return table(["part of the fill", "ms"], [[f"`{n[5:]}`", f"{ms:.1f}"] for n, ms in
                                              kernels(r).items() if n.startswith("fill/")])


def phaser_table(r):
    ph = phaser(r)
    threads = sorted({int(t) for _, t in ph})
    return table(["µs per phase, median"] + [f"{t} threads" for t in threads], [
        [kind] + [fmt(ph.get((kind, str(t)), [None])[0], ".2f") for t in threads]
        for kind in sorted({k for k, _ in ph})])


def stencil_table(r):
    """The stencil's wall and process CPU time per step under each barrier, and the phaser's
    ratios to OpenMP's and std::barrier's."""
    per_step = lambda b, cpu: b["per_step"] * 1e6 * (b["cpu_time"] / b["real_time"] if cpu else 1)
    got = {}
    for cpu in (False, True):
        for name, v in stats(r["phaser_bench"], lambda b: per_step(b, cpu) if "per_step" in b else None).items():
            kind, shape = name.removeprefix("BM_stencil_").split("/", 1)
            got.setdefault(shape, {}).setdefault(kind, []).append(v[0])
    ratio = lambda g, k: g["zel_phaser"][0] / g[k][0] if "zel_phaser" in g and k in g else None
    return table(["µs per step, median (CPU µs)", *STENCIL.values(), "zel / OpenMP", "zel / std::barrier"], [
        [shape.replace("threads:", "").replace("/cells:", " threads, ") + " cells"] +
        [f"{g[k][0]:.2f} ({g[k][1]:.2f})" if k in g else "–" for k in STENCIL] +
        [fmt(ratio(g, k), ".2f") for k in ("openmp", "std_barrier")] for shape, g in got.items()])


# The tables of the measurements page, each from measure()'s result, with the driver's titles.
TABLES = {"scaling": ("forktally and duotally, ms", scaling_table),
          "kernels": ("kernels, ms", kernel_table), "limit": ("", limit_line),
          "programs": ("programs", programs_table), "ratios": ("ratios", ratio_table),
          "states": ("back to back and after an idle pause", states_table),
          "tails": ("the long runs", tails_table),
          "fill": ("the fill", fill_table), "phaser": ("the phaser", phaser_table),
          "stencil": ("the heat stencil", stencil_table)}


def tables(r):
    return {name: make(r) for name, (_, make) in TABLES.items()}


def show(r):
    print(f"machine: {r['machine']}; commit {r['commit']}")
    for title, make in TABLES.values():
        print(f"\n{title}\n\n{make(r)}" if title else f"\n{make(r)}")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("builds", nargs="*", metavar="BUILD",
                    help="build folders; the first gives every program (default build/release)")
    add_options(ap)
    args = settle(ap, ap.parse_args())
    builds = args.builds or [os.path.join(ROOT, "build", "release")]
    lacking = missing(builds, not args.quick)
    if lacking:
        sys.exit(f"run.py: {', '.join(lacking)} not found: build the release preset first")
    try:
        show(measure(builds, args, plain=not args.quick))
    except Failure as e:
        sys.exit(f"run.py: {e}")


if __name__ == "__main__":
    main()
