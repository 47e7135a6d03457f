#!/usr/bin/env python3
"""Black-box checks of bench/report.py, one CTest test per subcommand.

  run REPORT BUILD OUT   a quick report, two repetitions of the small-page
                         processes and benchmarks, into OUT (the fixture the
                         others read): status 0, or 3 without gnuplot; the
                         tables on stdout
  csv OUT                the CSV files: exact headers, the rows a quick run
                         makes, positive times and faults, one machine and
                         commit; Google Benchmark's JSON: its medians of two
                         repetitions, the kernels, the fill, the barriers
  svg OUT                each chart is SVG with its series, titles and machine
                         line; 77 (skip) without gnuplot
  page REPORT            the page from made-up files, written by --replot
                         without gnuplot (status 3, a message naming
                         gnuplot-nox, no chart, the files untouched): every
                         table and chart, medians and verdicts
  usage REPORT           bad options: status 2; a build without the programs: 1
"""
import csv
import json
import os
import shutil
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "testing"))
from checks import SKIP, check, finish, main  # noqa: E402

HEADER = "program,n,repetition,elapsed_ms,whole_run_s,minor_faults,machine,commit".split(",")
FILES = ["tally.csv", "tally_idle.csv", "tally_bench.json", "phaser_bench.json"]
FIRSTS = ["first_native_or", "first_native_plain", "first_native_intrinsics", "first_plain_o3",
          "first_workload"]
SVG = "{http://www.w3.org/2000/svg}"


def report(script, *args, env=None):
    return subprocess.run([sys.executable, script, *args], capture_output=True, text=True,
                          env=env, timeout=170)


def rows_of(out, name):
    with open(os.path.join(out, name), newline="") as f:
        return list(csv.reader(f))


def positive(text):
    try:
        return float(text) > 0
    except ValueError:
        return False


def cmd_run(script, build, out):
    shutil.rmtree(out, ignore_errors=True)
    done = report(script, "--quick", "--slow-reps", "2", "--build", build, "--out", out)
    sys.stderr.write(done.stderr)
    want = 0 if shutil.which("gnuplot") else 3
    check(done.returncode == want, f"quick report exits with {want} (got {done.returncode})")
    check("| `forktally 2` |" in done.stdout and "| zel_phaser |" in done.stdout,
          "the tables are printed on stdout")
    check(all(os.path.exists(os.path.join(out, n)) for n in [*FILES, "benchmarks.md"]),
          "the CSV files, the JSON files and the page are written")
    return finish()


def cmd_csv(out):
    tally = rows_of(out, "tally.csv")
    check(tally[0] == HEADER and rows_of(out, "tally_idle.csv")[0] == HEADER, "the CSV headers")
    tally = tally[1:]
    check(all(positive(r[4]) and r[5].isdigit() and int(r[5]) > 0 for r in tally),
          "whole runs and minor faults are positive")
    check(all(int(r[5]) >= 204800 for r in tally if r[0] == "floor_small"),
          "the floor on small pages faults at least once per 4 KiB page of its 800 MiB")
    stamps = {tuple(r[-2:]) for r in tally}
    check(len(stamps) == 1 and "CPUs; vector: " in min(stamps)[0] and "kernel level: " in min(stamps)[0],
          f"every row names the one machine and commit: {stamps}")
    want = ["duotally 2", "floor_huge 2", "floor_small 2", "floor_small 2", "forktally 1",
            "forktally 2", "read_limit 2"] + [f"{f} 2" for f in FIRSTS]
    check(sorted(f"{r[0]} {r[1]}" for r in tally) == sorted(want), "tally.csv has a row per process")
    programs = [r for r in tally if r[0] in ("forktally", "duotally")]
    check(all(len(r[3].split(".")[1]) == 6 and float(r[4]) * 1000 > float(r[3]) for r in programs),
          "the programs' elapsed lines keep six decimals and are shorter than the whole run")
    names = {}
    for name in ("tally_bench", "phaser_bench"):
        with open(os.path.join(out, f"{name}.json")) as f:
            data = json.load(f)
        check(data["context"].get("commit") == min(stamps)[1], f"{name}.json names the commit")
        medians = [b for b in data["benchmarks"] if b.get("aggregate_name") == "median"]
        check(medians and all(b["repetitions"] == 2 for b in medians) and
              len(data["benchmarks"]) == len(medians) * 6, f"{name}.json: two repetitions and "
              "Google Benchmark's aggregates of every benchmark")
        names[name] = {b["run_name"] for b in medians if b["real_time"] > 0}
    check({"warm_2t/native_or/real_time", "warm_2t/workload/real_time", "block_64m/workload",
           "cache_256k/workload", "fill/faults_huge/iterations:1/manual_time",
           "fill/workload_huge/iterations:1/manual_time"} <= names["tally_bench"],
          "tally_bench.json has the kernels and the fill")
    check({f"BM_{p}/{t}/real_time" for p in ("zel_phaser_barrier", "pthread_barrier", "std_barrier")
           for t in "2348"} <= names["phaser_bench"], "phaser_bench.json has every barrier "
          "at 2, 3, 4 and 8 threads")
    return finish()


