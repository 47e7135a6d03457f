#!/usr/bin/env python3
"""Checks the phaser's model with spin: every configuration of the unchanged
model must pass, and every planted fault must be caught with a trail.

usage: verify.py [--models | --faults] [--only NAME,...] [--jobs N] [--keep DIR] [--list]

Each configuration is a set of bounds (see README.md) and a kind of run:
'safety' (assertions and end states: no thread left blocked) or 'progress'
(no cycle without progress under weak fairness: no thread spins for ever
waiting for a wake-up). Each fault replaces text of the model, which must be
found exactly once, and names the configuration that must catch it. Exits 0
when everything held, 1 otherwise, 77 when spin or a C compiler is missing.
"""
import argparse
import concurrent.futures
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
MODEL = os.path.join(HERE, 'phaser.pml')

# name: (kind, bounds). The workers advance, advance and await, leave for
# good, or leave and join again (the rejoiners); each stops at MAXPH with a
# last leave, and at the abort's error. The observer makes OBS_OPS calls or
# fewer. Every run covers every interleaving within its bounds.
CONFIGS = {
    # Barriers up to phase 3: awaiting workers, an observer that awaits any
    # phase (next-phase and group sleepers) or aborts.
    'barrier2': ('safety', 'N=2 MAXPH=3 WORK_ADVANCE=0 REJOINS=0 OBS_OPS=1 OBS_CURRENT=0 OBS_LAGGARD=0'),
    'abort2': ('safety', 'N=2 MAXPH=2 WORK_ADVANCE=0 REJOINS=0 OBS_OPS=1 OBS_CURRENT=0 OBS_LAGGARD=0 OBS_AWAIT=0'),
    # Every worker call, an observer that awaits a phase.
    'observe2': ('safety', 'N=2 MAXPH=2 REJOINS=0 OBS_OPS=1 OBS_LAGGARD=0 OBS_ABORT=0 OBS_CURRENT=0'),
    # A worker that leaves and joins again, an observer that reads the
    # current phase or aborts.
    'join2': ('safety', 'N=2 MAXPH=2 REJOINS=1 OBS_OPS=1 OBS_LAGGARD=0 OBS_AWAIT=0'),
    # A completion step that may fail; the observer aborts.
    'completion2': ('safety', 'N=2 MAXPH=2 COMPLETION=1 COMPLETION_FAILS=1 REJOINS=0 OBS_OPS=1 OBS_LAGGARD=0 OBS_AWAIT=0 OBS_CURRENT=0'),
    'completion_join2': ('safety', 'N=2 MAXPH=2 COMPLETION=1 COMPLETION_FAILS=1 REJOINS=1 WORK_ADVANCE=0 OBS_OPS=1 OBS_LAGGARD=0 OBS_AWAIT=0 OBS_CURRENT=0'),
    # laggard: two calls (the first starts the time stamps), or one during a
    # join or a completion step.
    'laggard2': ('safety', 'N=2 MAXPH=1 REJOINS=0 WORK_AWAIT=0 EARLY_LEAVE=0 OBS_OPS=2 OBS_CURRENT=0 OBS_AWAIT=0 OBS_ABORT=0'),
    'laggard_join2': ('safety', 'N=2 MAXPH=1 REJOINS=1 WORK_AWAIT=0 EARLY_LEAVE=0 OBS_OPS=1 OBS_CURRENT=0 OBS_AWAIT=0 OBS_ABORT=0'),
    'laggard_completion2': ('safety', 'N=2 MAXPH=1 COMPLETION=1 REJOINS=0 WORK_AWAIT=0 EARLY_LEAVE=0 OBS_OPS=1 OBS_CURRENT=0 OBS_AWAIT=0 OBS_ABORT=0'),
    # Three participants: every worker call; a barrier up to phase 2 watched
    # by current; a completion step; two spare participants joined at once.
    'mixed3': ('safety', 'N=3 MAXPH=1 REJOINS=0 OBS_OPS=0'),
    'barrier3': ('safety', 'N=3 MAXPH=2 WORK_ADVANCE=0 EARLY_LEAVE=0 REJOINS=0 OBS_OPS=1 OBS_AWAIT=0 OBS_ABORT=0 OBS_LAGGARD=0'),
    'completion3': ('safety', 'N=3 MAXPH=1 COMPLETION=1 COMPLETION_FAILS=1 REJOINS=0 WORK_ADVANCE=0 EARLY_LEAVE=0 OBS_OPS=1 OBS_LAGGARD=0 OBS_AWAIT=0 OBS_CURRENT=0'),
    'join3': ('safety', 'N=3 MAXPH=1 SPARE=2 WORK_ADVANCE=0 EARLY_LEAVE=0 REJOINS=0 OBS_OPS=0'),
    # Two workers joining one spare participant: one of them fails (EBUSY).
    'race2': ('safety', 'N=2 W=3 SPARE=1 MAXPH=1 WORK_ADVANCE=0 EARLY_LEAVE=0 REJOINS=0 OBS_OPS=0'),
    # Nobody spins for ever: waiting for an owner, for sleepers after an abort.
    'progress2': ('progress', 'N=2 MAXPH=1 WORK_ADVANCE=0 REJOINS=0 OBS_OPS=1 OBS_CURRENT=0 OBS_LAGGARD=0 OBS_AWAIT=0'),
    'progress_join2': ('progress', 'N=2 MAXPH=1 REJOINS=1 WORK_ADVANCE=0 OBS_OPS=1 OBS_CURRENT=0 OBS_LAGGARD=0 OBS_AWAIT=0'),
}

