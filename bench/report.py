#!/usr/bin/env python3
"""Writes one run's measurements: CSV files, charts drawn by gnuplot, and the page.

Usage: python3 bench/report.py [--out DIR] [--build DIR] [--replot] [bench/run.py's options]

Measures what bench/run.py measures, in build/release (brought up to date
first) or in the build folder --build names, and writes into DIR (default
report/ at the top of the source tree):
  tally.csv        program,n,repetition,elapsed_ms,whole_run_s: a row per
                   process (forktally N, duotally with n = 2, the
                   straightforward builds, floor_huge and floor_small, whose
                   elapsed_ms is the floor's count, first_KERNEL) and per round
                   the read limit (read_limit, the fastest reference's first pass);
  tally_bench.csv  benchmark,repetition,ms: tally_bench's kernels and fill;
  phaser.csv       primitive,threads,repetition,us_per_phase: phaser_bench;
  tally.svg, phaser.svg  forktally's elapsed time against N with duotally and
                   the read limit; the time per phase of zel_phaser,
                   pthread_barrier and std::barrier against threads;
  benchmarks.md    the page that shows all of it.
Every CSV row ends with machine (tally_bench's description of it) and commit
(`git describe --always --dirty`). --replot writes the charts and the page
again from the CSV files in DIR.

Exit status: 0 done; 1 a program or the build failed; 2 a bad option; 3
gnuplot is not installed (all but the charts written; standard error says so).
"""
import argparse
import csv
import datetime
import os
import shutil
import subprocess
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run  # noqa: E402  (bench/run.py)

NO_GNUPLOT = 3
FILES = {"tally": (["program", "n", "repetition", "elapsed_ms", "whole_run_s"], "whole"),
         "tally_bench": (["benchmark", "repetition", "ms"], "bench"),
         "phaser": (["primitive", "threads", "repetition", "us_per_phase"], "phaser"),
         "tally_idle": (["program", "n", "repetition", "elapsed_ms", "whole_run_s"], "idle")}
STAMP = ["machine", "commit"]
PHASER_PLOTTED = ["zel_phaser", "pthread_barrier", "std::barrier"]


def parse_args(argv):
    ap = argparse.ArgumentParser(
        prog="report.py", description=__doc__.splitlines()[0],
        epilog="exit status: 0 done, 1 a program or the build failed, "
               "2 bad option, 3 gnuplot missing (CSV files and page written, charts not)")
    ap.add_argument("--out", default=os.path.join(run.ROOT, "report"),
                    help="output folder (default report/ at the top of the source tree)")
    ap.add_argument("--build", help="measure the programs built in this folder, building nothing")
    ap.add_argument("--replot", action="store_true",
                    help="write the charts and the page from the CSV files in --out, measuring nothing")
    run.add_options(ap)
    args = ap.parse_args(argv)
    if args.idle_state is None:
        args.idle_state = 0.0 if args.quick else 3.0
    return run.settle(ap, args)


def build_release():
    build = os.path.join(run.ROOT, "build", "release")
    steps = [["cmake", "--build", "--preset", "release", "--target", *run.PROGRAMS, *run.PLAIN]]
    if not os.path.exists(os.path.join(build, "CMakeCache.txt")):
        steps.insert(0, ["cmake", "--preset", "release"])
    for step in steps:
        run.note(" ".join(step))
        if subprocess.run(step, cwd=run.ROOT, stdout=sys.stderr).returncode != 0:
            raise run.Failure(f"'{' '.join(step)}' failed")
    return build


def write_csvs(out, r):
    for name, (header, key) in FILES.items():
        with open(os.path.join(out, f"{name}.csv"), "w", newline="") as f:
            w = csv.writer(f, lineterminator="\n")
            w.writerow(header + STAMP)
            w.writerows(row + [r["machine"], r["commit"]] for row in r[key])


def read_csvs(out):
    r = {"machine": "unknown", "commit": "unknown"}
    for name, (header, key) in FILES.items():
        path = os.path.join(out, f"{name}.csv")
        if key == "idle" and not os.path.exists(path):
            r[key] = []
            continue
        with open(path, newline="") as f:
            rows = list(csv.reader(f))
        if not rows or rows[0] != header + STAMP:
            raise run.Failure(f"{path} does not start with the header {','.join(header + STAMP)}")
        r[key] = [row[:len(header)] for row in rows[1:]]
        if len(rows) > 1:
            r["machine"], r["commit"] = rows[1][-2:]
    return r


