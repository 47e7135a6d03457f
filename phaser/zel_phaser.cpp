// Phaser.
//
// Design: `phases[s]` is the phase of the participant in slot s, written only
// by that participant. Next to the phases, in the same allocation, the
// phaser keeps its private state (struct phaser_state), above all
// `current`, the current phase, which waiters watch. The record's public
// layout is unchanged: phaser->phases points just past the private state,
// and the state is found again from it. The operations are lock-free: the
// record's mutex and condition variable are initialised and destroyed with
// the phaser but never waited on.
//
// Advancing: a participant increments its own phase; if it left the phase
// that `current` holds, it may have been the last one there, so it scans the
// phases and raises `current` to their minimum (a compare-and-swap that only
// ever raises). All of these accesses are sequentially consistent.
//
// Invariants:
//  - current <= min(phases), and phases and current only grow;
//  - once no advance is in flight, current == min(phases). Proof sketch: let
//    L be the last participant to leave some phase c < min(phases). If L read
//    current == c, its scan came after every departure from c and raised
//    current above c. If L read current < c, then whoever later raised
//    current to c was itself at phase c (a raiser's scan includes its own
//    entry, and it read current == its old phase), so it left c after L:
//    contradiction.
//  - so the advance that completes a phase for a waiter is followed by a
//    raise, and every raise checks for sleepers.
//
// Waiting: a waiter spins on `current` for a bounded time (see the wait-loop
// constants below), then sleeps on it as a futex word. A
// raise wakes every sleeper with one system call, and makes it only if
// someone sleeps: with a single waiter, it is woken at most once per phase,
// and an advance that releases nobody makes no system call at all.
//
// No lost wake-up: a sleeper increments `sleepers`, then reads `current`
// and sleeps only while the word still holds what it read; the raiser stores
// `current`, then reads `sleepers`. Both pairs are sequentially consistent,
// so either the raiser sees the sleeper and wakes it, or the sleeper sees
// the new phase (or the futex sees the changed word) and does not sleep.
//
// Ordering: an advance's increment is a release; the scan that raises
// `current` reads every participant's phase and the waiter reads `current`,
// all sequentially consistent, so an advance happens before the awaits it
// releases return.

#include "zel_phaser.h"

#include "futex.h"

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

using zel_detail::futex_wait;
using zel_detail::futex_wake_all;

constexpr size_t kCacheLine = 64;

// Wait-loop rounds before sleeping. When every participant can have a CPU
// the waiter first spins with pause instructions, at most kMaxPauseRounds
// (about 40 us here), adapting the budget to how long waits have lately
// taken: it grows when a spin succeeds late and shrinks when a spin was in
// vain, so on a machine whose CPUs are busy elsewhere it soon stops spinning.
// When participants outnumber CPUs, pausing only delays the laggards, so
// the waiter skips it. Either way it then yields its CPU a few times, which
// lets a laggard that waits for a CPU run, and finally sleeps.
constexpr int32_t kMaxPauseRounds = 2000;
constexpr int32_t kMinPauseRounds = 32;
constexpr int32_t kYieldRounds = 4;

