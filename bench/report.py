#!/usr/bin/env python3
"""Writes a scaling report: CSV files of every run and SVG charts drawn by gnuplot.

Usage: python3 bench/report.py [--out DIR] [--reps N] [--ns 1,2,3,4,6,8]
                               [--min-time S] [--build DIR] [--quick] [--replot]
                               [--details | --no-details]

Without --build it first brings the release preset up to date (configuring
it if needed) and measures build/release; with --build DIR it measures the
programs already built in DIR and builds nothing.

Into DIR (default report/ at the top of the source tree) it writes
  tally.csv   program,n,repetition,elapsed_ms,whole_run_s,machine,commit: one
              row per run of `forktally N`, of `duotally` (n = 2 threads) and
              of the two-thread read limit (program read_limit, n = 2: the
              fastest of the independent reference kernels on their first
              pass over a freshly filled array, from tally_bench first, one
              process each); elapsed_ms is what the run printed, whole_run_s
              its wall time (for read_limit: of the reference processes);
  phaser.csv  primitive,threads,repetition,us_per_phase,machine,commit:
              phaser_bench's time per phase for zel_phaser, pthread_barrier,
              std::barrier and the phaser with one awaiter, per thread count
              and repetition;
  tally.svg   median elapsed time of forktally against N, min-max bars,
              with duotally and the read limit as reference lines;
  phaser.svg  median time per phase against threads for zel_phaser,
              pthread_barrier and std::barrier, min-max bars;
  tally_details.txt  (with --details, the default unless --quick) what
              bench/tally/run.py prints for the same build right after: every
              counting kernel and reference, the fill, the programs against
              their straightforward builds, and the ratios to the targets;
  benchmarks.md  (with --details) the page that shows all of it, written by
              bench/benchmarks_page.py.
machine names the CPU model, its vector extensions, the number of CPUs, the
counting kernel's level and the transparent huge page mode; commit is `git
describe --always --dirty` of the source tree. Both charts have a logarithmic
time axis, so that one slow series does not flatten the others, and name the
machine and the commit under the plot.
Runs alternate (every N, then duotally, then the read limit, repetition by
repetition) so that the machine's slow spells spread over all of them.
The charts are drawn from the CSV files alone; --replot redraws them from the
CSV files already in DIR without measuring.

Exit status: 0 when all four files were written; 1 when a program or the
build failed; 2 on a bad option; 3 when gnuplot is not installed (the CSV
files are written, the charts are not, and standard error says so).
Standard library only; progress goes to standard error. Nothing here
asserts a time.
"""
import argparse
import csv
import importlib.util
import os
import shutil
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
NO_GNUPLOT = 3
TALLY_HEADER = ["program", "n", "repetition", "elapsed_ms", "whole_run_s", "machine", "commit"]
PHASER_HEADER = ["primitive", "threads", "repetition", "us_per_phase", "machine", "commit"]
PHASER_PLOTTED = ["zel_phaser", "pthread_barrier", "std::barrier"]
PROGRAMS = ("forktally", "duotally", "tally_bench", "phaser_bench")


def load(name, path):
    """Imports one of the benchmark scripts, which share the file name run.py.
    No bytecode is cached beside them: the source tree stays clean."""
    sys.dont_write_bytecode = True
    found = importlib.util.spec_from_file_location(name, os.path.join(ROOT, path))
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


tally_run = load("tally_run", "bench/tally/run.py")
phaser_run = load("phaser_run", "bench/phaser/run.py")
benchmarks_page = load("benchmarks_page", "bench/benchmarks_page.py")
DETAIL_PROGRAMS = tuple(p for p in tally_run.PROGRAMS if p not in PROGRAMS)


class Failure(Exception):
    """A step that ends the report with status 1."""


def note(message):
    print(f"report: {message}", file=sys.stderr, flush=True)


def positive(text):
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {text}")
    return value


def ns_list(text):
    try:
        ns = sorted({int(part) for part in text.split(",")})
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a comma-separated list of numbers: {text}")
    if not ns or ns[0] < 1:
        raise argparse.ArgumentTypeError(f"every N must be at least 1: {text}")
    return ns


