"""The measurements page, docs/benchmarks.md, written from one run of bench/report.py.

page(results, tally_rows, phaser_rows, ratios) takes bench/tally/run.py's
measure() result and ratios(), and the rows of tally.csv and phaser.csv of
the same run, and returns the page as Markdown. Every number on it comes from those three; the prose
around them does not depend on them.
"""
import datetime
import statistics


def _med(values):
    return statistics.median(values)


def _machine_table(r):
    parts = dict(part.split(": ", 1) for part in r["machine"].split("; ") if ": " in part)
    cpu, cpus = r["machine"].split("; ")[:2]
    return "\n".join([
        "| | |", "|---|---|",
        f"| CPU | {cpu} (the model name the VM reports) |",
        f"| cores | {cpus} |",
        f"| vector extensions | {parts.get('vector', 'unknown')} |",
        f"| counting kernel level the loader picked | {parts.get('kernel level', 'unknown')} |",
        f"| transparent huge pages | {parts.get('transparent huge pages', 'unknown')} |",
        f"| commit | `{r['commit']}` |",
        f"| date | {datetime.date.today().isoformat()} |",
    ])


def _scaling_table(rows):
    groups = {}
    for row in rows:
        groups.setdefault((row[0], int(row[1])), []).append((float(row[3]), float(row[4])))
    order = sorted(groups, key=lambda k: ({"forktally": 0, "duotally": 1}.get(k[0], 2), k[1]))
    lines = ["| run | elapsed ms, median | min | max | whole run s, median |",
             "|---|---:|---:|---:|---:|"]
    for program, n in order:
        elapsed = [e for e, _ in groups[(program, n)]]
        if program == "read_limit":
            label, whole = "two-thread read limit, first pass", "–"
        else:
            label = f"`forktally {n}`" if program == "forktally" else f"`{program}`"
            whole = f"{_med([w for _, w in groups[(program, n)]]):.2f}"
        lines.append(f"| {label} | {_med(elapsed):.1f} | {min(elapsed):.1f} | {max(elapsed):.1f} | {whole} |")
    return "\n".join(lines), max(len(v) for v in groups.values())


def _phaser_table(rows):
    groups = {}
    for row in rows:
        groups.setdefault((row[0], int(row[1])), []).append(float(row[3]))
    threads = sorted({n for _, n in groups})
    lines = ["| µs per phase, median | " + " | ".join(f"{t} threads" for t in threads) + " |",
             "|---|" + "---:|" * len(threads)]
    for kind in sorted({k for k, _ in groups}):
        cells = [f"{_med(groups[(kind, t)]):.2f}" if (kind, t) in groups else "–" for t in threads]
        lines.append(f"| {kind} | " + " | ".join(cells) + " |")
    return "\n".join(lines)


KERNELS = {
    "native_or": "reference: pure read, OR of every element (`-O3 -march=native`)",
    "native_plain": "reference: the plain loop at `-O3 -march=native`",
    "native_intrinsics": "reference: intrinsics, compare mask popcounted (`-march=native`)",
    "plain_o3": "the plain loop at `-O3`, baseline instruction set",
    "workload_sse2": "the project's kernel, SSE2 build (16-byte registers)",
    "workload_avx2": "the project's kernel, AVX2 build (32-byte registers)",
    "workload_avx512": "the project's kernel, AVX-512 build (64-byte registers)",
    "workload": "`workload_count` as the loader bound it",
}


def _kernel_table(r):
    scan, block, first = r["scan"], r["block"], r["first"]
    lines = ["| kernel | warm, 2 threads, 800 MB | first pass, 2 threads | 1 thread, warm 64 MiB "
             "| 1 thread, 256 KiB × 256 (cache) |", "|---|---:|---:|---:|---:|"]
    for k in [k[:-3] for k in scan]:
        f = first.get(f"first_{k}_2t")
        lines.append(f"| {KERNELS.get(k, k)} | {scan[k + '_2t']:.2f} | "
                     f"{f'{f:.2f}' if f is not None else '–'} | {block[k + '_64m']:.2f} | "
                     f"{block[k + '_256k_x256']:.2f} |")
    return "\n".join(lines)