struct alignas(kCacheLine) phaser_state {
  std::atomic<int32_t> current{0};                     // futex word; only ever raised
  std::atomic<int32_t> sleepers{0};                    // threads in, or about to enter, futex_wait
  std::atomic<int32_t> pause_rounds{kMaxPauseRounds};  // adaptive, see above
  bool yield_in_wait = false;
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

// Returns the calling thread's participant index, or -1 if it has none.
int32_t caller_slot(const zel_phaser_t *phaser) {
  const int32_t slot = tid_slot(pthread_self());
  return slot < phaser->number_threads ? slot : -1;
}

std::atomic_ref<int32_t> phase_of(const zel_phaser_t *phaser, int32_t slot) {
  return std::atomic_ref<int32_t>(phaser->phases[slot]);
}

// Raises `current` from `seen` to the smallest phase, if that is higher.
// Returns whether this call raised it.
bool raise_current(const zel_phaser_t *phaser, phaser_state *st, int32_t seen) {
  int32_t low = phase_of(phaser, 0).load(std::memory_order_seq_cst);
  for (int32_t s = 1; s < phaser->number_threads; ++s) {
    low = std::min(low, phase_of(phaser, s).load(std::memory_order_seq_cst));
  }
  while (low > seen) {
    if (st->current.compare_exchange_weak(seen, low, std::memory_order_seq_cst)) return true;
  }
  return false;
}

// Adds 1 to the phase of `slot`, wakes whoever that releases, and returns
// the new phase.
int32_t advance_slot(const zel_phaser_t *phaser, phaser_state *st, int32_t slot) {
  const int32_t old = phase_of(phaser, slot).fetch_add(1, std::memory_order_seq_cst);
  if (old == st->current.load(std::memory_order_seq_cst) && raise_current(phaser, st, old) &&
      st->sleepers.load(std::memory_order_seq_cst) > 0) {
    futex_wake_all(&st->current);
  }
  return old + 1;
}

// True once the current phase has reached `target`.
bool reached(const phaser_state *st, int32_t target) {
  return st->current.load(std::memory_order_acquire) >= target;
}

// Spins until the current phase reaches `target` or the budget runs out;
// returns whether it was reached.
bool spin_for(phaser_state *st, int32_t target) {
  if (!st->yield_in_wait) {
    const int32_t budget = st->pause_rounds.load(std::memory_order_relaxed);
    for (int32_t i = 0; i < budget; ++i) {
      if (reached(st, target)) {
        // Leave room for waits twice as long as this one.
        if (2 * i + kMinPauseRounds > budget) {
          st->pause_rounds.store(std::min(kMaxPauseRounds, 2 * i + kMinPauseRounds),
                                 std::memory_order_relaxed);
        }
        return true;
      }
      cpu_relax();
    }
    st->pause_rounds.store(std::max(kMinPauseRounds, budget / 2), std::memory_order_relaxed);
  }
  // The laggards may be waiting for this CPU: offer it before sleeping.
  for (int32_t i = 0; i < kYieldRounds; ++i) {
    if (reached(st, target)) return true;
    sched_yield();
  }
  return reached(st, target);
}

// Returns once the current phase has reached `target`.
void wait_for(phaser_state *st, int32_t target) {
  if (spin_for(st, target)) return;
  for (;;) {
    st->sleepers.fetch_add(1, std::memory_order_seq_cst);
    const int32_t seen = st->current.load(std::memory_order_seq_cst);
    if (seen < target) futex_wait(&st->current, seen);
    st->sleepers.fetch_sub(1, std::memory_order_relaxed);
    if (st->current.load(std::memory_order_acquire) >= target) return;
  }
}

}  // namespace

extern "C" int zel_phaser_init(zel_phaser_t *phaser, int32_t number_threads) {
  if (phaser == nullptr || number_threads < 1) return EINVAL;

  int rc = pthread_mutex_init(&phaser->mutex, nullptr);
  if (rc != 0) return rc;
  rc = pthread_cond_init(&phaser->cond, nullptr);
  if (rc != 0) {
    pthread_mutex_destroy(&phaser->mutex);
    return rc;
  }

  const size_t bytes = sizeof(phaser_state) + static_cast<size_t>(number_threads) * sizeof(int32_t);
  void *block = std::aligned_alloc(kCacheLine, (bytes + kCacheLine - 1) / kCacheLine * kCacheLine);
  if (block == nullptr) {
    pthread_cond_destroy(&phaser->cond);
    pthread_mutex_destroy(&phaser->mutex);
    return ENOMEM;
  }
  phaser_state *st = new (block) phaser_state;
  st->yield_in_wait = number_threads > online_cpus();
  auto *phases = reinterpret_cast<int32_t *>(st + 1);
  for (int32_t s = 0; s < number_threads; ++s) phases[s] = 0;
  phaser->number_threads = number_threads;
  phaser->phases = phases;
  return 0;
}

extern "C" int32_t zel_phaser_current(zel_phaser_t *phaser) {
  return state_of(phaser)->current.load(std::memory_order_acquire);
}

extern "C" int zel_phaser_advance_and_await(zel_phaser_t *phaser) {
  const int32_t slot = caller_slot(phaser);
  if (slot < 0) return -1;
  phaser_state *st = state_of(phaser);
  wait_for(st, advance_slot(phaser, st, slot));
  return 0;
}

extern "C" int zel_phaser_advance(zel_phaser_t *phaser) {
  const int32_t slot = caller_slot(phaser);
  if (slot < 0) return -1;
  advance_slot(phaser, state_of(phaser), slot);
  return 0;
}

extern "C" int zel_phaser_destroy(zel_phaser_t *phaser) {
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