def parse_args(argv):
    ap = argparse.ArgumentParser(
        prog="report.py", description=__doc__.splitlines()[0],
        epilog="exit status: 0 done, 1 a program or the build failed, "
               "2 bad option, 3 gnuplot missing (CSV files written, charts not)")
    ap.add_argument("--out", default=os.path.join(ROOT, "report"),
                    help="output folder (default report/ at the top of the source tree)")
    ap.add_argument("--reps", type=positive, help="repetitions of every run (default 5)")
    ap.add_argument("--ns", type=ns_list, help="forktally's N values (default 1,2,3,4,6,8)")
    ap.add_argument("--min-time", type=float,
                    help="phaser_bench seconds per benchmark and run (default 0.3)")
    ap.add_argument("--build", help="measure the programs built in this folder, building nothing")
    ap.add_argument("--quick", action="store_true",
                    help="one repetition, N = 1,2, 0.02 s per benchmark (explicit options win)")
    ap.add_argument("--replot", action="store_true",
                    help="redraw the charts from the CSV files in --out, measuring nothing")
    ap.add_argument("--details", action=argparse.BooleanOptionalAction,
                    help="also write bench/tally/run.py's tables to tally_details.txt "
                         "(default: on, off with --quick)")
    args = ap.parse_args(argv)
    quick = args.quick
    if args.details is None:
        args.details = not quick
    args.reps = args.reps or (1 if quick else 5)
    args.ns = args.ns or ([1, 2] if quick else [1, 2, 3, 4, 6, 8])
    if args.min_time is None:
        args.min_time = 0.02 if quick else 0.3
    if args.min_time <= 0:
        ap.error("--min-time must be above 0")
    return args


def build_release(programs):
    """Brings build/release up to date for the programs the report runs."""
    build = os.path.join(ROOT, "build", "release")
    steps = [["cmake", "--build", "--preset", "release", "--target", *programs]]
    if not os.path.exists(os.path.join(build, "CMakeCache.txt")):
        steps.insert(0, ["cmake", "--preset", "release"])
    for step in steps:
        note(" ".join(step))
        if subprocess.run(step, cwd=ROOT, stdout=sys.stderr).returncode != 0:
            raise Failure(f"'{' '.join(step)}' failed")
    return build


def measure_tally(bindir, ns, reps):
    """Rows of tally.csv without the machine columns: every N of forktally,
    duotally and the read limit, per repetition; and the machine line."""
    exe = lambda name: os.path.join(bindir, name)
    runs = [("forktally", n, [exe("forktally"), str(n)]) for n in ns]
    runs.append(("duotally", 2, [exe("duotally")]))
    rows, counts, total, done, info = [], set(), reps * (len(runs) + 1), 0, {}
    for r in range(1, reps + 1):
        for program, n, argv in runs:
            done += 1
            note(f"tally run {done} of {total}: {' '.join([program] + argv[1:])}")
            try:
                elapsed, wall, count = tally_run.run_program(argv)
            except subprocess.CalledProcessError as e:
                raise Failure(f"{program} {' '.join(argv[1:])} failed with status {e.returncode}: "
                              f"{(e.stderr or '').strip()}")
            counts.add(count)
            rows.append([program, n, r, f"{elapsed:.6f}", f"{wall / 1000:.3f}"])
        done += 1
        note(f"tally run {done} of {total}: read limit (tally_bench first, each reference)")
        start, limits = time.perf_counter(), []
        for kernel in tally_run.REFERENCES:
            try:
                samples, info = tally_run.tally_bench(exe("tally_bench"), "first", kernel)
            except subprocess.CalledProcessError as e:
                raise Failure(f"tally_bench first {kernel} failed with status {e.returncode}")
            limits.append(samples[f"first_{kernel}_2t"][0])
        rows.append(["read_limit", 2, r, f"{min(limits):.6f}", f"{time.perf_counter() - start:.3f}"])
    if len(counts) != 1:
        raise Failure(f"the programs disagree on the count: {sorted(counts)}")
    return rows, tally_run.machine(info)


def measure_phaser(build, reps, min_time):
    """Rows of phaser.csv without the machine columns, from bench/phaser/run.py's measurement."""
    try:
        runs = phaser_run.measure(build, reps, min_time, progress=sys.stderr)
    except subprocess.CalledProcessError as e:
        raise Failure(f"phaser_bench failed with status {e.returncode}")
    return [[kind, n, i + 1, f"{us:.4f}"]
            for (kind, n), samples in sorted(runs.items()) for i, us in enumerate(samples)]


def write_details(build, reps, out_dir, tally_rows, phaser_rows):
    """Runs bench/tally/run.py's measurement on the same build; writes what it
    prints to tally_details.txt and the page benchmarks.md from it and the rows."""
    note(f"bench/tally/run.py's measurement of {build}, {reps} runs of each program (a few minutes)")
    try:
        results = tally_run.measure(build, reps)
    except subprocess.CalledProcessError as e:
        raise Failure(f"{' '.join(e.cmd)} failed with status {e.returncode}: {(e.stderr or '').strip()}")
    with open(os.path.join(out_dir, "tally_details.txt"), "w") as f:
        tally_run.report(results, f)
    with open(os.path.join(out_dir, "benchmarks.md"), "w") as f:
        f.write(benchmarks_page.page(results, tally_rows, phaser_rows, tally_run.ratios(results)))


def write_csv(path, header, rows):
    with open(path, "w", newline="") as f:
        w = csv.writer(f, lineterminator="\n")
        w.writerow(header)
        w.writerows(rows)


