// Phaser.
//
// Design: `phases[i]` is the phase of participant i; it is the truth, read
// and changed with atomic operations only, and zel_phaser_current scans it.
// Next to the phases, in the same allocation, the phaser keeps its private
// state (struct phaser_state): `released`, the current phase as last
// published, which waiters watch, and the sleep groups (wait_list.h) in
// which waiters sleep. The record's public layout is unchanged:
// phaser->phases points just past the private state, and the state is
// found again from it.
//
// Advancing: a compare-and-swap adds 1 to the participant's phase (leaving
// swaps in INT32_MAX). If the participant left the phase that `released`
// holds, it may have been the last one there, so it raises `released` to the
// smallest phase; after each raise it makes, it scans again and raises
// again if it can (see raise_released). A raise takes the time at which
// the phase is reached (`since`, in ticks, stored before the raise, so that
// it never belongs to an earlier phase). All of these accesses are
// sequentially consistent. Nothing here takes a
// lock, except to wake sleepers.
//
// Invariants:
//  - released <= min(phases), and released only grows; phases only grow
//    but for a join (below);
//  - once no advance is in flight, released == min(phases). Proof sketch:
//    let x < min(phases) be the final value of `released`, stored by the
//    last successful raise R (or by the first operation's sync). R's scan
//    after that store found a participant at phase x, which departed x
//    later. Let L be the last participant to depart x. L's old phase was x
//    (nobody is below `released`) and L read `released` == x after its
//    compare-and-swap, so L scanned after every departure from x and raised
//    `released` above x (or left that to a join under way, which scans and
//    raises after it): a later successful raise, a contradiction. (Where
//    a scan starts does not matter: one that finds nobody at or below x
//    has read every phase.)
//  - so the advance that completes a phase for a waiter is followed by a
//    raise, and every raise checks for sleepers.
//
// Cost of a phase: a scan stops at the first participant it finds at or
// below the released phase x, and starts where the last scan stopped
// (`scan_start`, only a hint). The participants it passes over have left x
// and cannot return to it, and it never passes one still at x, so while x
// is released the start goes round the phases at most once: a phase costs
// O(n) reads in all, plus O(1) per advance, whatever the order of arrival.
// Each raise adds one full scan.
//
// Joining: a join swaps INT32_MAX for the smallest phase m of the others,
// the one case in which a phase falls, so no raise whose scan missed the
// joiner may publish a phase above m. `released` shares one word with a join
// epoch, odd while a join chooses m: a join makes it odd with a
// compare-and-swap, so a raise that read the word before fails its
// compare-and-swap, and one that read it after finds a join under way and
// leaves the raise to the join, which raises, as a departure would, once it
// has made the epoch even again; a raise that read the word after that scans
// after the swap. So while a join chooses, `released` stands still, m >=
// released, and released <= min(phases) holds throughout. Advancing stays
// lock-free; a waiter may wait for a joiner to finish.
//
// Aborting: `aborted` is set once, before the sleepers are woken for good
// (wait_list.h); every wait tests it with `released`, every advance and join
// before it changes a phase. Leaving ignores it.
//
// Phases written by the caller: between zel_phaser_init and the first
// operation the caller may set the phases. The first operation of any
// thread syncs `released` to their minimum under the mutex, before any
// advance can run, so the invariants hold from then on.
//
// Waiting: a waiter spins on `released` for a bounded time (see the
// wait-loop constants below), then sleeps on a futex word chosen by its
// target phase (wait_list.h). A raise wakes exactly the sleepers whose
// target it reached, and makes a system call only if there are some; an
// advance that releases nobody makes none.
//
// Ordering: an advance is a release; the scan that raises `released` reads
// every participant's phase and the waiter reads `released`, all
// sequentially consistent or acquire, so an advance happens before the
// awaits it releases return.

#include "zel_phaser.h"

#include "checked_size.h"
#include "wait_list.h"

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
using zel_detail::released_phase;
using zel_detail::released_word;
using zel_detail::wait_list;

constexpr size_t cache_line = 64;
constexpr int32_t left = INT32_MAX;  // the phase of a participant that has left
// An advance may take a phase up to this, never to left.
constexpr int32_t max_phase = INT32_MAX - 1;

// Wait-loop rounds before sleeping. When every participant can have a CPU
// the waiter first spins with pause instructions, at most max_pause_rounds,
// adapting the budget to how long waits have lately taken: it grows when a
// spin succeeds late and shrinks when a spin was in vain, so on a machine
// whose CPUs are busy elsewhere it soon stops spinning. When participants
// outnumber CPUs, pausing only delays the laggards, so the waiter skips it.
// Either way it then yields its CPU a few times, which lets a laggard that
// waits for a CPU run, and finally sleeps.
constexpr int32_t max_pause_rounds = 2000;
constexpr int32_t min_pause_rounds = 32;
constexpr int32_t yield_rounds = 4;

