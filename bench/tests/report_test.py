#!/usr/bin/env python3
"""Black-box checks of bench/report.py, one CTest test per subcommand.

  run REPORT BUILD OUT    quick report into OUT (the fixture the others read);
                          passes with status 0, or with 3 when gnuplot is absent
  csv OUT                 tally.csv and phaser.csv: exact headers, one row per
                          run, positive numbers, one machine and commit
  svg OUT                 each chart is well-formed SVG with the expected
                          series, title, axis labels and machine line; 77 (skip)
                          without gnuplot
  no-gnuplot REPORT OUT   --replot with gnuplot off the PATH: status 3, the CSV
                          files untouched, no chart, a message naming gnuplot-nox
  usage REPORT            bad options end with status 2 before anything runs
  page PAGE_PY            the measurements page from made-up results: the machine,
                          the commit, every median and the verdict of each goal

The quick run is one repetition of forktally 1 and 2, duotally and the read
limit, and 0.02 s per barrier benchmark.
"""
import csv
import os
import shutil
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

SKIP = 77
NS = [1, 2]
THREADS = [2, 3, 4, 8]
PRIMITIVES = ["zel_phaser", "pthread_barrier", "std::barrier", "zel_phaser, one awaiter"]
SVG = "{http://www.w3.org/2000/svg}"
failures = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what)
    if not ok:
        failures.append(what)


def finish():
    print(f"{len(failures)} failed")
    return 1 if failures else 0


def report(script, *args, env=None):
    return subprocess.run([sys.executable, script, *args], capture_output=True, text=True,
                          env=env, timeout=170)


def rows_of(path):
    with open(path, newline="") as f:
        return list(csv.reader(f))


def positive_number(text):
    try:
        return float(text) > 0
    except ValueError:
        return False


def cmd_run(script, build, out):
    shutil.rmtree(out, ignore_errors=True)
    done = report(script, "--quick", "--build", build, "--out", out)
    sys.stderr.write(done.stderr)
    want = 0 if shutil.which("gnuplot") else 3
    check(done.returncode == want, f"quick report exits with {want} (got {done.returncode})")
    progress = [l for l in done.stderr.splitlines() if l.startswith(("report: tally run", "phaser: run"))]
    check(len(progress) == len(NS) + 2 + 1, f"one progress line per run on stderr ({len(progress)})")
    check("forktally 2" in done.stdout and "zel_phaser" in done.stdout, "medians summarised on stdout")
    return finish()


def cmd_csv(out):
    tally = rows_of(os.path.join(out, "tally.csv"))
    check(tally[0] == ["program", "n", "repetition", "elapsed_ms", "whole_run_s", "machine", "commit"],
          "tally.csv header")
    keys = sorted((r[0], r[1], r[2]) for r in tally[1:])
    want = sorted([("forktally", str(n), "1") for n in NS] + [("duotally", "2", "1"), ("read_limit", "2", "1")])
    check(keys == want, f"tally.csv has one row per run: {keys}")
    check(all(len(r) == 7 and positive_number(r[3]) and positive_number(r[4]) for r in tally[1:]),
          "tally.csv times are positive numbers")
    check(len({(r[5], r[6]) for r in tally[1:]}) == 1 and "CPUs; vector: " in tally[1][5]
          and "kernel level: " in tally[1][5] and tally[1][6],
          "every tally.csv row names the one machine and commit it was measured on")
    check(all(len(r[3].split(".")[1]) == 6 for r in tally[1:]),
          "elapsed_ms keeps the programs' six decimals")
    # A whole run includes the fill, so it lasts longer than its elapsed line.
    check(all(float(r[4]) * 1000 > float(r[3]) for r in tally[1:] if r[0] != "read_limit"),
          "whole-run seconds exceed elapsed milliseconds")

    phaser = rows_of(os.path.join(out, "phaser.csv"))
    check(phaser[0] == ["primitive", "threads", "repetition", "us_per_phase", "machine", "commit"],
          "phaser.csv header")
    keys = sorted((r[0], int(r[1]), r[2]) for r in phaser[1:])
    kinds = sorted({r[0] for r in phaser[1:]})  # phaser_bench may measure more than these
    want = sorted((p, t, "1") for p in kinds for t in THREADS)
    check(set(PRIMITIVES) <= set(kinds) and keys == want,
          f"phaser.csv has every primitive at every thread count: {keys}")
    check(all(len(r) == 6 and positive_number(r[3]) for r in phaser[1:]), "phaser.csv times are positive")
    check({(r[4], r[5]) for r in phaser[1:]} == {(tally[1][5], tally[1][6])},
          "phaser.csv rows name the same machine and commit as tally.csv")
    return finish()


