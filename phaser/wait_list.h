// The phaser's sleeping waiters, grouped by the phase they wait for.
// Internal to the phaser.
//
// Design: a waiter that has spun in vain sleeps on a futex word chosen by
// its target phase, so that a raise of the released phase wakes exactly the
// waiters whose target it reaches:
//  - a waiter for the very next phase (target == released + 1, a barrier's
//    and the demonstration's case) sleeps on the released word itself,
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
// or stores `lowest_`), then reads the released phase, and sleeps only
// while its word still holds what it expects; a raiser stores the released
// phase, then reads both announcements. All of these are sequentially
// consistent, so either the raiser sees the sleeper and wakes it (for a
// group, taking the mutex after the sleeper's registration), or the sleeper
// sees the new phase and does not sleep. A group that is freed, and perhaps
// reused, before its sleeper gets to sleep has a bumped word, so the
// sleeper's futex wait returns at once.
//
// Stopping (the phaser's abort): the stopper sets `stop`, then frees every
// group under the mutex, as a raise to INT32_MAX would; a sleeper tests
// `stop` under the mutex before joining a group, so it either sees it or is
// woken. A next-phase sleeper tests `stop` after announcing itself, but its
// word does not change, so the stopper wakes the released word again until
// no next-phase sleeper is left: one that tested before the stop is either
// asleep and woken, or about to sleep and woken by a later round.
//
// More distinct phases awaited at once than the table holds: the waiter
// joins the group with the nearest lower target (and wakes early), or else
// lowers the nearest higher group's target to its own (whose waiters then
// wake early). Woken early, a waiter re-tests and sleeps again: the only
// cost is futile wake-ups.
#ifndef ZEL_PHASER_WAIT_LIST_H
#define ZEL_PHASER_WAIT_LIST_H

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>

namespace zel_detail {

// The released phase as the phaser publishes it: a 64-bit word whose low 32
// bits are the phase, the futex word on which next-phase waiters sleep, and
// whose high 32 bits belong to the phaser.
using released_word = std::atomic<uint64_t>;
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ && released_word::is_always_lock_free,
              "the low half of the released word must be its first four bytes");

inline int32_t released_phase(uint64_t word) {
  return static_cast<int32_t>(static_cast<uint32_t>(word));
}

class wait_list {
 public:
  struct group {
    int32_t target;             // guarded by the mutex; free_target when unused
    std::atomic<int32_t> word;  // futex word, bumped when the group is released
  };

  // Number of groups to allocate for a phaser of `participants`: one per
  // participant up to a bound, and a few for threads that only observe.
  static size_t capacity_for(int32_t participants);

  // Takes `capacity` groups of raw storage, owned by the caller, which must
  // outlive every other call.
  void init(group *storage, size_t capacity);

  // Sleeps until `released` reaches `target`, `stop` is not 0, or the
  // absolute CLOCK_MONOTONIC `deadline` (null: none) passes. Returns 0 or
  // ETIMEDOUT. `mutex` guards the groups; it is held only while joining one.
  int sleep_until(pthread_mutex_t *mutex, released_word &released, int32_t target,
                  const timespec *deadline, const std::atomic<int> &stop);

  // Called after `released` was raised: wakes every group whose target it
  // has reached. Takes `mutex` and makes system calls only if there is one.
  void wake_reached(pthread_mutex_t *mutex, released_word &released);

  // Called after the `stop` of every sleep_until was set: wakes every
  // sleeper, and returns once none is left on `released`.
  void wake_all(pthread_mutex_t *mutex, released_word &released);

 private:
  static constexpr int32_t free_target = INT32_MIN;

  int sleep_on_next(released_word &released, int32_t seen, const timespec *deadline,
                    const std::atomic<int> &stop);
  int sleep_in_group(pthread_mutex_t *mutex, const released_word &released, int32_t target,
                     const timespec *deadline, const std::atomic<int> &stop);
  group *join(int32_t target);             // with the mutex held
  void release_groups_upto(int32_t upto);  // with the mutex held

  std::atomic<int32_t> next_sleepers_{0};
  std::atomic<int32_t> lowest_{INT32_MAX};
  group *groups_ = nullptr;
  size_t capacity_ = 0;
  size_t used_ = 0;  // groups_[used_, capacity_) are free; guarded by the mutex
};

}  // namespace zel_detail

#endif  // ZEL_PHASER_WAIT_LIST_H
