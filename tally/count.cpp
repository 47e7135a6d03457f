// The counting kernel: compares 16 elements at a time as one GCC generic
// vector, which the compiler lowers to one AVX-512, two AVX2 or four SSE2
// operations. WORKLOAD_CLONES builds all three and the loader picks the best
// for the CPU, so the default build stays portable. Each lane counts at most
// n / 16 matches, so the int32 lanes cannot overflow.
#include "clones.h"
#include "workload.h"

#include <cstring>

namespace {

typedef std::int32_t lanes_t __attribute__((vector_size(64)));
constexpr std::int32_t lane_count = sizeof(lanes_t) / sizeof(std::int32_t);

}  // namespace

WORKLOAD_CLONES
std::int32_t workload_count(const std::int32_t *p, std::int32_t n, std::int32_t value) {
  lanes_t target = {};
  target += value;
  lanes_t matches = {};
  std::int32_t i = 0;
  for (; n - i >= lane_count; i += lane_count) {
    lanes_t x;
    std::memcpy(&x, p + i, sizeof x);
    matches -= x == target;  // a match compares as -1
  }
  std::int32_t count = 0;
  for (std::int32_t lane = 0; lane < lane_count; lane++) count += matches[lane];
  for (; i < n; i++) count += p[i] == value;
  return count;
}