def check_svg(path, want_series, want_texts):
    name = os.path.basename(path)
    try:
        root = ET.parse(path).getroot()
    except (OSError, ET.ParseError) as e:
        return check(False, f"{name} is well-formed XML: {e}")
    check(root.tag == SVG + "svg", f"{name} is an SVG document")
    # With an opaque key gnuplot writes each series twice under one id.
    titles, drawn = {}, {}
    for g in root.iter(SVG + "g"):
        gid = g.get("id", "")
        if gid.startswith("gnuplot_plot_"):
            titles[gid] = titles.get(gid) or next((t.text for t in g.iter(SVG + "text") if t.text), "")
            drawn[gid] = drawn.get(gid) or any(True for _ in g.iter(SVG + "path"))
    check([t.split(",")[0] for t in titles.values()] == want_series, f"{name} series {titles}")
    check(all(drawn.values()), f"{name}: every series draws a line")
    texts = [t.text or "" for t in root.iter(SVG + "text")]
    for want in want_texts + ["log scale", "kernel level: ", "commit "]:
        check(any(want in t for t in texts), f"{name} shows '{want}'")


def cmd_svg(out):
    if not shutil.which("gnuplot"):
        print("skip: gnuplot is not installed (Debian package gnuplot-nox)")
        return SKIP
    check_svg(os.path.join(out, "tally.svg"), ["forktally N", "duotally", "two-thread read limit"],
              ["forktally's elapsed time against N", "median of 1 run,", "N, child processes"])
    check_svg(os.path.join(out, "phaser.svg"), ["zel_phaser", "pthread_barrier", "std::barrier"],
              ["time per phase against threads", "time per phase (µs)"])
    return finish()


def gbench_json(benchmarks, commit):
    """Google Benchmark's JSON of made-up runs, (run_name, unit, [times], counter or None) in
    the order registered, written in reverse: each repetition, a wrong mean, the median."""
    entries = []
    for family, (name, unit, times, counter) in enumerate(benchmarks):
        for kind, x in [("iteration", t) for t in times] + [("mean", 999.0), ("median", times[0])]:
            entries.append({"name": name, "run_name": name, "family_index": family,
                            "per_family_instance_index": 0, "repetitions": len(times),
                            "run_type": "aggregate" if kind != "iteration" else kind,
                            "real_time": x, "time_unit": unit, **({"per_phase": x * 1e-6}
                                                                          if counter else {}),
                            **({"aggregate_name": kind} if kind != "iteration" else {})})
    return {"context": {"commit": commit}, "benchmarks": entries[::-1]}


def made_up(folder):
    """The files of a made-up run with every measurement the page shows."""
    whole = [["forktally", "2", str(i), t, "0.300"] for i, t in enumerate(("30.000000", "31.000000", "35.000000"), 1)]
    whole += [[p, n, "1", e, w] for p, n, e, w in [
        ("forktally", "1", "40.000000", "0.320"), ("forktally", "1", "40.000000", "0.320"),
        ("forktally", "1", "90.000000", "0.320"), ("forktally", "4", "28.000000", "0.300"),
        ("duotally", "2", "24.500000", "0.290"), ("read_limit", "2", "22.250000", "0.100"),
        ("first_native_or", "2", "22.250000", "0.100"), ("first_workload", "2", "23.500000", "0.100"),
        ("floor_huge", "2", "20.000000", "0.250"), ("floor_small", "2", "21.000000", "0.200"),
        ("forktally_plain", "1", "1000.000000", "6.000"), ("forktally_plain", "2", "800.000000", "6.000"),
        ("forktally_plain", "4", "800.000000", "6.000"), ("duotally_plain", "2", "50.000000", "5.000"),
        ("duotally_plain_o3", "2", "49.000000", "5.000")]]
    idle = [["duotally", "2", "1", "30.000000", "0.500", "204000"],
            ["floor_huge", "2", "1", "20.000000", "0.800", "600"],
            ["floor_small", "2", "1", "21.000000", "0.400", "205000"]]
    bench = [(f"{part}/{k}", unit, [base / div, base / div * 2, base / div / 2], None)
             for k, base in (("native_or", 20.5), ("workload_avx2", 20.0), ("workload", 21.25))
             for part, div, unit in (("warm_2t", 1, "ms"), ("block_64m", 10, "ms"), ("cache_256k", 0.1, "us"))]
    bench += [("fill/workload_huge/iterations:1/manual_time", "ms", [99.5], None),
              ("fill/gen_avx2_2t/real_time", "ms", [35.25, 35.0, 36.0], None)]
    phaser = [("BM_zel_phaser_barrier/2/real_time", "us", [3.125, 3.0, 4.0], "per_phase"),
              ("BM_std_barrier/4/real_time", "us", [5.0], "per_phase"),
              ("BM_pthread_barrier/2/real_time", "us", [9.0], "per_phase")]
    stamp = ["Test CPU 9000; 2 CPUs; vector: sse2 avx2; kernel level: avx2; "
             "transparent huge pages: madvise", "abc1234"]
    for name, rows in (("tally.csv", [r + ["2600"] for r in whole]), ("tally_idle.csv", idle)):
        with open(os.path.join(folder, name), "w", newline="") as f:
            csv.writer(f, lineterminator="\n").writerows([HEADER] + [r + stamp for r in rows])
    for name, benchmarks in (("tally_bench.json", bench), ("phaser_bench.json", phaser)):
        with open(os.path.join(folder, name), "w") as f:
            json.dump(gbench_json(benchmarks, stamp[1]), f)