# (name, configuration, [(old, new), ...])
FAULTS = [
    ('raise ignores an ownership', 'join2', [
        ('  :: (PH(seen) != old && mine != LEFT) || (seen & OWNED)\n',
         '  :: (PH(seen) != old && mine != LEFT)\n'),
        ('  :: (seen & OWNED) -> break\n', '  :: false -> break\n')]),
    ('no rescan after a raise', 'observe2', [
        ('      :: ok && low == mine -> break\n', '      :: ok -> break\n')]),
    ('no rescan after giving up', 'completion2', [
        ('        :: low == mine || PH(pw) < low -> break\n', '        :: true -> break\n')]),
    ('no rescan after a failed join', 'race2', [
        ('  give_up(jw);\n  mine = NONE;\n  raise();\n',
         '  give_up(jw);\n  mine = NONE;\n  if :: rc == OK -> raise() :: else fi;\n')]),
    ('next-phase sleeper ignores the abort', 'abort2', [
        ('    :: !wv -> futex_wait(FUTEX_WORD, sn)\n', '    :: true -> futex_wait(FUTEX_WORD, sn)\n')]),
    ('join lands on a stale minimum', 'join2', [
        ('  take_ownership();\n  smallest_phase_above(PH(jw));\n',
         '  atomic { jw = word }\n  smallest_phase_above(PH(jw));\n  take_ownership();\n'),
        ('      atomic { ph[j] = PH(jw); check_state() } /* phases[j].store */\n',
         '      atomic { ph[j] = low; check_state() } /* phases[j].store */\n')]),
    ('laggard does not validate its scan', 'laggard2', [
        ('    atomic { lok = (word == lw) } /* word.load */\n', '    atomic { lok = true }\n')]),
    ('completion step without owning the word', 'completion2', [
        ('        :: word == seen -> seen = seen | OWNED; set_word(seen); ok = true\n',
         '        :: word == seen -> seen = seen | OWNED; ok = true\n')]),
    ('no abort check before a completion step', 'completion2', [
        ('      GATE_LOAD(cok); /* gate.load */\n      cok = !cok;\n', '      cok = true;\n')]),
    ('group sleeper does not announce its target', 'observe2', [
        ('      lowest = (gtarget[g] < lowest -> gtarget[g] : lowest);\n', '')]),
    ('abort wakes the next-phase sleepers once', 'abort2', [
        ('    futex_wake_all(FUTEX_WORD)\n  :: atomic { next_sleepers == 0 -> wv = 0 } -> break\n',
         '    futex_wake_all(FUTEX_WORD); break\n  :: atomic { next_sleepers == 0 -> wv = 0 } -> break\n')]),
    ('a wait returns one phase early', 'observe2', [
        ('    :: sn >= t -> break\n', '    :: sn + 1 >= t -> break\n')]),
    ('laggard takes a stamp of another phase', 'laggard2', [
        ('    :: lseq == lcur << 1 -> atomic', '    :: true -> atomic')]),
    ('abort spins without waking', 'progress2', [
        ('    futex_wake_all(FUTEX_WORD)\n  :: atomic { next_sleepers == 0 -> wv = 0 } -> break\n',
         '    skip\n  :: atomic { next_sleepers == 0 -> wv = 0 } -> break\n')]),
]


def spin_defines(defines):
    return ['-D' + d for d in defines.split()]


def run(name, kind, defines, model_text, workdir, expect_error):
    """Runs one check; returns (passed, summary line)."""
    try:
        return check(name, kind, defines, model_text, workdir, expect_error)
    except subprocess.TimeoutExpired as timeout:
        return False, f'{name}: {" ".join(timeout.cmd)} took longer than {timeout.timeout} s'


