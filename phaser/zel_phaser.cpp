// Phaser.
//
// State: `phases[i]`, the phase of participant i, read and changed with
// atomic operations only. Next to the phases, in the same allocation, the
// phaser keeps its private state (struct phaser_state); the record's public
// layout is unchanged: phaser->phases points just past the private state,
// and the state is found again from it. Its `word` holds the current phase
// P in its low half, which every operation reads: zel_phaser_current and
// zel_phaser_laggard report it, waiters wait for it (the futex word of
// wait_list.cpp), a join lands on it. Its high half says whether a thread
// owns the raises of P (`owned`), whether a join is landing (`landing`),
// and counts the ownerships. `gate` says whether the first operation has
// synced P, and holds the abort's error once there is one.
//
// Raising P: an advance adds 1 to its participant's phase with a
// compare-and-swap (leaving swaps in INT32_MAX). If the participant left
// the phase that P holds, it may have been the last one there, so it scans
// the phases and raises P to their minimum, and scans again after each raise
// it makes. Unless the phaser keeps time, the raise is one compare-and-swap
// of the word; otherwise the raiser takes ownership of the word (sets
// `owned` with a compare-and-swap), publishes, stamps the time and gives the
// ownership up (clears `owned`, bumping the count). A join owns the word
// while it lands. A departing participant that finds the word owned does
// nothing: the owner scans again after giving up, as any raiser does. Every
// access to the word and the phases in these paths is sequentially
// consistent.
//
// Invariants:
//  - P only grows, and P <= min(phases) (a landing joiner counts at P);
//    only a landing join lowers a phase, from INT32_MAX to P;
//  - only the owner writes the word while it is owned, and a raise whose
//    compare-and-swap expects a word read before an ownership fails, since
//    giving up bumps the count;
//  - once no operation is in flight, P == min(phases). Proof sketch: let
//    x < min(phases) be the final P, and L the last participant to depart x
//    (nobody arrives at x later: a joiner lands on P after raising it as far
//    as the phases allow, so on x only while some participant is still
//    there). After its compare-and-swap, L read the word. If it held x and
//    was not owned, L's raise scanned after every departure from x and
//    raised P above x, unless its compare-and-swap found the word owned. If
//    the word was owned when L read it or tried to raise it, the ownership
//    ended after that, and its owner scanned again after giving up, also
//    after every departure from x, and raised P, or found it owned again,
//    and so on: the last owner raises it. A raise of P above x contradicts
//    x being final. (Where a scan starts does not matter: one that finds
//    nobody at or below x has read every phase.)
//  - so the advance that completes a phase for a waiter is followed by a
//    raise, and every raise checks for sleepers.
//
// Cost of a phase: a scan stops at the first participant it finds at or
// below P, and starts where the last scan stopped (`scan_start`, only a
// hint). The participants it passes over have left P and cannot return to
// it, and it never passes one still at P, so while P stands the start goes
// round the phases at most once: a phase costs O(n) reads in all, plus O(1)
// per advance, whatever the order of arrival. Each raise adds one full scan.
//
// Joining: a join takes ownership of the word (waiting while another thread
// owns it), raises P to the minimum of the phases, which it reads while no
// raise can publish, and lands the joiner on P: it stores the joiner's
// number and sets `landing`, which is the moment the join takes effect, then
// stores P into the joiner's phase, then gives the ownership up. So P never
// falls, the joiner is at least at every P any call has returned, and a
// waiter whose phase P had not reached is not released before the joiner
// reaches it.
//
// Laggard: it reads the word, scans the phases (counting a landing joiner
// at P) for the first participant at P, reads the time stamp of P, and reads
// the word again; it answers only if the word is unchanged, so that P and the
// ownership stood still throughout and every phase it read before the
// participant it names was still above P at that read: its answer is that of
// the moment of that read. Otherwise something advanced, and it tries
// again. Time stamps are kept only from the first laggard call on (so that
// no raise reads the clock before anybody asks): that call stamps the phase
// it reports with its own clock if it has no stamp, then sets `timed`;
// from then on a raise owns the word, stores P, reads the clock after that,
// and stores the stamp (the phase and the time, under a sequence number)
// before giving up. So stamps have one writer at a time, a stamp is never
// earlier than a moment at which P was seen below its phase, and a larger
// phase never has an earlier stamp. A phase without a stamp (raised by a
// raise that had not yet seen `timed`, or raised a moment ago) gets the
// caller's own clock, read before the second read of the word, which is
// also later than every moment at which P was seen below it.
//
// Aborting: `gate` takes the error once, and then the sleepers are woken
// for good (wait_list.cpp); every wait tests it with P, every advance and
// join before it changes a phase. Leaving ignores it.
//
// Locks: the mutex guards the sleep groups (wait_list.cpp), and the first
// operation of any thread takes it to sync P to the phases the caller may
// have written since zel_phaser_init, before any advance can run. Nothing
// else takes it; `cond` is kept for the record's layout and never waited on.
//
// Waiting: a waiter spins on the word for a time that follows how long
// waits take (see the waiting constants below), then sleeps on a futex word
// chosen by its target phase (wait_list.cpp), unless its deadline has
// passed. A raise wakes exactly the
// sleepers whose target it reached, and makes a system call only if there
// are some; an advance that releases nobody makes none.
//
// Ordering: an advance is a release; the scan that raises P reads every
// participant's phase and the waiter reads the word, all sequentially
// consistent or acquire, so an advance happens before the waits it releases
// return.