struct alignas(cache_line) phaser_state {
  released_word released{0};                            // the phase, and the join epoch
  std::atomic<int> aborted{0};                          // the abort's error, set once
  std::atomic<int32_t> scan_start{0};                   // where scans begin, see raise_released
  std::atomic<int64_t> since{0};                        // ticks when `released` was reached
  int64_t init_ticks = 0, init_ns = 0;                  // the clocks at zel_phaser_init
  std::atomic<bool> synced{false};                      // set once by the first operation
  std::atomic<int32_t> pause_rounds{max_pause_rounds};  // adaptive, see above
  bool yield_in_wait = false;
  wait_list sleepers;
};

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

int64_t monotonic_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Time stamps of raises: a tick count that is cheaper to read than the
// clock (the time-stamp counter, which the kernel's CLOCK_MONOTONIC follows
// at a constant rate, on x86-64; elsewhere the clock itself), converted to
// CLOCK_MONOTONIC only when asked for, against the ticks and the clock read
// at init and at the conversion.
int64_t ticks() {
#if defined(__x86_64__)
  return static_cast<int64_t>(__rdtsc());
#else
  return monotonic_ns();
#endif
}

int64_t ticks_to_ns(const phaser_state *st, int64_t stamp) {
#if defined(__x86_64__)
  const int64_t now_ticks = ticks(), now_ns = monotonic_ns();
  if (now_ticks <= st->init_ticks || stamp <= st->init_ticks) return st->init_ns;
  const long double elapsed = static_cast<long double>(std::min(stamp, now_ticks) - st->init_ticks);
  return st->init_ns +
         static_cast<int64_t>(elapsed * static_cast<long double>(now_ns - st->init_ns) /
                              static_cast<long double>(now_ticks - st->init_ticks));
#else
  (void)st;
  return stamp;
#endif
}

std::atomic_ref<int32_t> phase_of(const zel_phaser_t *phaser, int32_t participant) {
  return std::atomic_ref<int32_t>(phaser->phases[participant]);
}

int32_t smallest_phase(const zel_phaser_t *phaser, std::memory_order order) {
  int32_t low = phase_of(phaser, 0).load(order);
  for (int32_t i = 1; i < phaser->number_threads; ++i) {
    low = std::min(low, phase_of(phaser, i).load(order));
  }
  return low;
}

// Publishes the phases the caller may have written before the first
// operation: sets `released` to their minimum, once, before any advance.
void sync_once(zel_phaser_t *phaser, phaser_state *st) {
  if (st->synced.load(std::memory_order_acquire)) return;
  pthread_mutex_lock(&phaser->mutex);
  if (!st->synced.load(std::memory_order_relaxed)) {
    st->released.store(static_cast<uint32_t>(smallest_phase(phaser, std::memory_order_relaxed)),
                       std::memory_order_seq_cst);
    st->synced.store(true, std::memory_order_release);
  }
  pthread_mutex_unlock(&phaser->mutex);
}

// The smallest phase if it is above `floor`; otherwise `floor`, as soon as
// a participant at or below it is found. The scan goes round the phases
// from `scan_start` and leaves it at the participant it found, or at one
// with the smallest phase.
int32_t smallest_phase_above(const zel_phaser_t *phaser, phaser_state *st, int32_t floor) {
  const int32_t n = phaser->number_threads;
  const int32_t start = st->scan_start.load(std::memory_order_relaxed);
  int32_t low = INT32_MAX, lowest = start;
  for (int32_t k = 0, i = start; k < n; ++k, i = i + 1 < n ? i + 1 : 0) {
    const int32_t phase = phase_of(phaser, i).load(std::memory_order_seq_cst);
    if (phase <= floor) {
      lowest = i;
      low = floor;
      break;
    }
    if (phase < low) {
      low = phase;
      lowest = i;
    }
  }
  if (lowest != start) st->scan_start.store(lowest, std::memory_order_relaxed);
  return low;
}

// The join epoch, the high half of the released word: odd while a join
// chooses its phase.
constexpr uint64_t join_epoch_step = uint64_t{1} << 32;

bool join_under_way(uint64_t word) {
  return (word & join_epoch_step) != 0;
}

uint64_t with_phase(uint64_t word, int32_t phase) {
  return (word & ~(join_epoch_step - 1)) | static_cast<uint32_t>(phase);
}

