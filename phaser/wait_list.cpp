// The phaser's sleeping waiters.
//
// Design: a waiter that has spun in vain sleeps on a futex word chosen by
// its target phase, so that a raise of the current phase wakes exactly the
// waiters whose target it reaches:
//  - a waiter for the very next phase (target == current + 1, a barrier's
//    and the demonstration's case) sleeps on the phaser's word itself,
//    counted in `next_sleepers_`; any raise reaches its target, and wakes
//    all of them with one system call. This path takes no lock.
//  - a waiter further ahead joins the group of its target (a slot of a
//    fixed table: the target and a futex word), under the mutex, and sleeps
//    on the group's word. A raise to r wakes the groups whose target is at
//    most r: it bumps each one's word, wakes it and frees the slot. So a
//    waiter far ahead sleeps through the raises that do not reach its phase.
//
// `lowest_` is the smallest target of any group, INT32_MAX when there is
// none; it is written only with the mutex held. A raise with no next-phase
// sleeper and below `lowest_` takes no lock and makes no system call.
//
// No lost wake-up: a sleeper announces itself (increments `next_sleepers_`,
// or stores `lowest_`), then reads the current phase, and sleeps only
// while its word still holds what it expects; a raiser stores the phase,
// then reads both announcements. All of these are sequentially consistent,
// so either the raiser sees the sleeper and wakes it (for a group, taking
// the mutex after the sleeper's registration), or the sleeper sees the new
// phase and does not sleep. A group that is freed, and perhaps reused,
// before its sleeper gets to sleep has a bumped word, so the sleeper's
// futex wait returns at once.
//
// Stopping (the phaser's abort): the aborter sets the abort error, then
// frees every group under the mutex, as a raise to INT32_MAX would; a
// sleeper tests the error under the mutex before joining a group, so it
// either sees it or is woken. A next-phase sleeper tests the error after
// announcing itself, but its word does not change, so the aborter wakes the
// word again until no next-phase sleeper is left: one that tested before
// the abort is either asleep and woken, or about to sleep and woken by a
// later round.
//
// More distinct phases awaited at once than the table holds: the waiter
// joins the group with the nearest lower target (and wakes early), or else
// lowers the nearest higher group's target to its own (whose waiters then
// wake early). Woken early, a waiter re-tests and sleeps again: the only
// cost is futile wake-ups.
#include "internal/wait_list.h"

#include "internal/clock.h"
#include "internal/futex.h"

#include <algorithm>
#include <cerrno>
#include <new>

#include <sched.h>
#include <time.h>