#include "zel_phaser.h"

#include "internal/checked_size.h"
#include "internal/clock.h"
#include "internal/wait_list.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <new>

#include <sched.h>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace {

using zel_detail::checked_size;
using zel_detail::monotonic_ns;
using zel_detail::ns_of;
using zel_detail::passed;
using zel_detail::phase_in;
using zel_detail::phase_word;
using zel_detail::wait_list;

constexpr size_t cache_line = 64;
constexpr int32_t left = INT32_MAX;  // the phase of a participant that has left
// An advance may take a phase up to this, never to left.
constexpr int32_t max_phase = INT32_MAX - 1;

// The word's high half.
constexpr uint64_t phase_bits = 0xffffffff;
constexpr uint64_t landing = uint64_t{1} << 32;    // a join is landing
constexpr uint64_t owned = uint64_t{1} << 33;      // a thread owns the raises
constexpr uint64_t ownership = uint64_t{1} << 34;  // one more ownership has ended

// The gate: not yet synced, running (with or without a completion step),
// or (positive) the abort's error.
constexpr int unsynced = 0;
constexpr int running = -1;
constexpr int running_completions = -2;

// Waiting. When every participant can have a CPU, a waiter spins on the
// word for up to `spin_ns` of time, then sleeps. The budget follows what
// the waits of the program take: a spin that succeeds late lets the budget
// grow to four times that wait, and a sleep that ends before max_spin_ns
// (spinning a while longer would have done) to twice it; only a wait longer
// than max_spin_ns, when spinning was futile, shrinks it, by a quarter. So
// one stolen time slice does not knock it down, waits for a participant that
// is stalled for long soon stop burning a CPU, and no waiter spins longer
// than max_spin_ns before it sleeps. The budget is time, read from the clock
// every few pauses, since a pause takes ten times longer on some cores than
// on others. When the laggards wait for a CPU, pausing only delays them: so
// the waiters yield their CPU instead of pausing (for the same budget) when
// participants outnumber CPUs, and also once a sleeper's phase was reached
// on the very CPU it had spun on (other programs took the other CPUs); they
// go back to pausing after a wait in which no yield let another thread run.
constexpr int64_t min_spin_ns = 2000;
constexpr int64_t first_spin_ns = 50000;
constexpr int64_t max_spin_ns = 200000;
constexpr int32_t pauses_per_look = 16;  // between readings of the clock
constexpr int64_t gave_way_ns = 5000;    // a yield that took longer ran another thread
constexpr int32_t join_pause_rounds = 32;

struct alignas(cache_line) phaser_state {
  phase_word word{0};                             // P, and who owns its raises
  std::atomic<int> gate{unsynced};                // unsynced, running, or the abort's error
  std::atomic<int32_t> scan_start{0};             // where scans begin, see smallest_phase_above
  std::atomic<bool> timing{false};                // set by the first laggard call
  std::atomic<bool> timed{false};                 // raises stamp P; set once that call stamped P
  std::atomic<int32_t> joiner{-1};                // the participant landing, while `landing` is set
  zel_phaser_completion_t *completion = nullptr;  // constant from init on
  void *completion_arg = nullptr;
  std::atomic<uint64_t> stamp_seq{0};           // the stamped phase << 1, | 1 while being written
  std::atomic<int64_t> stamp_ns{0};             // the CLOCK_MONOTONIC time it was reached
  int64_t init_ns = 0;                          // the clock at zel_phaser_init
  std::atomic<int64_t> spin_ns{first_spin_ns};  // the waiters' budget, see above
  bool crowded = false;                         // more participants than CPUs: waiters always yield
  std::atomic<bool> yielding{false};            // waiters yield instead of pausing, see above
  wait_list sleepers;
};

