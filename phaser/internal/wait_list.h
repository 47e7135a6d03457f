// The phaser's sleeping waiters, grouped by the phase they wait for.
// Internal to the phaser; the design and its proof are in wait_list.cpp.
#ifndef ZEL_PHASER_INTERNAL_WAIT_LIST_H
#define ZEL_PHASER_INTERNAL_WAIT_LIST_H

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>

namespace zel_detail {

// The phaser's word: its low 32 bits are the current phase, and the futex
// word on which next-phase waiters sleep; its high 32 bits belong to the
// phaser.
using phase_word = std::atomic<uint64_t>;
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ && phase_word::is_always_lock_free,
              "the low half of the phase word must be its first four bytes");

inline int32_t phase_in(uint64_t word) {
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

  // Takes `capacity` groups of raw storage and the phaser's mutex, which
  // guards the groups, its word and its abort error (positive once the run
  // was aborted); all must outlive every other call.
  void init(group *storage, size_t capacity, pthread_mutex_t *mutex, const phase_word *word,
            const std::atomic<int> *abort_error);

  // Sleeps until the current phase reaches `target`, the run is aborted or
  // the absolute CLOCK_MONOTONIC `deadline` (null: none) passes. Returns 0
  // or ETIMEDOUT.
  int sleep_until(int32_t target, const timespec *deadline);

  // Called after the current phase was raised: wakes every sleeper whose
  // target it has reached. Takes the mutex and makes system calls only if
  // there is one.
  void wake_reached();

  // Called after the run was aborted: wakes every sleeper, and returns once
  // none is left on the phaser's word.
  void wake_all();

  // When wake_reached last woke a sleeper (CLOCK_MONOTONIC), and on which CPU.
  int64_t last_wake_ns() const { return last_wake_ns_.load(std::memory_order_relaxed); }
  int last_wake_cpu() const { return last_wake_cpu_.load(std::memory_order_relaxed); }

 private:
  static constexpr int32_t free_target = INT32_MIN;

  bool stopped() const;
  void note_wake();
  int sleep_on_next(int32_t seen, const timespec *deadline);
  int sleep_in_group(int32_t target, const timespec *deadline);
  int doze_until(int32_t target, const timespec *deadline) const;
  group *join(int32_t target);             // with the mutex held
  void release_groups_upto(int32_t upto);  // with the mutex held

  std::atomic<int64_t> last_wake_ns_{0};
  std::atomic<int> last_wake_cpu_{-1};
  std::atomic<int32_t> next_sleepers_{0};
  std::atomic<int32_t> lowest_{INT32_MAX};
  pthread_mutex_t *mutex_ = nullptr;
  const phase_word *word_ = nullptr;
  const std::atomic<int> *abort_error_ = nullptr;
  group *groups_ = nullptr;
  size_t capacity_ = 0;
  size_t used_ = 0;  // groups_[used_, capacity_) are free; guarded by the mutex
};

}  // namespace zel_detail

#endif  // ZEL_PHASER_INTERNAL_WAIT_LIST_H