namespace zel_detail {

size_t wait_list::capacity_for(int32_t participants) {
  constexpr int32_t most_participant_groups = 1024;
  constexpr size_t observer_groups = 8;
  return static_cast<size_t>(std::min(participants, most_participant_groups)) + observer_groups;
}

void wait_list::init(group *storage, size_t capacity, pthread_mutex_t *mutex,
                     const phase_word *word, const std::atomic<int> *abort_error) {
  groups_ = storage;
  capacity_ = capacity;
  mutex_ = mutex;
  word_ = word;
  abort_error_ = abort_error;
  for (size_t i = 0; i < capacity; ++i) new (&groups_[i]) group{free_target, {0}};
}

bool wait_list::stopped() const {
  return abort_error_->load(std::memory_order_seq_cst) > 0;
}

wait_list::group *wait_list::join(int32_t target) {
  group *free_slot = nullptr, *below = nullptr, *above = nullptr;
  for (size_t i = 0; i < used_; ++i) {
    group *g = &groups_[i];
    if (g->target == target) return g;
    if (g->target == free_target) {
      if (free_slot == nullptr) free_slot = g;
    } else if (g->target < target) {
      if (below == nullptr || g->target > below->target) below = g;
    } else if (above == nullptr || g->target < above->target) {
      above = g;
    }
  }
  if (free_slot == nullptr && used_ < capacity_) free_slot = &groups_[used_++];
  if (free_slot != nullptr) {
    free_slot->target = target;
    return free_slot;
  }
  if (below != nullptr) return below;
  above->target = target;
  return above;
}

int wait_list::sleep_until(int32_t target, const timespec *deadline) {
  for (;;) {
    const int32_t seen = phase_in(word_->load(std::memory_order_seq_cst));
    if (seen >= target || stopped()) return 0;
    const int rc =
        seen == target - 1 ? sleep_on_next(seen, deadline) : sleep_in_group(target, deadline);
    if (phase_in(word_->load(std::memory_order_acquire)) >= target) return 0;
    if (rc == ETIMEDOUT) return ETIMEDOUT;
    if (rc != 0) return doze_until(target, deadline);
  }
}

int wait_list::sleep_on_next(int32_t seen, const timespec *deadline) {
  next_sleepers_.fetch_add(1, std::memory_order_seq_cst);
  const int rc = phase_in(word_->load(std::memory_order_seq_cst)) == seen && !stopped()
                     ? futex_wait(word_, seen, deadline)
                     : 0;
  next_sleepers_.fetch_sub(1, std::memory_order_relaxed);
  return rc;
}

int wait_list::sleep_in_group(int32_t target, const timespec *deadline) {
  pthread_mutex_lock(mutex_);
  if (phase_in(word_->load(std::memory_order_relaxed)) >= target || stopped()) {
    pthread_mutex_unlock(mutex_);
    return 0;
  }
  group *g = join(target);
  const int32_t word = g->word.load(std::memory_order_relaxed);
  lowest_.store(std::min(lowest_.load(std::memory_order_relaxed), g->target),
                std::memory_order_seq_cst);
  pthread_mutex_unlock(mutex_);

  if (phase_in(word_->load(std::memory_order_seq_cst)) >= target) return 0;
  return futex_wait(&g->word, word, deadline);
}

// Looks at the phase every millisecond until it reaches `target`, the run is
// aborted or the deadline passes: the way to wait when the kernel refuses to
// sleep on a futex word (it does not for a valid word and deadline).
int wait_list::doze_until(int32_t target, const timespec *deadline) const {
  for (;;) {
    if (phase_in(word_->load(std::memory_order_acquire)) >= target || stopped()) return 0;
    if (deadline != nullptr && passed(*deadline)) return ETIMEDOUT;
    const timespec millisecond{0, 1000000};
    nanosleep(&millisecond, nullptr);
  }
}

void wait_list::wake_reached() {
  if (next_sleepers_.load(std::memory_order_seq_cst) > 0) {
    note_wake();
    futex_wake_all(word_);
  }
  if (lowest_.load(std::memory_order_seq_cst) > phase_in(word_->load(std::memory_order_relaxed)))
    return;
  note_wake();
  pthread_mutex_lock(mutex_);
  release_groups_upto(phase_in(word_->load(std::memory_order_relaxed)));
  pthread_mutex_unlock(mutex_);
}

void wait_list::note_wake() {
  last_wake_ns_.store(monotonic_ns(), std::memory_order_relaxed);
  last_wake_cpu_.store(sched_getcpu(), std::memory_order_relaxed);
}

void wait_list::wake_all() {
  pthread_mutex_lock(mutex_);
  release_groups_upto(INT32_MAX);
  pthread_mutex_unlock(mutex_);
  while (next_sleepers_.load(std::memory_order_seq_cst) > 0) {
    futex_wake_all(word_);
    sched_yield();
  }
}

void wait_list::release_groups_upto(int32_t upto) {
  int32_t lowest = INT32_MAX;
  for (size_t i = 0; i < used_; ++i) {
    group *g = &groups_[i];
    if (g->target == free_target) continue;
    if (g->target > upto) {
      lowest = std::min(lowest, g->target);
      continue;
    }
    g->target = free_target;
    g->word.fetch_add(1, std::memory_order_relaxed);
    futex_wake_all(&g->word);
  }
  while (used_ > 0 && groups_[used_ - 1].target == free_target) --used_;
  lowest_.store(lowest, std::memory_order_seq_cst);
}

}  // namespace zel_detail