def quote(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def runs(reps):
    return "1 run" if reps == 1 else f"{reps} runs"


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
COLOURS = ["#1f5fa8", "#c0392b", "#2e8b57"]


def chart(r, out, title, xlabel, ylabel, xs, blocks, plots):
    """A gnuplot script: data blocks {name: [(x, median, min, max)]} and plot clauses."""
    stamp = quote(r["machine"])[:-1] + "\\n" + quote(f"commit {r['commit']}")[1:]
    data = [f"${name} << EOD\n" + "".join(" ".join(f"{v:g}" for v in p) + "\n" for p in points) +
            "EOD" for name, points in blocks.items()]
    return "\n".join([PREAMBLE.format(
        out=quote(out), title=quote(title), xlabel=quote(xlabel), ylabel=quote(ylabel),
        xtics=", ".join(str(x) for x in xs), xlo=xs[0] - 0.5, xhi=xs[-1] + 0.5, stamp=stamp,
        ytics=YTICS), *data, "plot " + ", \\\n  ".join(plots), ""])


def points(s, kind):
    return sorted((int(n), *v[:3]) for (k, n), v in s.items() if k == kind)


def tally_script(r, out):
    s = run.summary(r["whole"], (0, 1), 3)
    fork = points(s, "forktally")
    if not fork or ("duotally", "2") not in s or ("read_limit", "2") not in s:
        raise run.Failure("tally.csv lacks forktally, duotally or read_limit rows")
    duo, limit = s[("duotally", "2")][0], s[("read_limit", "2")][0]
    return chart(
        r, out, f"Counting 209,715,200 values: forktally's elapsed time against N "
                f"(median of {runs(s[('duotally', '2')][3])}, bars from min to max)",
        "N, child processes of forktally", "elapsed counting time (ms), log scale",
        [p[0] for p in fork], {"fork": fork}, [
            f"$fork using 1:2:3:4 with yerrorlines lw 2 pt 7 ps 0.8 lc rgb '{COLOURS[0]}' "
            "title 'forktally N, median and min-max'",
            f"{duo:g} with lines lw 2 dt 2 lc rgb '{COLOURS[1]}' "
            f"title {quote(f'duotally, 2 threads, median {duo:.1f} ms')}",
            f"{limit:g} with lines lw 2 dt 3 lc rgb '{COLOURS[2]}' "
            f"title {quote(f'two-thread read limit, first pass, median {limit:.1f} ms')}"])


def phaser_script(r, out):
    s = run.summary(r["phaser"], (0, 1), 3)
    series = {k: points(s, k) for k in PHASER_PLOTTED}
    if not all(series.values()):
        raise run.Failure(f"phaser.csv lacks rows for {', '.join(k for k, v in series.items() if not v)}")
    # Each series is shifted a little sideways so that the bars stay apart.
    return chart(
        r, out, f"A barrier phase: time per phase against threads "
                f"(median of {runs(max(v[3] for v in s.values()))}, bars from min to max)",
        "threads (all waiting at every phase)", "time per phase (µs), log scale",
        sorted({p[0] for v in series.values() for p in v}),
        {f"s{i}": series[k] for i, k in enumerate(PHASER_PLOTTED)}, [
            f"$s{i} using ($1{(i - 1) * 0.06:+g}):2:3:4 with yerrorlines lw 2 pt {7 + i} ps 0.8 "
            f"lc rgb '{COLOURS[i]}' title {quote(k + ', median and min-max')}"
            for i, k in enumerate(PHASER_PLOTTED)])


def plot(out, r):
    """Draws the charts of the rows there are; returns the SVG names, or None without gnuplot."""
    scripts = {f"{name}.svg": make(r, os.path.join(out, f"{name}.svg"))
               for name, key, make in (("tally", "whole", tally_script),
                                       ("phaser", "phaser", phaser_script)) if r[key]}
    gnuplot = shutil.which("gnuplot")
    if gnuplot is None:
        return None
    for svg, script in scripts.items():
        done = subprocess.run([gnuplot], input=script, text=True, capture_output=True)
        if done.returncode != 0:
            raise run.Failure(f"gnuplot could not draw {svg}:\n{done.stderr.strip()}")
    return list(scripts)


def machine_table(r):
    cpu, cpus, *rest = r["machine"].split("; ") + ["", ""]
    parts = dict(part.split(": ", 1) for part in rest if ": " in part)
    return run.table(["", ""], [
        ["CPU", f"{cpu} (the model name the VM reports)"], ["cores", cpus],
        ["vector extensions", parts.get("vector", "unknown")],
        ["counting kernel level the programs run", parts.get("kernel level", "unknown")],
        ["transparent huge pages", parts.get("transparent huge pages", "unknown")],
        ["commit", f"`{r['commit']}`"], ["date", datetime.date.today().isoformat()]]).replace(
        "|---|---:|", "|---|---|")


def page(r):
    t = run.tables(r)
    count = lambda program: max([v[3] for k, v in run.summary(r["whole"], (0, 1), 3).items()
                                 if k[0] == program] or [0])
    reps, slow = count("forktally"), count("floor_small")
    idle_reps = max([int(row[2]) for row in r["idle"]] or [0])
    times = max([int(row[1]) for row in r["bench"]] + [int(row[2]) for row in r["phaser"]] + [0])
    gb = runs(times)
    return f"""# Benchmarks

Every number on this page comes from one run of one command, on the machine
named below: the charts, the CSV files beside them (each row names the
machine and the commit) and the tables. The page itself is written by that
command.

{machine_table(r)}

Repeat it with

```sh
python3 bench/report.py --out docs
```

which builds the release preset (GCC, `-O3`, no `-march`), runs everything
below with `bench/run.py`, writes `tally.csv`, `tally_bench.csv`,
`phaser.csv`, the charts `tally.svg` and `phaser.svg` (gnuplot, Debian
package `gnuplot-nox`) and this page. Whole processes alternate, round by
round, so that the slow spells of a shared machine spread over all
contenders; the in-process measurements are Google Benchmark programs, run
{times} times each. Nothing asserts a time. On a VM the timings move with what
the neighbours do: read a ratio a little over its goal as a reason to
measure again at a quiet time.

## forktally and duotally

![forktally's elapsed time against N](tally.svg)

Median of {runs(reps)} each, one process per run; the time axis is
logarithmic.

{t['scaling']}

## The counting kernel against the read limit

The read limit is the fastest of three reference kernels built apart from
the project's code (`bench/tally/reference.cpp`: its own library, compiled
with `-O3 -march=native`, including none of the project's headers). A warm
pass is compared with a warm pass (`tally_bench`, median of {gb}), the
first pass over a freshly written array with a first pass (`tally_bench
--first`, one process each, {reps} of them, in the rounds of the programs).
Medians, in ms but for the cache-resident pass.

{t['kernels']}

{t['limit']}

## The programs against their straightforward builds

`forktally_plain` and `duotally_plain` are the straightforward source
(`srand`/`rand()` on `malloc`'d memory, plain loops) at `-O2`; the `_o3`
builds are the same source at `-O3`. A whole run is the wall time of the
process, fill included. The floor of a whole run is two threads that fault
in and write the array with a free generator, then two threads that count
it with the reference loop (its elapsed column is that count), on huge
pages and on small pages populated just before they are written; the
ratios take the faster. Medians of {runs(reps)} ({slow} of each process on
small pages: the straightforward builds and the floor on small pages, which
run after the others, because their small pages would otherwise make the
next program assemble its huge pages anew).

{t['programs']}

## Targets

{t['ratios']}

## Back to back and after an idle pause

Some hosts take freed memory back after a short idle time (a VM whose
balloon reports free pages to the hypervisor); the first run after a pause
then pays the host for every page it touches, and a huge page far more than
the small pages it covers. The same programs and floors, whole runs, once
more with a pause before each process (`--idle-state`, 3 s unless
`--quick`; {runs(idle_reps)} each), beside the medians above.

{t['states']}

## The long runs

Now and then a run takes half as long again as its median or more. On the
2-CPU VMs measured here such runs come as often in the first passes of the
references (the fill, then a reference kernel on two threads, no fork) as in
`forktally 1`; a run that is long takes as many page faults as one that is
not (the same `ru_minflt`), so neither the forks nor the children's first
touch make them: they are the host's, the VM's CPUs running late or not at
all (some of them with steal time in `/proc/stat`). The rate in this run:

{t['tails']}

## The fill

{t['fill']}

Medians of {gb} of `tally_bench`. `faults_*` touch a fresh block once
per 4 KiB (the page faults alone), `plain` is `srand(0)` and `rand() % 4`
on `malloc`'d memory, `one_thread` the generator on one thread into a fresh
block on huge pages, `workload_*` the program's own fill on either page
size; `gen_*` rewrite a block already faulted in (the generator alone:
`rand()` on one thread, the vector generator at each level on two).

## The phaser

![time per phase against threads](phaser.svg)

Median of {gb} each; the time axis is logarithmic.

{t['phaser']}
"""


def main(argv=None):
    args = parse_args(argv)
    out = args.out
    try:
        if not args.replot:
            build = args.build or build_release()
            lacking = run.missing(build, not args.quick)
            if lacking:
                raise run.Failure(f"{', '.join(lacking)} not found in {build}/bin: build it "
                                  "first (cmake --workflow --preset release), or leave out --build")
            os.makedirs(out, exist_ok=True)
            write_csvs(out, run.measure([build], args, plain=not args.quick))
            for svg in ("tally.svg", "phaser.svg"):  # charts of an earlier measurement
                if os.path.exists(os.path.join(out, svg)):
                    os.remove(os.path.join(out, svg))
        r = read_csvs(out)
        with open(os.path.join(out, "benchmarks.md"), "w") as f:
            f.write(page(r))
        written = plot(out, r)
        run.show(r)
    except (run.Failure, OSError) as e:
        print(f"report.py: {e}", file=sys.stderr)
        return 1
    if written is None:
        print(f"report.py: gnuplot is not installed, so tally.svg and phaser.svg were not drawn; "
              f"the CSV files and benchmarks.md are in {out}/. Install the Debian package "
              f"gnuplot-nox (apt-get install gnuplot-nox), then draw the charts with "
              f"python3 {os.path.relpath(os.path.abspath(__file__))} --replot --out {out}",
              file=sys.stderr)
        return NO_GNUPLOT
    run.note(f"wrote the CSV files, {', '.join(written)} and benchmarks.md in {out}/")
    return 0


if __name__ == "__main__":
    sys.exit(main())
