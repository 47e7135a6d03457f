// Blocking on a 32-bit atomic word with Linux futexes (private to the
// process). Internal to the phaser.
#ifndef ZEL_PHASER_INTERNAL_FUTEX_H
#define ZEL_PHASER_INTERNAL_FUTEX_H

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <ctime>

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace zel_detail {

static_assert(sizeof(std::atomic<int32_t>) == sizeof(int32_t) &&
                  std::atomic<int32_t>::is_always_lock_free,
              "a futex word must be a plain 32-bit integer");

// Sleeps while the 32-bit word at `word` == expected, until woken or until the absolute
// CLOCK_MONOTONIC time `deadline` (null: no limit; tv_nsec within
// [0, 999999999]). Returns 0 when woken, when the word differed or on a
// signal: the caller looks again, so it may return 0 spuriously. Returns
// ETIMEDOUT when the deadline has passed, also at once for a deadline before
// the clock's origin (negative tv_sec), which the kernel would refuse; any
// other error number when the kernel refused to sleep.
inline int futex_wait(const void *word, int32_t expected, const timespec *deadline) {
  if (deadline != nullptr && deadline->tv_sec < 0) return ETIMEDOUT;
  const long rc = syscall(SYS_futex, word, FUTEX_WAIT_BITSET_PRIVATE, expected, deadline, nullptr,
                          FUTEX_BITSET_MATCH_ANY);
  if (rc == 0 || errno == EAGAIN || errno == EINTR) return 0;
  return errno;
}

// Wakes every thread sleeping in futex_wait on the word at `word`.
inline void futex_wake_all(const void *word) {
  syscall(SYS_futex, word, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

}  // namespace zel_detail

#endif  // ZEL_PHASER_INTERNAL_FUTEX_H