def check(name, kind, defines, model_text, workdir, expect_error):
    os.makedirs(workdir, exist_ok=True)
    with open(os.path.join(workdir, 'phaser.pml'), 'w') as f:
        f.write(model_text)
    started = time.monotonic()

    def step(cmd, timeout=600):
        return subprocess.run(cmd, cwd=workdir, capture_output=True, text=True, timeout=timeout)

    gen = step(['spin', '-a'] + spin_defines(defines) + ['phaser.pml'])
    if gen.returncode != 0 or not os.path.exists(os.path.join(workdir, 'pan.c')):
        return False, f'{name}: spin -a failed\n{gen.stdout}{gen.stderr}'
    flags = ['-DSAFETY'] if kind == 'safety' else ['-DNP']
    cc = os.environ.get('CC', 'cc')
    # At -O0: compiling pan.c optimised takes longer than it saves here.
    build = step([cc, '-O0', '-w', '-DCOLLAPSE', '-DMEMLIM=6000'] + flags + ['-o', 'pan', 'pan.c'])
    if build.returncode != 0:
        return False, f'{name}: building pan failed\n{build.stderr[-2000:]}'
    args = ['./pan', '-m1000000', '-w26'] + (['-l', '-f'] if kind == 'progress' else [])
    out = step(args, timeout=1200)
    text = out.stdout + out.stderr
    seconds = time.monotonic() - started
    errors = re.search(r'errors: (\d+)', text)
    states = re.search(r'([\d.e+]+) states, stored', text)
    count = f'{float(states.group(1)):,.0f} states' if states else 'no state count'
    trail = os.path.exists(os.path.join(workdir, 'phaser.pml.trail'))
    truncated = any(why in text for why in ('max search depth too small', 'out of memory',
                                            'reached -DMEMLIM bound'))
    found = re.search(r'pan:\d+: (.*)', text)
    what = found.group(1).strip() if found else ''
    if errors is None:
        return False, f'{name}: pan did not finish\n{text[-2000:]}'
    if expect_error:
        if int(errors.group(1)) > 0 and trail:
            return True, f'{name}: caught, {what} ({count}, {seconds:.1f} s)'
        return False, f'{name}: not caught ({count}, {seconds:.1f} s)'
    if int(errors.group(1)) == 0 and not truncated:
        return True, f'{name}: {count}, {seconds:.1f} s'
    why = what or ('search truncated' if truncated else 'errors')
    return False, f'{name}: {why} ({count}, {seconds:.1f} s)\n{text[-3000:]}'


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--only', help='comma-separated configurations and faults')
    parser.add_argument('--models', action='store_true', help='check the configurations only')
    parser.add_argument('--faults', action='store_true', help='check the faults only')
    parser.add_argument('--jobs', type=int, default=os.cpu_count() or 1)
    parser.add_argument('--keep', help='keep each run (trails included) under this directory')
    parser.add_argument('--list', action='store_true')
    opts = parser.parse_args()

    if opts.list:
        for name, (kind, defines) in CONFIGS.items():
            print(f'{name}: {kind}, {defines}')
        for name, config, _ in FAULTS:
            print(f'{name}: caught by {config}')
        return 0
    for tool in ('spin', os.environ.get('CC', 'cc')):
        if shutil.which(tool) is None:
            print(f'{tool} is not installed: the model check is skipped '
                  '(Debian package spin, and a C compiler)')
            return 77

    with open(MODEL) as f:
        model = f.read()
    only = set(opts.only.split(',')) if opts.only else None
    jobs = []
    for name, (kind, defines) in CONFIGS.items():
        if (only is None or name in only) and not opts.faults:
            jobs.append((f'model {name}', kind, defines, model, False))
    bad = []
    for name, config, edits in FAULTS:
        if (only is not None and name not in only) or opts.models:
            continue
        text = model
        for old, new in edits:
            if text.count(old) != 1:
                bad.append(f'fault {name}: its text is found {text.count(old)} times: {old!r}')
                break
            text = text.replace(old, new)
        else:
            kind, defines = CONFIGS[config]
            jobs.append((f'fault {name} ({config})', kind, defines, text, True))

    root = opts.keep or tempfile.mkdtemp(prefix='phaser-model.')
    passed = failed = 0
    for line in bad:
        print('FAIL ' + line)
        failed += 1
    try:
        with concurrent.futures.ThreadPoolExecutor(max(1, opts.jobs)) as pool:
            futures = [
                pool.submit(run, label, kind, defines, text,
                            os.path.join(root, re.sub(r'\W+', '_', label)), expect)
                for label, kind, defines, text, expect in jobs
            ]
            for future in futures:
                ok, line = future.result()
                print(('ok   ' if ok else 'FAIL ') + line, flush=True)
                passed += ok
                failed += not ok
    finally:
        if not opts.keep:
            shutil.rmtree(root, ignore_errors=True)
    print(f'{passed} passed, {failed} failed')
    return 0 if failed == 0 else 1


if __name__ == '__main__':
    sys.exit(main())
