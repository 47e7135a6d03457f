// Reference kernels. read_all uses the same 16-lane generic vector and the
// same run-time choice of instruction set as the counting kernel, so the
// two differ only in the comparison.
#include "kernels.h"

#include "clones.h"

#include <cstring>

namespace {

typedef std::int32_t lanes_t __attribute__((vector_size(64)));
constexpr std::int32_t lane_count = sizeof(lanes_t) / sizeof(std::int32_t);

}  // namespace

WORKLOAD_CLONES
std::int32_t read_all(const std::int32_t *p, std::int32_t n) {
  lanes_t bits = {};
  std::int32_t i = 0;
  for (; n - i >= lane_count; i += lane_count) {
    lanes_t x;
    std::memcpy(&x, p + i, sizeof x);
    bits |= x;
  }
  std::int32_t all = 0;
  for (std::int32_t lane = 0; lane < lane_count; lane++) all |= bits[lane];
  for (; i < n; i++) all |= p[i];
  return all;
}

std::int32_t plain_count(const std::int32_t *p, std::int32_t n, std::int32_t value) {
  std::int32_t count = 0;
  for (std::int32_t i = 0; i < n; i++)
    if (p[i] == value) count++;
  return count;
}