def series(root):
    """Key titles of the plotted series, in order, with whether each draws a path.
    With an opaque key gnuplot writes each series twice under one id: the data
    first, the key entry after it."""
    titles, drawn = {}, {}
    for g in root.iter(SVG + "g"):
        gid = g.get("id", "")
        if gid.startswith("gnuplot_plot_"):
            texts = [t.text for t in g.iter(SVG + "text") if t.text]
            titles.setdefault(gid, "")
            titles[gid] = titles[gid] or (texts[0] if texts else "")
            drawn[gid] = drawn.get(gid, False) or any(True for _ in g.iter(SVG + "path"))
    return [(titles[gid], drawn[gid]) for gid in titles]


def texts(root):
    return [t.text or "" for t in root.iter(SVG + "text")]


def check_svg(path, want_series, want_texts):
    name = os.path.basename(path)
    try:
        root = ET.parse(path).getroot()
    except (OSError, ET.ParseError) as e:
        check(False, f"{name} is well-formed XML: {e}")
        return
    check(root.tag == SVG + "svg", f"{name} is an SVG document")
    got = series(root)
    check([t.split(",")[0] for t, _ in got] == want_series, f"{name} series {[t for t, _ in got]}")
    check(all(drawn for _, drawn in got), f"{name}: every series draws a line")
    all_texts = texts(root)
    for want in want_texts:
        check(any(want in t for t in all_texts), f"{name} shows '{want}'")


def cmd_svg(out):
    if not shutil.which("gnuplot"):
        print("skip: gnuplot is not installed (Debian package gnuplot-nox)")
        return SKIP
    check_svg(os.path.join(out, "tally.svg"), ["forktally N", "duotally", "two-thread read limit"],
              ["forktally's elapsed time against N", "median of 1 run,", "elapsed counting time (ms)",
               "N, child processes of forktally", "log scale", "kernel level: ", "commit "])
    check_svg(os.path.join(out, "phaser.svg"), ["zel_phaser", "pthread_barrier", "std::barrier"],
              ["time per phase against threads", "time per phase (µs)", "threads", "log scale",
               "kernel level: ", "commit "])
    return finish()


def cmd_no_gnuplot(script, out):
    with tempfile.TemporaryDirectory() as tmp:
        for name in ("tally.csv", "phaser.csv"):
            shutil.copy(os.path.join(out, name), tmp)
        before = {n: open(os.path.join(tmp, n)).read() for n in ("tally.csv", "phaser.csv")}
        env = dict(os.environ, PATH=os.path.join(tmp, "empty"))
        done = report(script, "--replot", "--out", tmp, env=env)
        check(done.returncode == 3, f"status 3 without gnuplot (got {done.returncode})")
        check("gnuplot-nox" in done.stderr and "not drawn" in done.stderr,
              f"stderr names what is missing: {done.stderr.strip()}")
        check(sorted(os.listdir(tmp)) == ["phaser.csv", "tally.csv"], "no chart is written")
        check(all(open(os.path.join(tmp, n)).read() == t for n, t in before.items()),
              "--replot leaves the CSV files as they were")
    return finish()