def _programs_table(r):
    elapsed, wall = r["elapsed"], r["wall"]
    lines = ["| program | elapsed line, ms | whole run, ms |", "|---|---:|---:|"]
    for key in elapsed:
        lines.append(f"| `{key}` | {elapsed[key]:.2f} | {wall[key]:.0f} |")
    lines.append(f"| floor of a whole run (`tally_bench floor`) | – | {wall['floor']:.0f} |")
    return "\n".join(lines)


def _fill_table(fill):
    return "\n".join(["| part of the fill | ms |", "|---|---:|"] +
                     [f"| `{name}` | {ms:.1f} |" for name, ms in sorted(fill.items())])


def _ratio_table(ratios):
    lines = ["| ratio | this run | goal | |", "|---|---:|---:|---|"]
    for what, ratio, goal in ratios:
        if goal is None:
            lines.append(f"| {what} | {ratio:.3f} | – | |")
        else:
            lines.append(f"| {what} | {ratio:.3f} | ≤ {goal:g} | "
                         f"{'met' if ratio <= goal else 'not met in this run'} |")
    return "\n".join(lines)


def page(r, tally_rows, phaser_rows, ratios):
    """The page as Markdown. ratios: (what, ratio, goal or None) as run.py's ratios() gives."""
    scaling, reps = _scaling_table(tally_rows)
    return f"""# Benchmarks

Every number on this page comes from one run of one command, on the machine
named below: the charts, the CSV files beside them (each row names the
machine and the commit) and the tables. The page itself is written by that
command.

{_machine_table(r)}

Repeat it with

```sh
python3 bench/report.py --out docs
```

which builds the release preset (GCC, `-O3`, no `-march`), runs everything
below, writes `tally.csv`, `phaser.csv`, the charts `tally.svg` and
`phaser.svg` (gnuplot, Debian package `gnuplot-nox`), `tally_details.txt`
(the plain-text tables of `bench/tally/run.py`) and this page. Runs
alternate, repetition by repetition, so that the slow spells of a shared
machine spread over all contenders. Nothing asserts a time. On a VM the
timings move with what the neighbours do: read a ratio a little over its
goal as a reason to measure again at a quiet time.

## forktally and duotally

![forktally's elapsed time against N](tally.svg)

Median of {reps} runs each; the time axis is logarithmic.

{scaling}

## The counting kernel against the read limit

The read limit is the fastest of three reference kernels built apart from
the project's code (`bench/tally/reference.cpp`: its own library, compiled
with `-O3 -march=native`, including none of the project's headers). A warm
pass is compared with a warm pass, the first pass over a freshly written
array with a first pass (one process each, {r['huge_reps']} of them, run back to back
with the programs). Times in ms, medians.

{_kernel_table(r)}

Read limit: warm {r['limit']:.2f} ms, first pass {r['first_limit']:.2f} ms.

## The programs against their straightforward builds

`forktally_plain` and `duotally_plain` are the straightforward source
(`srand`/`rand()` on `malloc`'d memory, plain loops) at `-O2`; the `_o3`
builds are the same source at `-O3`. A whole run is the wall time of the
process, fill included; the floor of a whole run is two threads that fault
in and write the array on huge pages with a free generator, then two threads
that count it. Medians of {r['huge_reps']} runs ({r['reps']} of each straightforward
build), measured after the chart's runs,
so the elapsed times here are other samples than the chart's. The floor, the
programs and the first passes above run back to back, repetition by
repetition; the straightforward builds run after all of them, because their
small pages would otherwise make the next program assemble its huge pages
anew.

{_programs_table(r)}

## Targets

{_ratio_table(ratios)}

## The fill

{_fill_table(r['fill'])}

`gen_*` write into a block already faulted in (the generator alone),
`faults_*` touch a fresh block once per page (the page faults alone),
`fill_plain` is `srand(0)` and `rand() % 4` on `malloc`'d memory,
`fill_workload` the program's own fill.

## The phaser

![time per phase against threads](phaser.svg)

Median of {reps} runs each; the time axis is logarithmic.

{_phaser_table(phaser_rows)}
"""
