// CLOCK_MONOTONIC readings and absolute deadlines. Internal to the phaser.
#ifndef ZEL_PHASER_INTERNAL_CLOCK_H
#define ZEL_PHASER_INTERNAL_CLOCK_H

#include <cstdint>
#include <ctime>

namespace zel_detail {

constexpr int64_t ns_per_s = 1000000000;

// `t` in nanoseconds; a time past what 64 bits of nanoseconds hold gives
// INT64_MAX. `t.tv_sec` must not be negative.
inline int64_t ns_of(const timespec &t) {
  if (t.tv_sec >= INT64_MAX / ns_per_s) return INT64_MAX;
  return static_cast<int64_t>(t.tv_sec) * ns_per_s + t.tv_nsec;
}

inline int64_t monotonic_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return ns_of(now);
}

// Whether the absolute CLOCK_MONOTONIC `deadline` has passed; one before the
// clock's origin (negative tv_sec) has.
inline bool passed(const timespec &deadline) {
  return deadline.tv_sec < 0 || monotonic_ns() >= ns_of(deadline);
}

}  // namespace zel_detail

#endif  // ZEL_PHASER_INTERNAL_CLOCK_H