// The phaser whose completion step the thread is running, if any.
thread_local const phaser_state *completing = nullptr;

phaser_state *state_of(const zel_phaser_t *phaser) {
  return std::launder(reinterpret_cast<phaser_state *>(phaser->phases) - 1);
}

void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  _mm_pause();
#endif
}

int online_cpus() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  return CPU_COUNT(&set);
}

std::atomic_ref<int32_t> phase_of(const zel_phaser_t *phaser, int32_t participant) {
  return std::atomic_ref<int32_t>(phaser->phases[participant]);
}

uint64_t with_phase(uint64_t word, int32_t phase) {
  return (word & ~phase_bits) | static_cast<uint32_t>(phase);
}

uint64_t stamp_of(int32_t phase) {
  return static_cast<uint64_t>(static_cast<uint32_t>(phase)) << 1;
}

// Syncs P to the phases the caller may have written before the first
// operation, once, before any advance; returns the gate.
int sync_once(zel_phaser_t *phaser, phaser_state *st) {
  pthread_mutex_lock(&phaser->mutex);
  if (st->gate.load(std::memory_order_relaxed) == unsynced) {
    int32_t low = phase_of(phaser, 0).load(std::memory_order_relaxed);
    for (int32_t i = 1; i < phaser->number_threads; ++i) {
      low = std::min(low, phase_of(phaser, i).load(std::memory_order_relaxed));
    }
    st->word.store(static_cast<uint32_t>(low), std::memory_order_relaxed);
    st->stamp_ns.store(st->init_ns, std::memory_order_relaxed);
    st->stamp_seq.store(stamp_of(low), std::memory_order_relaxed);
    st->gate.store(st->completion != nullptr ? running_completions : running,
                   std::memory_order_release);
  }
  const int gate = st->gate.load(std::memory_order_relaxed);
  pthread_mutex_unlock(&phaser->mutex);
  return gate;
}

// Whether the calling thread is inside the phaser's completion step.
bool in_completion(const phaser_state *st) {
  return st->completion != nullptr && completing == st;
}

// 0 if an operation may change or await phases; otherwise EDEADLK inside the
// completion step, or the abort's error.
int gate_error(zel_phaser_t *phaser, phaser_state *st) {
  int gate = st->gate.load(std::memory_order_acquire);
  if (gate == running) return 0;
  if (in_completion(st)) return EDEADLK;
  if (gate == unsynced) gate = sync_once(phaser, st);
  return gate > 0 ? gate : 0;
}

bool is_abort_error(int error) {
  return error > 0 && error != EINVAL && error != EOVERFLOW && error != ETIMEDOUT &&
         error != EBUSY && error != EDEADLK;
}

// Ends the run with `error` unless it has ended already, and wakes every
// sleeper for good.
void abort_run(phaser_state *st, int error) {
  int gate = st->gate.load(std::memory_order_acquire);
  while (gate <= 0) {
    if (st->gate.compare_exchange_weak(gate, error, std::memory_order_seq_cst)) {
      st->sleepers.wake_all();
      return;
    }
  }
}

// The smallest phase if it is above `floor`; otherwise `floor`, as soon as
// a participant at or below it is found. The scan goes round the phases
// from `scan_start` and leaves it at the participant it found, or at one
// with the smallest phase.
int32_t smallest_phase_above(const zel_phaser_t *phaser, phaser_state *st, int32_t floor) {
  int32_t *const phases = phaser->phases;
  const int32_t start = st->scan_start.load(std::memory_order_relaxed);
  int32_t low = INT32_MAX, lowest = start;
  for (int32_t i = start, end = phaser->number_threads;; i = 0, end = start) {
    for (; i < end; ++i) {
      const int32_t phase = std::atomic_ref<int32_t>(phases[i]).load(std::memory_order_seq_cst);
      if (phase <= floor) {
        low = floor;
        lowest = i;
        break;
      }
      if (phase < low) {
        low = phase;
        lowest = i;
      }
    }
    if (low == floor || end == start) break;
  }
  if (lowest != start) st->scan_start.store(lowest, std::memory_order_relaxed);
  return low;
}