// Raises `released` from the word `seen` to the smallest phase, scanning
// again after each raise this call makes until a scan finds nothing
// higher, and wakes the sleepers whose phase it reached. The compare-and-swap
// fails if a raise or a join came between the read of `seen` and it; while
// a join is under way it leaves the raise to the join. The time is taken
// before the raise, so that it never belongs to an earlier phase.
void raise_released(zel_phaser_t *phaser, phaser_state *st, uint64_t seen) {
  bool raised = false;
  while (!join_under_way(seen)) {
    const int32_t low = smallest_phase_above(phaser, st, released_phase(seen));
    if (low <= released_phase(seen)) break;
    st->since.store(ticks(), std::memory_order_relaxed);
    const uint64_t next = with_phase(seen, low);
    if (st->released.compare_exchange_strong(seen, next, std::memory_order_seq_cst)) {
      raised = true;
      seen = next;
    }
  }
  if (raised) st->sleepers.wake_reached(&phaser->mutex, st->released);
}

// Participant `participant` has moved on from phase `old`: if it was at
// the phase that `released` holds, it may have been the last one there.
void departed(zel_phaser_t *phaser, phaser_state *st, int32_t old) {
  const uint64_t seen = st->released.load(std::memory_order_seq_cst);
  if (released_phase(seen) == old) raise_released(phaser, st, seen);
}

// Adds 1 to the participant's phase; stores the new phase in *now.
int advance_participant(zel_phaser_t *phaser, int32_t participant, int32_t *now) {
  phaser_state *st = state_of(phaser);
  sync_once(phaser, st);
  if (const int error = st->aborted.load(std::memory_order_acquire)) return error;
  std::atomic_ref<int32_t> phase = phase_of(phaser, participant);
  int32_t old = phase.load(std::memory_order_relaxed);
  do {
    if (old >= max_phase) return EOVERFLOW;  // left, or INT32_MAX would be reached
  } while (!phase.compare_exchange_weak(old, old + 1, std::memory_order_seq_cst,
                                        std::memory_order_relaxed));
  departed(phaser, st, old);
  *now = old + 1;
  return 0;
}

// Whether the wait for `target` is over: reached, or aborted.
bool reached(const phaser_state *st, int32_t target) {
  return released_phase(st->released.load(std::memory_order_acquire)) >= target ||
         st->aborted.load(std::memory_order_relaxed) != 0;
}

// Spins until `released` reaches `target` or the budget runs out; returns
// whether it was reached.
bool spin_for(phaser_state *st, int32_t target) {
  if (!st->yield_in_wait) {
    const int32_t budget = st->pause_rounds.load(std::memory_order_relaxed);
    for (int32_t i = 0; i < budget; ++i) {
      if (reached(st, target)) {
        // Leave room for waits twice as long as this one.
        if (2 * i + min_pause_rounds > budget) {
          st->pause_rounds.store(std::min(max_pause_rounds, 2 * i + min_pause_rounds),
                                 std::memory_order_relaxed);
        }
        return true;
      }
      cpu_relax();
    }
    st->pause_rounds.store(std::max(min_pause_rounds, budget / 2), std::memory_order_relaxed);
  }
  // The laggards may be waiting for this CPU: offer it before sleeping.
  for (int32_t i = 0; i < yield_rounds; ++i) {
    if (reached(st, target)) return true;
    sched_yield();
  }
  return reached(st, target);
}

// Returns 0 once `released` has reached `target`, ETIMEDOUT once the
// deadline (null: none) has passed, or the abort's error.
int wait_for(zel_phaser_t *phaser, phaser_state *st, int32_t target, const timespec *deadline) {
  const int rc =
      reached(st, target) || spin_for(st, target)
          ? 0
          : st->sleepers.sleep_until(&phaser->mutex, st->released, target, deadline, st->aborted);
  const int error = st->aborted.load(std::memory_order_acquire);
  return error != 0 ? error : rc;
}

// Makes the join epoch odd, which stops the raises, once no other join is
// under way.
void begin_join(phaser_state *st) {
  uint64_t word = st->released.load(std::memory_order_seq_cst);
  for (;;) {
    if (join_under_way(word)) {
      sched_yield();
      word = st->released.load(std::memory_order_seq_cst);
    } else if (st->released.compare_exchange_weak(word, word + join_epoch_step,
                                                  std::memory_order_seq_cst)) {
      return;
    }
  }
}

