#!/usr/bin/env bash
# Faults the programs must report instead of printing a count: too few file
# descriptors for the pipes, a pipe or a child that cannot be created, a
# child's record that arrives short or never, an array that cannot be
# allocated, a counting thread that cannot be started, output that cannot be
# written. Each gives one clear
# line on stderr and status 1, and forktally leaves no child of the run
# behind, not even when it is killed itself. The descriptors are counted
# also where /proc is not mounted, and the messages name the program also
# when it is run with an empty argv[0]. Also: a child of forktally starts no
# thread.
# usage: faults.sh FORKTALLY DUOTALLY SANITIZED(0|1)
set -u
source "$(dirname "${BASH_SOURCE[0]}")/../../testing/blackbox.sh"
forktally=$1 duotally=$2 sanitized=$3

expect "40 workers under ulimit -n 12" 1 $'using 40 procs\n' \
  $'forktally: 40 workers need 44 file descriptors; the limit is 12\n' \
  --limit "-n 12" -- "$forktally" 40
expect "100 workers under a hard limit of 50" 1 $'using 100 procs\n' \
  $'forktally: 100 workers need 104 file descriptors; the limit is 50\n' \
  --limit "-Sn 20" --limit "-Hn 50" -- "$forktally" 100
# However many workers are asked for, the need is worked out without overflow
# and nothing is started.
expect "2147483647 workers under ulimit -n 1024" 1 $'using 2147483647 procs\n' \
  $'forktally: 2147483647 workers need 2147483651 file descriptors; the limit is 1024\n' \
  --limit "-n 1024" -- "$forktally" 2147483647
# Run with an empty argv[0], the messages still name the program.
as_empty=(bash -c 'exec -a "" "$@"' -)
expect "40 workers under ulimit -n 12, run as ''" 1 $'using 40 procs\n' \
  $'forktally: 40 workers need 44 file descriptors; the limit is 12\n' \
  --limit "-n 12" -- "${as_empty[@]}" "$forktally" 40