// Records that P reached `phase` at `ns`. One writer at a time: the first
// laggard call, then the owners of the word.
void stamp(phaser_state *st, int32_t phase, int64_t ns) {
  st->stamp_seq.store(stamp_of(phase) | 1, std::memory_order_seq_cst);
  st->stamp_ns.store(ns, std::memory_order_seq_cst);
  st->stamp_seq.store(stamp_of(phase), std::memory_order_seq_cst);
}

// `word` with the ownership given up.
uint64_t released(uint64_t word) {
  return (word & ~(landing | owned)) + ownership;
}

// The owner of `word` gives the ownership up; returns the new word.
uint64_t give_up(phaser_state *st, uint64_t word) {
  const uint64_t next = released(word);
  st->word.store(next, std::memory_order_seq_cst);
  return next;
}

// The owner of `word` publishes `phase` as P, and with `last` gives the
// ownership up, in the same store unless a stamp is to be written first;
// returns the new word.
uint64_t publish(phaser_state *st, uint64_t word, int32_t phase, bool last) {
  const bool timed = st->timed.load(std::memory_order_acquire);
  uint64_t next = with_phase(word, phase);
  if (last && !timed) next = released(next);
  st->word.store(next, std::memory_order_seq_cst);
  if (timed) {
    stamp(st, phase, monotonic_ns());
    if (last) next = give_up(st, next);
  }
  st->sleepers.wake_reached();
  return next;
}

// Runs the completion step of phase `phase`; a failure ends the run.
// Returns whether it succeeded.
bool complete(phaser_state *st, int32_t phase) {
  const phaser_state *outer = completing;  // a step may advance another phaser
  completing = st;
  const int rc = st->completion(st->completion_arg, phase);
  completing = outer;
  if (rc != 0) abort_run(st, is_abort_error(rc) ? rc : ECANCELED);
  return rc == 0;
}

// The owner of `word` raises P to `low`, the smallest phase it found above
// it, running the completion step of each phase on the way, lowest first;
// after an abort it runs none and stops. Every participant having left, P
// goes to INT32_MAX at once. With `release`, the publication of `low` gives
// the ownership up. Returns the new word, still owned unless it got there.
uint64_t publish_upto(phaser_state *st, uint64_t word, int32_t low, bool release) {
  if (st->completion == nullptr || low == left) return publish(st, word, low, release);
  for (int32_t phase = phase_in(word) + 1; phase <= low; ++phase) {
    if (st->gate.load(std::memory_order_acquire) > 0 || !complete(st, phase)) break;
    word = publish(st, word, phase, release && phase == low);
  }
  return word;
}

// Raises P from the word `seen`, read after the caller's departure, to the
// smallest phase, and wakes the sleepers whose phase it reached. After each
// raise it scans again, unless the caller's own phase `mine` (-1: none) is
// the phase it published, which the caller then holds. Leaves the raise to
// the owner when it finds the word owned. Returns 0.
int raise(zel_phaser_t *phaser, phaser_state *st, uint64_t seen, int32_t mine) {
  bool raised = false;
  while ((seen & owned) == 0) {
    const int32_t low = smallest_phase_above(phaser, st, phase_in(seen));
    if (low <= phase_in(seen)) break;
    if (st->completion == nullptr && !st->timed.load(std::memory_order_relaxed)) {
      const uint64_t next = with_phase(seen, low);
      if (st->word.compare_exchange_strong(seen, next, std::memory_order_seq_cst)) {
        raised = true;
        seen = next;
        if (low == mine) break;
      }
    } else if (st->word.compare_exchange_strong(seen, seen | owned, std::memory_order_seq_cst)) {
      const uint64_t published = publish_upto(st, seen | owned, low, true);
      seen = (published & owned) != 0 ? give_up(st, published) : published;
      if (low == mine || phase_in(published) < low) break;  // held by the caller, or aborted
    }
  }
  if (raised) st->sleepers.wake_reached();
  return 0;
}