def cmd_page(script):
    with tempfile.TemporaryDirectory() as tmp:
        made_up(tmp)
        before = {n: open(os.path.join(tmp, n)).read() for n in FILES}
        done = report(script, "--replot", "--out", tmp, env=dict(os.environ, PATH=""))
        check(done.returncode == 3 and "gnuplot-nox" in done.stderr and "not drawn" in done.stderr,
              f"--replot without gnuplot: status 3 and a message (got {done.returncode}, {done.stderr})")
        check(sorted(os.listdir(tmp)) == sorted([*FILES, "benchmarks.md"]), "no chart is written")
        check(all(open(os.path.join(tmp, n)).read() == t for n, t in before.items()),
              "--replot leaves the measurement's files as they were")
        with open(os.path.join(tmp, "benchmarks.md")) as f:
            text = f.read()
    reference = "| reference: pure read, OR of every element (`-O3 -march=native`) | 20.50 | 22.25 | 2.05 | 205.00 |"
    for want in ("Test CPU 9000", "| vector extensions | sse2 avx2 |", "| avx2 |", "| madvise |",
                 "`abc1234`", "(tally.svg)", "(phaser.svg)", "Median of 3 runs each",
                 "repeat each benchmark 3 times", "| `forktally 2` | 31.0 | 30.0 | 35.0 | 0.30 |",
                 "| two-thread read limit, first pass | 22.2 |", reference,
                 "| the project's kernel, `avx2` build | 20.00 | – | 2.00 | 200.00 |",
                 "| `workload_count` as the programs call it | 21.25 | 23.50 | 2.12 | 212.50 |",
                 "Read limit: warm 20.50 ms, first pass 22.25 ms.",
                 "| `forktally_plain 2` | 800.00 | 6000 |", "| `duotally_plain_o3` | 49.00 | 5000 |",
                 "small pages (`tally_bench --floor small`) | 21.00 | 200 |",
                 "| count / read limit, warm | 1.037 | – |",
                 "| duotally elapsed / read limit, first pass | 1.101 | ≤ 1.15 | met |",
                 "| forktally 2 elapsed / duotally elapsed | 1.265 | ≤ 1.3 | met |",
                 "| duotally whole run / best floor | 1.450 | ≤ 1.3 | not met in this run |",
                 "| forktally 1 elapsed / straightforward | 0.040 | ≤ 0.4 | met |",
                 "| `duotally` | 290 | 2600 | 500 | 204000 |", "| floor, small pages | 200 | 2600 | 400 | 205000 |",
                 "| duotally whole run / best floor | 1.45 |  | 1.25 |  |",
                 "| `forktally 1` | 40.0 | 90.0 | 1 of 3 |", "| `forktally 2` | 31.0 | 35.0 | 0 of 3 |",
                 "| `workload_huge` | 99.5 |", "| `gen_avx2_2t` | 35.2 |",
                 "| µs per phase, median | 2 threads | 4 threads |", "| zel_phaser | 3.12 | – |"):
        check(want in text, f"the page shows '{want}'")
    check(text.find(reference) < text.find("| `workload_count`"), "the kernels in the order registered")
    return finish()


def cmd_usage(script):
    for args in (["--reps", "0"], ["--reps", "x"], ["--ns", "0,2"], ["--ns", "1,,x"],
                 ["--min-time", "0"], ["--idle", "-1"], ["--no-such-option"]):
        done = report(script, *args, "--build", "/nonexistent", "--out", "/nonexistent/out")
        check(done.returncode == 2 and "usage: report.py" in done.stderr and not done.stdout,
              f"report.py {' '.join(args)}: status {done.returncode}")
    with tempfile.TemporaryDirectory() as tmp:
        done = report(script, "--build", tmp, "--out", os.path.join(tmp, "out"))
        check(done.returncode == 1 and "forktally" in done.stderr and "not found" in done.stderr,
              f"a build folder without the programs: status {done.returncode}, {done.stderr.strip()}")
        check(not os.path.exists(os.path.join(tmp, "out")), "nothing written when the programs are missing")
    return finish()


if __name__ == "__main__":
    sys.exit(main("report_test.py", {"run": (cmd_run, 3), "csv": (cmd_csv, 1), "svg": (cmd_svg, 1),
                                     "page": (cmd_page, 1), "usage": (cmd_usage, 1)}, sys.argv))
