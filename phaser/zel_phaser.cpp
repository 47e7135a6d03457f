// Phaser.
//
// Design: `phases[s]` is the phase of the participant in slot s. Next to the
// phases, in the same allocation, the phaser keeps its private bookkeeping
// (struct phaser_state): the current phase, that is the smallest phase, and
// how many participants are at it. With them an advance costs O(1) and
// tells whether it raised the current phase; only the advance that moves the
// last participant off the current phase rescans the phases, once per phase.
//
// Invariants, all under `mutex`:
//  - current == min(phases[0..n)), at_current == |{s : phases[s] == current}|,
//    so at_current >= 1;
//  - phases and current only grow;
//  - waiters are woken, all at once, exactly when the current phase rises
//    and someone is waiting: a waiter's condition (current >= its own phase)
//    can only become true then, and each waiter re-tests it after waking, so
//    no wake-up is lost and none is needed on other advances.
//
// The record's layout stays the public one: phaser->phases points just past
// the private state, and the state is found again from it.

#include "zel_phaser.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <new>

namespace {

struct phaser_state {
  // Written under the mutex; read without it by zel_phaser_current.
  std::atomic<int32_t> current{0};
  int32_t at_current = 0;  // participants whose phase is `current`
  int32_t waiting = 0;     // threads blocked in cond
};

phaser_state *state_of(const zel_phaser_t *phaser) {
  return std::launder(reinterpret_cast<phaser_state *>(phaser->phases) - 1);
}

// Returns the calling thread's participant index, or -1 if it has none.
int32_t caller_slot(const zel_phaser_t *phaser) {
  const int32_t slot = tid_slot(pthread_self());
  return slot < phaser->number_threads ? slot : -1;
}

// Recomputes the current phase and its head count from the phases.
void rescan(const zel_phaser_t *phaser, phaser_state *st) {
  int32_t low = phaser->phases[0];
  int32_t count = 0;
  for (int32_t s = 0; s < phaser->number_threads; ++s) {
    const int32_t phase = phaser->phases[s];
    if (phase < low) {
      low = phase;
      count = 0;
    }
    count += phase == low;
  }
  st->at_current = count;
  st->current.store(low, std::memory_order_release);
}

// Adds 1 to the phase of `slot` and wakes the waiters if that raised the
// current phase. Returns the new phase. Called with the mutex held.
int32_t advance_locked(zel_phaser_t *phaser, phaser_state *st, int32_t slot) {
  const int32_t old = phaser->phases[slot]++;
  if (old == st->current.load(std::memory_order_relaxed) && --st->at_current == 0) {
    rescan(phaser, st);
    if (st->waiting > 0) pthread_cond_broadcast(&phaser->cond);
  }
  return old + 1;
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

  const size_t count = static_cast<size_t>(number_threads);
  void *block = std::calloc(1, sizeof(phaser_state) + count * sizeof(int32_t));
  if (block == nullptr) {
    pthread_cond_destroy(&phaser->cond);
    pthread_mutex_destroy(&phaser->mutex);
    return ENOMEM;
  }
  phaser_state *st = new (block) phaser_state;
  st->at_current = number_threads;
  phaser->number_threads = number_threads;
  phaser->phases = reinterpret_cast<int32_t *>(st + 1);
  return 0;
}

extern "C" int32_t zel_phaser_current(zel_phaser_t *phaser) {
  return state_of(phaser)->current.load(std::memory_order_acquire);
}

extern "C" int zel_phaser_advance_and_await(zel_phaser_t *phaser) {
  const int32_t slot = caller_slot(phaser);
  if (slot < 0) return -1;
  phaser_state *st = state_of(phaser);

  pthread_mutex_lock(&phaser->mutex);
  const int32_t mine = advance_locked(phaser, st, slot);
  while (st->current.load(std::memory_order_relaxed) < mine) {
    ++st->waiting;
    pthread_cond_wait(&phaser->cond, &phaser->mutex);
    --st->waiting;
  }
  pthread_mutex_unlock(&phaser->mutex);
  return 0;
}

extern "C" int zel_phaser_advance(zel_phaser_t *phaser) {
  const int32_t slot = caller_slot(phaser);
  if (slot < 0) return -1;
  phaser_state *st = state_of(phaser);

  pthread_mutex_lock(&phaser->mutex);
  advance_locked(phaser, st, slot);
  pthread_mutex_unlock(&phaser->mutex);
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