// The participant has moved on from phase `old` to `mine`: if it was at P,
// it may have been the last one there. A leave always looks, since after an
// abort with a completion step P stays behind, but for the last leave, which
// takes it to INT32_MAX. Returns 0.
int departed(zel_phaser_t *phaser, phaser_state *st, int32_t old, int32_t mine) {
  const uint64_t seen = st->word.load(std::memory_order_seq_cst);
  if ((phase_in(seen) != old && mine != left) || (seen & owned) != 0) return 0;
  return raise(phaser, st, seen, mine);
}

// Adds 1 to the participant's phase; stores the new phase in *now.
inline int advance_participant(zel_phaser_t *phaser, int32_t participant, int32_t *now) {
  phaser_state *st = state_of(phaser);
  if (const int error = gate_error(phaser, st)) return error;
  std::atomic_ref<int32_t> phase = phase_of(phaser, participant);
  int32_t old = phase.load(std::memory_order_relaxed);
  do {
    if (old >= max_phase) return EOVERFLOW;  // left, or INT32_MAX would be reached
  } while (!phase.compare_exchange_weak(old, old + 1, std::memory_order_seq_cst,
                                        std::memory_order_relaxed));
  *now = old + 1;
  return departed(phaser, st, old, old + 1);
}

// Whether the wait for `target` is over: reached, or aborted.
bool reached(const phaser_state *st, int32_t target) {
  return phase_in(st->word.load(std::memory_order_acquire)) >= target ||
         st->gate.load(std::memory_order_relaxed) > 0;
}

// Lets the budget grow to `factor` times a wait of `waited_ns`, or shrink
// after a wait that spinning could not have served.
void learn(phaser_state *st, int64_t waited_ns, int64_t factor) {
  const int64_t budget = st->spin_ns.load(std::memory_order_relaxed);
  if (waited_ns >= max_spin_ns) {
    st->spin_ns.store(std::max(min_spin_ns, budget - budget / 4), std::memory_order_relaxed);
  } else if (factor * waited_ns > budget) {
    st->spin_ns.store(std::min(max_spin_ns, factor * waited_ns), std::memory_order_relaxed);
  }
}

// After a sleep that followed a timed spin begun at `since` on CPU `cpu`:
// if the phase was reached on that very CPU, the laggard had been waiting
// for it and the spin was in its way, so the waiters yield from now on;
// otherwise the sleep taught how long the wait was.
void learned_from_sleep(phaser_state *st, int64_t since, int cpu) {
  if (cpu >= 0 && st->sleepers.last_wake_cpu() == cpu) {
    const int64_t budget = st->spin_ns.load(std::memory_order_relaxed);
    st->spin_ns.store(std::max(min_spin_ns, budget / 2), std::memory_order_relaxed);
    st->yielding.store(true, std::memory_order_relaxed);
  } else {
    learn(st, st->sleepers.last_wake_ns() - since, 2);
  }
}

// Spins until P reaches `target` or the budget (cut short by the deadline,
// if any) runs out; returns whether it was reached, and else stores in
// *since when the timed spin began.
bool spin_for(phaser_state *st, int32_t target, const timespec *deadline, int64_t *since) {
  const bool yield = st->yielding.load(std::memory_order_relaxed);
  const auto wait_a_little = [yield] { yield ? (void)sched_yield() : cpu_relax(); };
  for (int32_t i = 0; i < (yield ? 1 : pauses_per_look); ++i) {
    if (reached(st, target)) return true;
    wait_a_little();
  }
  const int64_t start = monotonic_ns();
  int64_t budget = st->spin_ns.load(std::memory_order_relaxed);
  if (deadline != nullptr) {
    budget = std::min(budget, ns_of(*deadline) - start);
  }
  bool gave_way = false;  // a yield let another thread run
  for (int64_t now = start, before = start; now - start < budget;
       before = now, now = monotonic_ns()) {
    gave_way = gave_way || (yield && now - before > gave_way_ns);
    for (int32_t i = 0; i < (yield ? 1 : pauses_per_look); ++i) {
      if (reached(st, target)) {
        learn(st, now - start, 4);
        if (yield && !gave_way && !st->crowded)
          st->yielding.store(false, std::memory_order_relaxed);
        return true;
      }
      wait_a_little();
    }
  }
  *since = start;
  return false;
}

