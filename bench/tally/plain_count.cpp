// The plain counting loop, built at -O3 for the baseline instruction set in a
// library that includes none of the project's headers.
#include "plain_count.h"

std::int32_t plain_count(const std::int32_t *p, std::int32_t n, std::int32_t value) {
  std::int32_t count = 0;
  for (std::int32_t i = 0; i < n; i++)
    if (p[i] == value) count++;
  return count;
}
