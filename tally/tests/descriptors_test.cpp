// Unit tests of the descriptor count of forktally's process workers: the
// probe against what /proc lists.
#include "internal/descriptors.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

TEST(OpenDescriptors, ProbingCountsWhatProcListsAndStopsWhenThereIsRoom) {
  const long long before = descriptors_listed();
  if (before < 0) GTEST_SKIP() << "/proc/self/fd cannot be read";
  // Thirty more, half of them close-on-exec, which fcntl reports as a flag,
  // and a free number among them.
  int extra[31];
  for (int i = 0; i < 31; i++) {
    extra[i] = open("/dev/null", O_RDONLY | (i % 2 ? O_CLOEXEC : 0));
    ASSERT_GE(extra[i], 0) << std::strerror(errno);
  }
  close(extra[15]);
  extra[15] = -1;
  const int first_free = open("/dev/null", O_RDONLY);
  ASSERT_GE(first_free, 0);
  close(first_free);
  const int highest = *std::max_element(extra, extra + 31);
  ASSERT_LT(first_free, highest);

  rlimit lim{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
  const auto soft = static_cast<long long>(std::min<rlim_t>(lim.rlim_cur, 1 << 20));
  EXPECT_EQ(descriptors_listed(), before + 30);
  EXPECT_EQ(descriptors_probed(soft, soft), before + 30);
  EXPECT_EQ(descriptors_probed(highest, soft), descriptors_probed(highest + 1, soft) - 1)
      << "counted at the limit";
  // Room for one: the probe stops at the lowest free number, below which
  // every number is open.
  EXPECT_EQ(descriptors_probed(soft, 1), first_free);
  for (int fd : extra)
    if (fd >= 0) close(fd);
}

}  // namespace