// Returns 0 once P has reached `target`, ETIMEDOUT once the deadline (null:
// none) has passed, or the abort's error.
int wait_for(phaser_state *st, int32_t target, const timespec *deadline) {
  int rc = 0;
  int64_t since = 0;
  if (!reached(st, target)) {
    if (deadline != nullptr && passed(*deadline)) {
      rc = ETIMEDOUT;
    } else if (!spin_for(st, target, deadline, &since)) {
      const int cpu = sched_getcpu();
      rc = st->sleepers.sleep_until(target, deadline);
      if (rc == 0 && st->gate.load(std::memory_order_relaxed) <= 0) {
        learned_from_sleep(st, since, cpu);
      }
    }
  }
  const int gate = st->gate.load(std::memory_order_acquire);
  return gate > 0 ? gate : rc;
}

// Takes ownership of the word once nobody else has it; returns the word.
// Owners hold it briefly, so it pauses a while before it yields the CPU.
uint64_t take_ownership(phaser_state *st) {
  uint64_t word = st->word.load(std::memory_order_seq_cst);
  for (int32_t round = 0;; ++round) {
    if ((word & owned) == 0) {
      if (st->word.compare_exchange_weak(word, word | owned, std::memory_order_seq_cst)) {
        return word | owned;
      }
      continue;
    }
    if (round < join_pause_rounds) {
      cpu_relax();
    } else {
      sched_yield();
    }
    word = st->word.load(std::memory_order_seq_cst);
  }
}

// Brings back `participant` at P, first raised to the smallest phase, and
// stores it in *phase.
int join_participant(zel_phaser_t *phaser, phaser_state *st, int32_t participant, int32_t *phase) {
  uint64_t word = take_ownership(st);
  const int32_t low = smallest_phase_above(phaser, st, phase_in(word));
  if (low > phase_in(word)) word = publish_upto(st, word, low, false);
  const int32_t current = phase_in(word);
  int rc = st->gate.load(std::memory_order_acquire);
  if (rc > 0) {
  } else if (current == left) {
    rc = EOVERFLOW;
  } else if (phase_of(phaser, participant).load(std::memory_order_seq_cst) != left) {
    rc = EBUSY;
  } else {
    st->joiner.store(participant, std::memory_order_seq_cst);
    st->word.store(word | landing, std::memory_order_seq_cst);
    phase_of(phaser, participant).store(current, std::memory_order_seq_cst);
    *phase = current;
    rc = 0;
  }
  raise(phaser, st, give_up(st, word), -1);
  return rc;
}

struct laggard_answer {
  int32_t participant, phase;
  int64_t since_ns;
  bool stamped;  // since_ns is the stamp of the phase, not the caller's clock
};

// Who is at P, and since when, at one moment of the call.
laggard_answer laggard_now(const zel_phaser_t *phaser, phaser_state *st) {
  for (;;) {
    const uint64_t word = st->word.load(std::memory_order_seq_cst);
    const int32_t current = phase_in(word);
    const int32_t lander = (word & landing) != 0 ? st->joiner.load(std::memory_order_seq_cst) : -1;
    int32_t who = -1;
    for (int32_t i = 0; current != left && i < phaser->number_threads; ++i) {
      if (i == lander || phase_of(phaser, i).load(std::memory_order_seq_cst) == current) {
        who = i;
        break;
      }
    }
    const uint64_t seq = st->stamp_seq.load(std::memory_order_seq_cst);
    const int64_t stamped = st->stamp_ns.load(std::memory_order_seq_cst);
    const bool stamp_is_current =
        seq == stamp_of(current) && st->stamp_seq.load(std::memory_order_seq_cst) == seq;
    const int64_t now = monotonic_ns();
#if defined(__x86_64__) || defined(__i386__)
    _mm_lfence();  // the clock's time-stamp counter read is not ordered with later loads
#endif
    if (st->word.load(std::memory_order_seq_cst) == word) {
      return {who, current, stamp_is_current ? stamped : now, stamp_is_current};
    }
  }
}

// The first laggard call stamps the phase it reports, before any raise
// stamps one, and then has the raises keep the time.
laggard_answer start_timing(const zel_phaser_t *phaser, phaser_state *st) {
  laggard_answer answer = laggard_now(phaser, st);
  bool first = false;
  if (st->timing.compare_exchange_strong(first, true, std::memory_order_seq_cst)) {
    if (!answer.stamped) stamp(st, answer.phase, answer.since_ns);
    st->timed.store(true, std::memory_order_seq_cst);
  }
  return answer;
}

