// The unit tests' workload: 10,007 elements (no multiple of any vector
// width), filled by workload_fill once per process and, like the programs',
// never freed.
#pragma once

#include <gtest/gtest.h>

#include "workload.h"

inline constexpr std::int32_t small_size = 10007;

struct SmallWorkload : ::testing::Test {
  void SetUp() override {
    if (array == nullptr) {
      ASSERT_TRUE(workload_fill(small_size, workload_use_forks));
    }
  }
};