# Without /proc (an empty one in a mount namespace of its own) the open
# descriptors are still counted, here 30 beyond the standard three: the
# limit is raised for them, or the need is named before anything starts.
no_proc=(unshare -rm bash -c 'mount -t tmpfs none /proc || exit 125
  for ((fd = 3; fd < 33; fd++)); do eval "exec $fd</dev/null"; done; exec "$@"' -)
if ((sanitized)); then
  echo "skip runs without /proc: the sanitizers' runtimes read it"
elif ! "${no_proc[@]}" test ! -e /proc/self 2>/dev/null; then
  echo "skip runs without /proc: no mount namespace here"
else
  expect "100 workers, 30 more descriptors, no /proc, hard limit 120" 1 $'using 100 procs\n' \
    $'forktally: 100 workers need 134 file descriptors; the limit is 120\n' \
    --limit "-Sn 110" --limit "-Hn 120" -- "${no_proc[@]}" "$forktally" 100
  expect "100 workers, 30 more descriptors, no /proc, hard limit 200" 0 \
    $'~^using 100 procs\nCount of 3 = [0-9]+\nElapsed[^\n]+\n$' "" \
    --limit "-Sn 110" --limit "-Hn 200" -- "${no_proc[@]}" "$forktally" 100
fi

if ((sanitized)); then
  echo "skip address-space limits: the sanitizers reserve more than any such limit"
  echo "skip output that cannot be written: whole runs are slow under a sanitizer"
else
  # Output that cannot be written: a full device, a closed descriptor.
  expect "forktally 1 >/dev/full" 1 "" $'forktally: standard output: No space left on device\n' \
    --stdout /dev/full -- "$forktally" 1
  expect "forktally 1 >&-" 1 "" $'forktally: standard output: Bad file descriptor\n' \
    --stdout - -- "$forktally" 1
  expect "duotally >/dev/full" 1 "" $'duotally: standard output: No space left on device\n' \
    --stdout /dev/full -- "$duotally"
  expect "duotally >&-" 1 "" $'duotally: standard output: Bad file descriptor\n' \
    --stdout - -- "$duotally"
  expect "forktally array allocation fails (ulimit -v)" 1 $'using 2 procs\n' \
    $'forktally: cannot allocate the array: Cannot allocate memory\n' \
    --limit "-v 600000" -- "$forktally" 2
  expect "duotally array allocation fails (ulimit -v)" 1 "" \
    $'duotally: cannot allocate the array: Cannot allocate memory\n' \
    --limit "-v 600000" -- "$duotally"
  expect "duotally array allocation fails (ulimit -v), run as ''" 1 "" \
    $'duotally: cannot allocate the array: Cannot allocate memory\n' \
    --limit "-v 600000" -- "${as_empty[@]}" "$duotally"
  # Thread stacks default to the stack limit: 1 GB stacks do not fit beside
  # the 800 MB array in 1.7 GB of address space.
  expect "duotally thread start fails (ulimit -s, -v)" 1 "" \
    $'duotally: cannot start counting thread 0: Resource temporarily unavailable\n' \
    --limit "-s 1000000" --limit "-v 1700000" -- "$duotally"
fi

if ! command -v strace >/dev/null || ! strace -f -qq -o /dev/null true 2>/dev/null; then
  echo "skip faults injected with strace: strace cannot trace here"
  finish
  exit
fi
# LeakSanitizer cannot run under ptrace.
export ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0"
trace=$bb_tmp/trace

# A child's record that arrives short. strace makes the first write(2) of
# every process report 2 bytes written while writing nothing: the parent's
# "using" line loses its first two bytes, and each child's record loses its
# first two, so the parent reads 2 of 4 bytes and then end of file.
# (A sanitizer's runtime may write first, and the "using" line stays whole.)
expect "short record from a child (strace write injection)" 1 $'~^(us)?ing 2 procs\n$' \
  $'forktally: worker 0: ended without sending its count (2 of 4 bytes)\n' --timeout 300 -- \
  strace -f -qq -o /dev/null -e trace=write -e inject=write:retval=2:when=1 "$forktally" 2

if ((sanitized)); then
  # Under a sanitizer every fork of the 800 MB process takes seconds; the
  # plain builds run these cases, and the unit tests cover the stopping of
  # workers under the sanitizers.
  echo "skip children held while the parent gives up: slow under a sanitizer"
  finish
  exit
fi

# The remaining cases hold every child for a while at its first close(2),
# before it counts, so the children started are still running when the
# parent gives up; strace's log then shows whether any of them outlived the
# parent. (The parent's own first close, while it loads its libraries, is
# held as well; it only delays the start.) strace's own remarks on stderr,
# about children killed while held, are left out of the comparison.
hold=(timeout -k 5 300 strace -f -q -o "$trace" -e trace=execve,clone,pipe,pipe2,close
  -e inject=close:delay_exit=4000000:when=1)

# held LABEL STATUS STDOUT STDERR STRACE_ARGS...: runs forktally under
# "${hold[@]}" STRACE_ARGS... and judges it, then the order of the ends.
held() {
  local label=$1 status=$2 out=$3 err=$4
  shift 4
  "${hold[@]}" "$@" >"$bb_out" 2>"$bb_tmp/raw" &
  held_ended "$!" "$label" "$status" "$out" "$err"
}

# held_ended PID LABEL STATUS STDOUT STDERR: waits for the held run PID.
held_ended() {
  wait "$1"
  bb_status=$?
  grep -v '^strace: ' "$bb_tmp/raw" >"$bb_err"
  check_run "$2" "$3" "$4" "$5"
  # A child was killed, and the parent's end is the last end of a process
  # in the log: none of the run outlived it.
  if awk 'NR == 1 { main = $1 }
      / \+\+\+ (exited with|killed by) / { last = $1; if ($1 != main && /SIGKILL/) killed++ }
      END { exit !(last == main && killed > 0) }' "$trace"; then
    pass "$2: no child outlives the parent"
  else
    fail "$2: a child outlived the parent or none was started: $(grep -F '+++' "$trace" | tr '\n' ' ')"
  fi
}

held "pipe fails after a worker started" 1 $'using 3 procs\n' $'pipe: Too many open files\n' \
  -e inject=pipe,pipe2:error=EMFILE:when=2 "$forktally" 3
held "fork fails after two workers started" 1 $'using 3 procs\n' \
  $'fork: Resource temporarily unavailable\n' -e inject=clone:error=EAGAIN:when=3 "$forktally" 3

# children_of PID: the process ids whose parent is PID, in ascending order.
children_of() {
  local stat line pid
  for stat in /proc/[0-9]*/stat; do
    read -r line 2>/dev/null <"$stat" || continue
    line=${line##*) }  # after the command name: state, parent, ...
    read -r _ pid _ <<<"$line"
    [[ $pid == "$1" ]] && pid=${stat#/proc/} && echo "${pid%/stat}"
  done | sort -n
}

# held_children PID N: waits, a minute at most, until the forktally that
# strace runs under the watchdog PID has N children, and sets $parent and
# $children to their process ids.
held_children() {
  local tries tracer
  parent='' children=()
  for ((tries = 0; tries < 1200 && ${#children[@]} < $2; tries++)); do
    sleep 0.05
    tracer=$(children_of "$1") && [[ -n $tracer ]] || continue
    parent=$(children_of "$tracer") && [[ -n $parent ]] || continue
    mapfile -t children < <(children_of "$parent")
  done
  ((${#children[@]} == $2))
}

# children_ended HOW: whether, by strace's log, each of forktally's three
# children (the processes of its clone(2) calls; its threads come from
# clone3) ended as the ERE HOW says, without a write(2).
children_ended() {
  awk -v how="$1" 'NR == FNR { if (FNR == 1) main = $1
                    if ($1 == main && /clone\(|clone resumed/ && match($0, /= [0-9]+$/))
                      child[substr($0, RSTART + 2)] = 1
                    next }
        !($1 in child) { next }
        /write\(/ { bad++ }
        / \+\+\+ / { ended++; if ($0 !~ how) bad++ }
        END { exit !(length(child) == 3 && ended == 3 && bad == 0) }' "$trace" "$trace"
}

# A child that dies without sending its count while the others still run:
# worker 0, the first child forked, is killed from outside while all three
# children are held.
"${hold[@]}" "$forktally" 3 >"$bb_out" 2>"$bb_tmp/raw" &
watchdog=$!
held_children "$watchdog" 3 && kill -KILL "${children[0]}"
held_ended "$watchdog" "a worker killed while the others run" 1 $'using 3 procs\n' \
  $'forktally: worker 0: ended without sending its count (0 of 4 bytes)\n'

# parent_killed LABEL HOW TRACE INJECT: runs forktally 3 under strace with
# `-e trace=TRACE -e inject=INJECT`, which must hold its children, sends it
# SIGKILL once it has three, and judges how they ended (children_ended).
parent_killed() {
  timeout -k 5 300 strace -f -q -o "$trace" -e trace="$3" -e inject="$4" \
    "$forktally" 3 >/dev/null 2>&1 &
  local watchdog=$!
  held_children "$watchdog" 3 && kill -KILL "$parent"
  { wait "$watchdog"; } 2>/dev/null  # the shell would remark on the killed run
  if ((${#children[@]} == 3)) && children_ended "$2"; then
    pass "$1"
  else
    fail "$1: $(grep -F '+++' "$trace" | tr '\n' ' ')"
  fi
}

# A parent killed from outside takes its children with it: the three are
# held at their first close(2) when forktally is sent SIGKILL. A signal
# waits while strace holds its tracee, so the children die only when let
# go, but they die of SIGKILL then, before they count or write.
parent_killed "forktally killed while its children run takes them with it" 'killed by SIGKILL' \
  execve,clone,close,write close:delay_exit=4000000:when=1
# A child whose parent is killed before the child has asked to die with it
# has been given to another parent already: it ends at once with status 1,
# before it counts or writes. Each child is held on entering prctl(2).
parent_killed "children orphaned before they ask to die with the parent end at once" \
  'exited with 1 ' execve,clone,prctl,write,exit_group prctl:delay_enter=3000000

# Not a fault but a promise checked the same way: each child counts its
# slice alone. Only the parent starts threads (for its fill); no child makes
# a clone(2) of any kind.
expect "forktally 3 under strace" 0 $'~^using 3 procs\nCount of 3 = [0-9]+\nElapsed[^\n]+\n$' "" -- \
  strace -f -q -o "$trace" -e trace=clone,clone3,fork,vfork "$forktally" 3
if awk 'NR == FNR { if (FNR == 1) main = $1
                    if ($1 == main && /clone\(|clone resumed/ && match($0, /= [0-9]+$/))
                      child[substr($0, RSTART + 2)] = 1
                    next }
        ($1 in child) && /clone|fork/ { bad++ }
        END { exit !(length(child) == 3 && bad == 0) }' "$trace" "$trace"; then
  pass "each of the 3 children counts without starting a thread"
else
  fail "a child started a thread or process: $(bb_shown "$(cat "$trace")")"
fi

finish