// The calling thread's participant number, or -1 if it has none.
int32_t caller_participant(const zel_phaser_t *phaser) {
  const int32_t slot = tid_slot(pthread_self());
  return slot < phaser->number_threads ? slot : -1;
}

// Whether *phaser is a record the operations may use: not null, and
// neither zero-filled nor destroyed (`phases` null).
bool active(const zel_phaser_t *phaser) {
  return phaser != nullptr && phaser->phases != nullptr;
}

bool is_participant(const zel_phaser_t *phaser, int32_t participant) {
  return participant >= 0 && participant < phaser->number_threads;
}

}  // namespace

extern "C" int zel_phaser_init(zel_phaser_t *phaser, int32_t number_threads) {
  return zel_phaser_init_completion(phaser, number_threads, nullptr, nullptr);
}

extern "C" int zel_phaser_init_completion(zel_phaser_t *phaser, int32_t number_threads,
                                          zel_phaser_completion_t *completion, void *arg) {
  if (phaser == nullptr || number_threads < 1) return EINVAL;

  // One block: the state, the phases, then the sleep groups.
  const size_t groups = wait_list::capacity_for(number_threads);
  size_t phases_end = 0, bytes = 0;
  if (!checked_size<size_t>(static_cast<size_t>(number_threads), sizeof(int32_t),
                            sizeof(phaser_state), &phases_end) ||
      !checked_size<size_t>(groups, sizeof(wait_list::group), phases_end + cache_line - 1,
                            &bytes)) {
    return ENOMEM;
  }
  static_assert(alignof(wait_list::group) <= alignof(int32_t));
  void *block = std::aligned_alloc(cache_line, bytes / cache_line * cache_line);
  if (block == nullptr) return ENOMEM;

  int rc = pthread_mutex_init(&phaser->mutex, nullptr);
  if (rc == 0) {
    rc = pthread_cond_init(&phaser->cond, nullptr);
    if (rc != 0) pthread_mutex_destroy(&phaser->mutex);
  }
  if (rc != 0) {
    std::free(block);
    return rc;
  }
  auto *group_storage =
      reinterpret_cast<wait_list::group *>(static_cast<char *>(block) + phases_end);
  phaser_state *st = new (block) phaser_state;
  st->completion = completion;
  st->completion_arg = arg;
  st->init_ns = monotonic_ns();
  st->sleepers.init(group_storage, groups, &phaser->mutex, &st->word, &st->gate);
  st->crowded = number_threads > online_cpus();
  st->yielding.store(st->crowded, std::memory_order_relaxed);
  auto *phases = reinterpret_cast<int32_t *>(st + 1);
  for (int32_t i = 0; i < number_threads; ++i) phases[i] = 0;
  phaser->number_threads = number_threads;
  phaser->phases = phases;
  return 0;
}

extern "C" int32_t zel_phaser_current(zel_phaser_t *phaser) {
  if (!active(phaser)) return -1;
  phaser_state *st = state_of(phaser);
  if (st->gate.load(std::memory_order_acquire) == unsynced) sync_once(phaser, st);
  return phase_in(st->word.load(std::memory_order_acquire));
}

extern "C" int zel_phaser_advance_and_await_at(zel_phaser_t *phaser, int32_t participant) {
  if (!active(phaser)) return EINVAL;
  if (!is_participant(phaser, participant)) return -1;
  int32_t target = 0;
  const int rc = advance_participant(phaser, participant, &target);
  return rc != 0 ? rc : wait_for(state_of(phaser), target, nullptr);
}

extern "C" int zel_phaser_advance_and_await(zel_phaser_t *phaser) {
  if (!active(phaser)) return EINVAL;
  return zel_phaser_advance_and_await_at(phaser, caller_participant(phaser));
}

extern "C" int zel_phaser_advance_at(zel_phaser_t *phaser, int32_t participant) {
  if (!active(phaser)) return EINVAL;
  if (!is_participant(phaser, participant)) return -1;
  int32_t now = 0;
  return advance_participant(phaser, participant, &now);
}