def read_csv(path, header):
    with open(path, newline="") as f:
        reader = csv.reader(f)
        if next(reader, None) != header:
            raise Failure(f"{path} does not start with the header {','.join(header)}")
        return list(reader)


def summary(rows, key_cols, value_col):
    """{key: (median, min, max, count)} over the rows grouped by key_cols."""
    groups = {}
    for row in rows:
        groups.setdefault(tuple(row[c] for c in key_cols), []).append(float(row[value_col]))
    return {k: (statistics.median(v), min(v), max(v), len(v)) for k, v in groups.items()}


def runs(reps):
    return "1 run" if reps == 1 else f"{reps} runs"


def quote(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def block(name, points):
    lines = [f"${name} << EOD"] + [" ".join(f"{x:g}" for x in p) for p in points] + ["EOD"]
    return "\n".join(lines)


PREAMBLE = """set terminal svg size 860,560 dynamic noenhanced font "sans,13" background "white"
set encoding utf8
set output {out}
set title {title}
set xlabel {xlabel}
set ylabel {ylabel}
set grid ytics lc rgb "#dddddd"
set key top right box opaque
set offsets 0, 0, graph 0.3, graph 0.05
set autoscale yfix
set ytics ({ytics})
set xtics ({xtics})
set xrange [{xlo}:{xhi}]
set logscale y
set bmargin 6
set label 1 {stamp} at screen 0.01, screen 0.045 left font "sans,10"
"""


# Labels 1, 2, 5 per decade on the logarithmic time axes, whatever their range.
YTICS = ", ".join(f"{m * 10.0 ** e:g}" for e in range(-2, 6) for m in (1, 2, 5))


def stamp(rows, machine_col):
    """The machine and commit of the rows' run, two lines for the foot of a chart."""
    runs = sorted({(r[machine_col], r[machine_col + 1]) for r in rows})
    machines = "; ".join(m for m, _ in runs)
    commits = ", ".join(sorted({c for _, c in runs}))
    return quote(machines)[:-1] + "\\n" + quote(f"commit {commits}")[1:]


def tally_script(rows, out):
    s = summary(rows, (0, 1), 3)
    fork = sorted((int(n), *v[:3]) for (p, n), v in s.items() if p == "forktally")
    if not fork or ("duotally", "2") not in s or ("read_limit", "2") not in s:
        raise Failure("tally.csv lacks forktally, duotally or read_limit rows")
    duo, limit = s[("duotally", "2")], s[("read_limit", "2")]
    reps = max(v[3] for v in s.values())
    ns = [p[0] for p in fork]
    return "\n".join([
        PREAMBLE.format(
            out=quote(out),
            title=quote(f"Counting 209,715,200 values: forktally's elapsed time against N "
                        f"(median of {runs(reps)}, bars from min to max)"),
            xlabel=quote("N, child processes of forktally"),
            ylabel=quote("elapsed counting time (ms), log scale"),
            xtics=", ".join(str(n) for n in ns), xlo=ns[0] - 0.5, xhi=ns[-1] + 0.5,
            stamp=stamp(rows, 5), ytics=YTICS),
        block("fork", fork),
        "plot $fork using 1:2:3:4 with yerrorlines lw 2 pt 7 ps 0.8 lc rgb '#1f5fa8' "
        "title 'forktally N, median and min-max', \\",
        f"  {duo[0]:g} with lines lw 2 dt 2 lc rgb '#c0392b' "
        f"title {quote(f'duotally, 2 threads, median {duo[0]:.1f} ms')}, \\",
        f"  {limit[0]:g} with lines lw 2 dt 3 lc rgb '#2e8b57' "
        f"title {quote(f'two-thread read limit, first pass, median {limit[0]:.1f} ms')}",
        ""])


def phaser_script(rows, out):
    s = summary(rows, (0, 1), 3)
    series = {k: sorted((int(n), *v[:3]) for (kind, n), v in s.items() if kind == k)
              for k in PHASER_PLOTTED}
    missing = [k for k, pts in series.items() if not pts]
    if missing:
        raise Failure(f"phaser.csv lacks rows for {', '.join(missing)}")
    reps = max(v[3] for v in s.values())
    threads = sorted({p[0] for pts in series.values() for p in pts})
    colours = ["#1f5fa8", "#c0392b", "#2e8b57"]
    # Each series is shifted a little sideways so that the bars stay apart.
    plots = [f"$s{i} using ($1{(i - 1) * 0.06:+g}):2:3:4 with yerrorlines lw 2 pt {7 + i} ps 0.8 lc rgb '{colours[i]}' "
             f"title {quote(k + ', median and min-max')}" for i, k in enumerate(PHASER_PLOTTED)]
    return "\n".join([
        PREAMBLE.format(
            out=quote(out),
            title=quote(f"A barrier phase: time per phase against threads "
                        f"(median of {runs(reps)}, bars from min to max)"),
            xlabel=quote("threads (all waiting at every phase)"),
            ylabel=quote("time per phase (µs), log scale"),
            xtics=", ".join(str(n) for n in threads),
            xlo=threads[0] - 0.5, xhi=threads[-1] + 0.5, stamp=stamp(rows, 4), ytics=YTICS),
        *(block(f"s{i}", series[k]) for i, k in enumerate(PHASER_PLOTTED)),
        "plot " + ", \\\n  ".join(plots),
        ""])


def plot(out_dir):
    """Draws both charts from the CSV files; returns the names of the SVGs written."""
    charts = [("tally", TALLY_HEADER, tally_script), ("phaser", PHASER_HEADER, phaser_script)]
    scripts = [(f"{name}.svg", make(read_csv(os.path.join(out_dir, f"{name}.csv"), header),
                                    os.path.join(out_dir, f"{name}.svg")))
               for name, header, make in charts]
    gnuplot = shutil.which("gnuplot")
    if gnuplot is None:
        return None
    for svg, script in scripts:
        done = subprocess.run([gnuplot], input=script, text=True, capture_output=True)
        if done.returncode != 0:
            raise Failure(f"gnuplot could not draw {svg}:\n{done.stderr.strip()}")
    return [svg for svg, _ in scripts]


def print_summary(out_dir):
    tally = summary(read_csv(os.path.join(out_dir, "tally.csv"), TALLY_HEADER), (0, 1), 3)
    print("elapsed ms (median, min, max):")
    for (program, n), (med, lo, hi, _) in sorted(tally.items(), key=lambda kv: (kv[0][0], int(kv[0][1]))):
        label = f"{program} {n}" if program == "forktally" else program
        print(f"  {label:14} {med:9.2f} {lo:9.2f} {hi:9.2f}")
    phaser = summary(read_csv(os.path.join(out_dir, "phaser.csv"), PHASER_HEADER), (0, 1), 3)
    print("time per phase, us (median) by threads:")
    threads = sorted({int(n) for _, n in phaser})
    print(f"  {'':24}" + "".join(f"{n:>9}" for n in threads))
    for kind in sorted({k for k, _ in phaser}):
        cells = "".join(f"{phaser[(kind, str(n))][0]:9.3f}" if (kind, str(n)) in phaser else f"{'-':>9}"
                        for n in threads)
        print(f"  {kind:24}{cells}")


def main(argv=None):
    args = parse_args(argv)
    out_dir = args.out
    try:
        if not args.replot:
            programs = PROGRAMS + (DETAIL_PROGRAMS if args.details else ())
            build = args.build if args.build else build_release(programs)
            bindir = os.path.join(build, "bin")
            missing = [p for p in programs if not os.access(os.path.join(bindir, p), os.X_OK)]
            if missing:
                raise Failure(f"{', '.join(missing)} not found in {bindir}: build it first "
                              f"(cmake --workflow --preset release), or leave out --build")
            os.makedirs(out_dir, exist_ok=True)
            tally_rows, machine = measure_tally(bindir, args.ns, args.reps)
            phaser_rows = measure_phaser(build, args.reps, args.min_time)
            run_stamp = [machine, tally_run.commit()]
            write_csv(os.path.join(out_dir, "tally.csv"), TALLY_HEADER, [r + run_stamp for r in tally_rows])
            write_csv(os.path.join(out_dir, "phaser.csv"), PHASER_HEADER,
                      [r + run_stamp for r in phaser_rows])
            for svg in ("tally.svg", "phaser.svg"):  # charts of an earlier measurement
                if os.path.exists(os.path.join(out_dir, svg)):
                    os.remove(os.path.join(out_dir, svg))
            if args.details:
                write_details(build, args.reps, out_dir, read_csv(os.path.join(out_dir, "tally.csv"), TALLY_HEADER),
                              read_csv(os.path.join(out_dir, "phaser.csv"), PHASER_HEADER))
        written = plot(out_dir)
        print_summary(out_dir)
    except (Failure, OSError) as e:
        print(f"report.py: {e}", file=sys.stderr)
        return 1
    if written is None:
        print(f"report.py: gnuplot is not installed, so tally.svg and phaser.svg were not drawn; "
              f"tally.csv and phaser.csv are in {out_dir}/. Install the Debian package "
              f"gnuplot-nox (apt-get install gnuplot-nox), then draw the charts with "
              f"python3 {os.path.relpath(os.path.abspath(__file__))} --replot --out {out_dir}", file=sys.stderr)
        return NO_GNUPLOT
    note(f"wrote tally.csv, phaser.csv, {', '.join(written)} in {out_dir}/")
    return 0


if __name__ == "__main__":
    sys.exit(main())