def cmd_usage(script):
    for args in (["--reps", "0"], ["--reps", "x"], ["--ns", "0,2"], ["--ns", "1,,x"],
                 ["--min-time", "0"], ["--no-such-option"]):
        done = report(script, *args, "--build", "/nonexistent", "--out", "/nonexistent/out")
        check(done.returncode == 2 and "usage: report.py" in done.stderr and not done.stdout,
              f"report.py {' '.join(args)}: status {done.returncode}")
    with tempfile.TemporaryDirectory() as tmp:
        done = report(script, "--build", tmp, "--out", os.path.join(tmp, "out"))
        check(done.returncode == 1 and "forktally" in done.stderr and "not found" in done.stderr,
              f"a build folder without the programs: status {done.returncode}, {done.stderr.strip()}")
        check(not os.path.exists(os.path.join(tmp, "out")), "nothing written when the programs are missing")
    return finish()


def cmd_page(page_py):
    import importlib.util
    sys.dont_write_bytecode = True
    found = importlib.util.spec_from_file_location("benchmarks_page", page_py)
    page = importlib.util.module_from_spec(found)
    found.loader.exec_module(page)
    machine = ("Test CPU 9000; 2 CPUs; vector: sse2 avx2; kernel level: avx2; "
               "transparent huge pages: madvise")
    kernels = ["native_or", "workload"]
    results = {
        "machine": machine, "commit": "abc1234", "reps": 3, "huge_reps": 21,
        "scan": {"native_or_2t": 20.5, "workload_2t": 21.25},
        "first": {"first_native_or_2t": 22.75, "first_workload_2t": 23.5},
        "block": {f"{k}_{s}": v for k, v0 in zip(kernels, (1.5, 1.75))
                  for s, v in (("64m", v0), ("256k_x256", v0 / 4))},
        "fill": {"fill_workload": 99.5},
        "elapsed": {"duotally": 24.0, "duotally_plain": 48.0},
        "wall": {"duotally": 300.0, "duotally_plain": 5000.0, "floor": 250.0},
        "limit": 20.5, "first_limit": 22.75,
    }
    tally_rows = [["forktally", "2", str(i), t, "0.300", machine, "abc1234"]
                  for i, t in enumerate(("30.000000", "31.000000", "35.000000"), 1)]
    tally_rows += [["duotally", "2", "1", "24.500000", "0.290", machine, "abc1234"],
                   ["read_limit", "2", "1", "22.250000", "0.500", machine, "abc1234"]]
    phaser_rows = [["zel_phaser", "2", "1", "3.1250", machine, "abc1234"]]
    ratios = [("within its goal", 0.5, 1.0), ("over its goal", 1.5, 1.3), ("no goal", 1.1, None)]
    text = page.page(results, tally_rows, phaser_rows, ratios)
    for want in ("Test CPU 9000", "sse2 avx2", "| avx2 |", "madvise", "`abc1234`",
                 "| `forktally 2` | 31.0 | 30.0 | 35.0 | 0.30 |", "| `duotally` | 24.5 |",
                 "| 22.2 |", "21.25", "23.50", "0.44", "99.5", "| 3.12 |", "Median of 3 runs", "Medians of 21 runs (3 of each",
                 "| within its goal | 0.500 | ≤ 1 | met |",
                 "| over its goal | 1.500 | ≤ 1.3 | not met in this run |",
                 "| no goal | 1.100 | – | |", "(tally.svg)", "(phaser.svg)"):
        check(want in text, f"the page shows '{want}'")
    return finish()


def main(argv):
    commands = {"run": (cmd_run, 3), "csv": (cmd_csv, 1), "svg": (cmd_svg, 1),
                "no-gnuplot": (cmd_no_gnuplot, 2), "usage": (cmd_usage, 1), "page": (cmd_page, 1)}
    if len(argv) < 2 or argv[1] not in commands or len(argv) - 2 != commands[argv[1]][1]:
        sys.exit(f"usage: report_test.py {'|'.join(commands)} ARGS...")
    return commands[argv[1]][0](*argv[2:])


if __name__ == "__main__":
    sys.exit(main(sys.argv))