extern "C" int zel_phaser_advance(zel_phaser_t *phaser) {
  if (!active(phaser)) return EINVAL;
  return zel_phaser_advance_at(phaser, caller_participant(phaser));
}

extern "C" int zel_phaser_leave_at(zel_phaser_t *phaser, int32_t participant) {
  if (!active(phaser)) return EINVAL;
  if (!is_participant(phaser, participant)) return -1;
  phaser_state *st = state_of(phaser);
  if (in_completion(st)) return EDEADLK;
  if (st->gate.load(std::memory_order_acquire) == unsynced) sync_once(phaser, st);
  const int32_t old = phase_of(phaser, participant).exchange(left, std::memory_order_seq_cst);
  return old != left ? departed(phaser, st, old, left) : 0;
}

extern "C" int zel_phaser_leave(zel_phaser_t *phaser) {
  if (!active(phaser)) return EINVAL;
  return zel_phaser_leave_at(phaser, caller_participant(phaser));
}

extern "C" int zel_phaser_await_phase(zel_phaser_t *phaser, int32_t phase,
                                      const struct timespec *deadline) {
  if (!active(phaser)) return EINVAL;
  if (deadline != nullptr && (deadline->tv_nsec < 0 || deadline->tv_nsec > 999999999)) {
    return EINVAL;
  }
  phaser_state *st = state_of(phaser);
  if (const int error = gate_error(phaser, st)) return error;
  return wait_for(st, phase, deadline);
}

extern "C" int zel_phaser_abort(zel_phaser_t *phaser, int error) {
  if (!active(phaser) || !is_abort_error(error)) return EINVAL;
  phaser_state *st = state_of(phaser);
  if (st->gate.load(std::memory_order_acquire) == unsynced) sync_once(phaser, st);
  abort_run(st, error);
  return 0;
}

extern "C" int zel_phaser_join_at(zel_phaser_t *phaser, int32_t participant, int32_t *phase) {
  if (!active(phaser)) return EINVAL;
  if (!is_participant(phaser, participant)) return -1;
  phaser_state *st = state_of(phaser);
  if (const int error = gate_error(phaser, st)) return error;
  if (phase_of(phaser, participant).load(std::memory_order_seq_cst) != left) return EBUSY;
  int32_t joined = 0;
  const int rc = join_participant(phaser, st, participant, &joined);
  if (rc == 0 && phase != nullptr) *phase = joined;
  return rc;
}

extern "C" int zel_phaser_join(zel_phaser_t *phaser, int32_t *participant, int32_t *phase) {
  if (!active(phaser) || participant == nullptr) return EINVAL;
  phaser_state *st = state_of(phaser);
  if (const int error = gate_error(phaser, st)) return error;
  for (int32_t i = 0; i < phaser->number_threads; ++i) {
    if (phase_of(phaser, i).load(std::memory_order_relaxed) != left) continue;
    const int rc = zel_phaser_join_at(phaser, i, phase);
    if (rc == 0) *participant = i;
    if (rc != EBUSY) return rc;
  }
  return EBUSY;
}

extern "C" int zel_phaser_laggard(zel_phaser_t *phaser, int32_t *participant, int32_t *phase,
                                  struct timespec *since) {
  if (!active(phaser)) return EINVAL;
  phaser_state *st = state_of(phaser);
  if (st->gate.load(std::memory_order_acquire) == unsynced) sync_once(phaser, st);
  const laggard_answer answer = st->timed.load(std::memory_order_acquire)
                                    ? laggard_now(phaser, st)
                                    : start_timing(phaser, st);
  if (participant != nullptr) *participant = answer.participant;
  if (phase != nullptr) *phase = answer.phase;
  if (since != nullptr) {
    since->tv_sec = static_cast<time_t>(answer.since_ns / 1000000000);
    since->tv_nsec = static_cast<long>(answer.since_ns % 1000000000);
  }
  return 0;
}

extern "C" int zel_phaser_destroy(zel_phaser_t *phaser) {
  if (!active(phaser)) return EINVAL;
  int rc = pthread_mutex_destroy(&phaser->mutex);
  if (rc != 0) return rc;
  rc = pthread_cond_destroy(&phaser->cond);
  if (rc != 0) return rc;
  phaser_state *st = state_of(phaser);
  st->~phaser_state();
  std::free(st);
  phaser->phases = nullptr;
  return 0;
}
