// The phaser's sleeping waiters: see wait_list.h for the design.
#include "wait_list.h"

#include "futex.h"

#include <algorithm>
#include <cerrno>
#include <new>

#include <sched.h>
#include <time.h>

namespace zel_detail {

namespace {

// Looks at `released` every millisecond until it reaches `target`, `stop`
// is set or the deadline passes: the way to wait when the kernel refuses to sleep on a
// futex word (it does not for a valid word and deadline).
int doze_until(const released_word &released, int32_t target, const timespec *deadline,
               const std::atomic<int> &stop) {
  for (;;) {
    if (released_phase(released.load(std::memory_order_acquire)) >= target || stop.load() != 0)
      return 0;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (deadline != nullptr &&
        (now.tv_sec > deadline->tv_sec ||
         (now.tv_sec == deadline->tv_sec && now.tv_nsec >= deadline->tv_nsec))) {
      return ETIMEDOUT;
    }
    const timespec millisecond{0, 1000000};
    nanosleep(&millisecond, nullptr);
  }
}

}  // namespace

size_t wait_list::capacity_for(int32_t participants) {
  constexpr int32_t most_participant_groups = 1024;
  constexpr size_t observer_groups = 8;
  return static_cast<size_t>(std::min(participants, most_participant_groups)) + observer_groups;
}

void wait_list::init(group *storage, size_t capacity) {
  groups_ = storage;
  capacity_ = capacity;
  for (size_t i = 0; i < capacity; ++i) new (&groups_[i]) group{free_target, {0}};
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

int wait_list::sleep_until(pthread_mutex_t *mutex, released_word &released, int32_t target,
                           const timespec *deadline, const std::atomic<int> &stop) {
  for (;;) {
    const int32_t seen = released_phase(released.load(std::memory_order_seq_cst));
    if (seen >= target || stop.load(std::memory_order_seq_cst) != 0) return 0;
    const int rc = seen == target - 1 ? sleep_on_next(released, seen, deadline, stop)
                                      : sleep_in_group(mutex, released, target, deadline, stop);
    if (released_phase(released.load(std::memory_order_acquire)) >= target) return 0;
    if (rc == ETIMEDOUT) return ETIMEDOUT;
    if (rc != 0) return doze_until(released, target, deadline, stop);
  }
}

int wait_list::sleep_on_next(released_word &released, int32_t seen, const timespec *deadline,
                             const std::atomic<int> &stop) {
  next_sleepers_.fetch_add(1, std::memory_order_seq_cst);
  const int rc = released_phase(released.load(std::memory_order_seq_cst)) == seen &&
                         stop.load(std::memory_order_seq_cst) == 0
                     ? futex_wait(&released, seen, deadline)
                     : 0;
  next_sleepers_.fetch_sub(1, std::memory_order_relaxed);
  return rc;
}

int wait_list::sleep_in_group(pthread_mutex_t *mutex, const released_word &released, int32_t target,
                              const timespec *deadline, const std::atomic<int> &stop) {
  pthread_mutex_lock(mutex);
  if (released_phase(released.load(std::memory_order_relaxed)) >= target ||
      stop.load(std::memory_order_relaxed) != 0) {
    pthread_mutex_unlock(mutex);
    return 0;
  }
  group *g = join(target);
  const int32_t word = g->word.load(std::memory_order_relaxed);
  lowest_.store(std::min(lowest_.load(std::memory_order_relaxed), g->target),
                std::memory_order_seq_cst);
  pthread_mutex_unlock(mutex);

  if (released_phase(released.load(std::memory_order_seq_cst)) >= target) return 0;
  return futex_wait(&g->word, word, deadline);
}

void wait_list::wake_reached(pthread_mutex_t *mutex, released_word &released) {
  if (next_sleepers_.load(std::memory_order_seq_cst) > 0) futex_wake_all(&released);
  if (lowest_.load(std::memory_order_seq_cst) >
      released_phase(released.load(std::memory_order_relaxed)))
    return;
  pthread_mutex_lock(mutex);
  release_groups_upto(released_phase(released.load(std::memory_order_relaxed)));
  pthread_mutex_unlock(mutex);
}

void wait_list::wake_all(pthread_mutex_t *mutex, released_word &released) {
  pthread_mutex_lock(mutex);
  release_groups_upto(INT32_MAX);
  pthread_mutex_unlock(mutex);
  while (next_sleepers_.load(std::memory_order_seq_cst) > 0) {
    futex_wake_all(&released);
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