// Makes the join epoch even again and makes the raises left to the join.
void end_join(zel_phaser_t *phaser, phaser_state *st) {
  const uint64_t word =
      st->released.fetch_add(join_epoch_step, std::memory_order_seq_cst) + join_epoch_step;
  raise_released(phaser, st, word);
}

// Brings back `participant`, which had left, at the smallest phase of the
// others, and stores it in *phase.
int join_participant(zel_phaser_t *phaser, phaser_state *st, int32_t participant, int32_t *phase) {
  begin_join(st);
  const int32_t current = smallest_phase(phaser, std::memory_order_seq_cst);
  int32_t expected = left;
  int rc = EOVERFLOW;
  if (current != left) {
    rc = phase_of(phaser, participant)
                 .compare_exchange_strong(expected, current, std::memory_order_seq_cst)
             ? 0
             : EBUSY;
  }
  end_join(phaser, st);
  *phase = current;
  return rc;
}

bool is_abort_error(int error) {
  return error > 0 && error != EINVAL && error != EOVERFLOW && error != ETIMEDOUT && error != EBUSY;
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
  st->init_ticks = ticks();
  st->init_ns = monotonic_ns();
  st->since.store(st->init_ticks, std::memory_order_relaxed);
  st->sleepers.init(group_storage, groups);
  st->yield_in_wait = number_threads > online_cpus();
  auto *phases = reinterpret_cast<int32_t *>(st + 1);
  for (int32_t i = 0; i < number_threads; ++i) phases[i] = 0;
  phaser->number_threads = number_threads;
  phaser->phases = phases;
  return 0;
}

extern "C" int32_t zel_phaser_current(zel_phaser_t *phaser) {
  if (!active(phaser)) return -1;
  return smallest_phase(phaser, std::memory_order_acquire);
}

extern "C" int zel_phaser_advance_and_await_at(zel_phaser_t *phaser, int32_t participant) {
  if (!active(phaser)) return EINVAL;
  if (!is_participant(phaser, participant)) return -1;
  int32_t target = 0;
  const int rc = advance_participant(phaser, participant, &target);
  return rc != 0 ? rc : wait_for(phaser, state_of(phaser), target, nullptr);
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
  sync_once(phaser, st);
  const int32_t old = phase_of(phaser, participant).exchange(left, std::memory_order_seq_cst);
  if (old != left) departed(phaser, st, old);
  return 0;
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
  sync_once(phaser, st);
  return wait_for(phaser, st, phase, deadline);
}

extern "C" int zel_phaser_abort(zel_phaser_t *phaser, int error) {
  if (!active(phaser) || !is_abort_error(error)) return EINVAL;
  phaser_state *st = state_of(phaser);
  sync_once(phaser, st);
  int none = 0;
  if (st->aborted.compare_exchange_strong(none, error, std::memory_order_seq_cst)) {
    st->sleepers.wake_all(&phaser->mutex, st->released);
  }
  return 0;
}

extern "C" int zel_phaser_join_at(zel_phaser_t *phaser, int32_t participant, int32_t *phase) {
  if (!active(phaser)) return EINVAL;
  if (!is_participant(phaser, participant)) return -1;
  phaser_state *st = state_of(phaser);
  sync_once(phaser, st);
  if (const int error = st->aborted.load(std::memory_order_acquire)) return error;
  if (phase_of(phaser, participant).load(std::memory_order_seq_cst) != left) return EBUSY;
  int32_t joined = 0;
  const int rc = join_participant(phaser, st, participant, &joined);
  if (rc == 0 && phase != nullptr) *phase = joined;
  return rc;
}

extern "C" int zel_phaser_join(zel_phaser_t *phaser, int32_t *participant, int32_t *phase) {
  if (!active(phaser) || participant == nullptr) return EINVAL;
  phaser_state *st = state_of(phaser);
  sync_once(phaser, st);
  if (const int error = st->aborted.load(std::memory_order_acquire)) return error;
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
  sync_once(phaser, st);
  const int32_t current = released_phase(st->released.load(std::memory_order_seq_cst));
  const int64_t stamp = st->since.load(std::memory_order_relaxed);
  int32_t who = -1;
  for (int32_t i = 0, low = left; i < phaser->number_threads; ++i) {
    const int32_t p = phase_of(phaser, i).load(std::memory_order_acquire);
    if (p < low) {
      low = p;
      who = i;
    }
  }
  if (participant != nullptr) *participant = who;
  if (phase != nullptr) *phase = current;
  if (since != nullptr) {
    const int64_t ns = ticks_to_ns(st, stamp);
    since->tv_sec = static_cast<time_t>(ns / 1000000000);
    since->tv_nsec = static_cast<long>(ns % 1000000000);
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
