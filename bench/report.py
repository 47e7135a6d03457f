#!/usr/bin/env python3
"""Writes one run's measurements: CSV files, charts drawn by gnuplot, and the page.

Usage: python3 bench/report.py [--out DIR] [--build DIR] [--replot] [bench/run.py's options]

Measures what bench/run.py measures, in build/release (brought up to date
first) or in the build folder --build names, and writes into DIR (default
report/ at the top of the source tree):
  tally.csv        program,n,repetition,elapsed_ms,whole_run_s,minor_faults:
                   a row per process (forktally N, duotally with n = 2, the
                   straightforward builds, floor_huge and floor_small, whose
                   elapsed_ms is the floor's count, first_KERNEL) and per round
                   the read limit (read_limit, the fastest reference's first pass);
  tally_idle.csv   the same of the programs and floors after an idle pause;
  tally_bench.json, phaser_bench.json  Google Benchmark's own output of
                   tally_bench (kernels and fill) and phaser_bench;
  tally.svg, phaser.svg  forktally's elapsed time against N with duotally and
                   the read limit; the time per phase of zel_phaser,
                   pthread_barrier and std::barrier against threads;
  benchmarks.md    the page that shows all of it.
Every CSV row ends with machine (tally_bench's description of it) and commit
(`git describe --always --dirty`), which the JSON files name in their
context. --replot writes the charts and the page again from the files in DIR.

Exit status: 0 done; 1 a program or the build failed; 2 a bad option; 3
gnuplot is not installed (all but the charts written; standard error says so).
"""
import argparse
import csv
import datetime
import json
import os
import shutil
import subprocess
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run  # noqa: E402  (bench/run.py)

NO_GNUPLOT = 3
HEADER = ["program", "n", "repetition", "elapsed_ms", "whole_run_s", "minor_faults"]
FILES = {"tally": "whole", "tally_idle": "idle"}
STAMP = ["machine", "commit"]
PAGE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "benchmarks.md.in")
PHASER_PLOTTED = ["zel_phaser", "pthread_barrier", "std::barrier"]


def parse_args(argv):
    ap = argparse.ArgumentParser(
        prog="report.py", description=__doc__.splitlines()[0],
        epilog=__doc__[__doc__.index("Exit status"):], formatter_class=argparse.RawDescriptionHelpFormatter)
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
    for name, key in FILES.items():
        with open(os.path.join(out, f"{name}.csv"), "w", newline="") as f:
            w = csv.writer(f, lineterminator="\n")
            w.writerow(HEADER + STAMP)
            w.writerows(row + [r["machine"], r["commit"]] for row in r[key])


def read_files(out):
    """The measurement written in out: the CSV files and Google Benchmark's JSON, where run."""
    r = {"machine": "unknown", "commit": "unknown"}
    for name, key in FILES.items():
        path = os.path.join(out, f"{name}.csv")
        if key == "idle" and not os.path.exists(path):
            r[key] = []
            continue
        with open(path, newline="") as f:
            rows = list(csv.reader(f))
        if not rows or rows[0] != HEADER + STAMP:
            raise run.Failure(f"{path} does not start with the header {','.join(HEADER + STAMP)}")
        r[key] = [row[:len(HEADER)] for row in rows[1:]]
        if len(rows) > 1:
            r["machine"], r["commit"] = rows[1][-2:]
    for name in run.GBENCH:  # none after --whole-only
        r[name], path = {}, os.path.join(out, f"{name}.json")
        if os.path.exists(path):
            with open(path) as f:
                r[name] = json.load(f)
    return r


def quote(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def runs(reps, what="run"):
    return f"{reps} {what}" + ("" if reps == 1 else "s")


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
    s = run.phaser(r)
    series = {k: points(s, k) for k in PHASER_PLOTTED}
    if not all(series.values()):
        raise run.Failure(f"phaser_bench.json lacks {', '.join(k for k, v in series.items() if not v)}")
    # Each series is shifted a little sideways so that the bars stay apart.
    return chart(
        r, out, f"A barrier phase: time per phase against threads "
                f"(median of {runs(max(v[3] for v in s.values()), 'repetition')}, bars from min to max)",
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
                                       ("phaser", "phaser_bench", phaser_script)) if r[key]}
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
    count = lambda program: max([v[3] for k, v in run.summary(r["whole"], (0, 1), 3).items()
                                 if k[0] == program] or [0])
    reps, slow = count("forktally"), count("floor_small")
    idle_reps = max([int(row[2]) for row in r["idle"]] or [0])
    times = max([v[3] for name in run.GBENCH for v in run.stats(r[name], run.ms).values()] + [0])
    with open(PAGE) as f:  # the page's text, with str.format fields for its figures and tables
        text = f.read()
    return text.format(machine=machine_table(r), runs=runs(reps), reps=reps, slow=slow,
                       idle_runs=runs(idle_reps), times=times, repetitions=runs(times, "repetition"),
                       **run.tables(r))


def main(argv=None):
    args = parse_args(argv)
    out = args.out
    try:
        if not args.replot:
            build = args.build or build_release()
            lacking = run.missing([build], not args.quick)
            if lacking:
                raise run.Failure(f"{', '.join(lacking)} not found: build it "
                                  "first (cmake --workflow --preset release), or leave out --build")
            os.makedirs(out, exist_ok=True)
            stamp = run.commit()  # before the old files go: they may be tracked
            for old in ("tally.svg", "phaser.svg", *(f"{n}.json" for n in run.GBENCH)):
                if os.path.exists(os.path.join(out, old)):  # of an earlier measurement
                    os.remove(os.path.join(out, old))
            write_csvs(out, run.measure([build], args, out, plain=not args.quick, stamp=stamp))
        r = read_files(out)
        with open(os.path.join(out, "benchmarks.md"), "w") as f:
            f.write(page(r))
        written = plot(out, r)
        run.show(r)
    except (run.Failure, OSError, ValueError) as e:  # ValueError: a JSON file is not JSON
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
