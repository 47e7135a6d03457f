// Unit tests of forktally's process workers on a small array: real children
// over real pipes, and children that end before their record is complete.
#include "pipeworkers.h"
#include "workload.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Workers : ::testing::Test {
  void SetUp() override { ASSERT_TRUE(workload_fill(10007)); }
  void TearDown() override {
    std::free(array);
    array = nullptr;
  }
};

int reap_one() {
  int status = 0;
  EXPECT_GT(wait(&status), 0);
  return status;
}

TEST_F(Workers, EachChildSendsTheCountOfItsSlice) {
  constexpr std::int32_t workers = 7;
  std::int32_t total = 0;
  for (std::int32_t p = 0; p < workers; p++) {
    const slice_t s = workload_slice(10007, workers, p);
    const int fd = launchWorker(s.first, s.length);
    ASSERT_GE(fd, 0);
    std::int32_t count = -1;
    ASSERT_TRUE(collect_record(fd, p, s.length, &count));
    EXPECT_EQ(count, workload_scan(s.first, s.length));
    total += count;
    close(fd);
    const int status = reap_one();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(total, workload_scan(0, 10007));
}

// Forks a child that writes `bytes` bytes of `record` into a pipe and ends;
// returns the read end.
int child_writing(std::int32_t record, std::size_t bytes) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    unsigned char buf[4];
    std::memcpy(buf, &record, 4);
    const ssize_t n = write(fds[1], buf, bytes);
    _exit(n == static_cast<ssize_t>(bytes) ? 0 : 1);
  }
  close(fds[1]);
  return pid < 0 ? -1 : fds[0];
}

// Collects one record from a child and returns what it said on stderr.
std::string collect_failure(int fd, std::int32_t p, std::int32_t length) {
  std::int32_t count = 12345;
  testing::internal::CaptureStderr();
  const bool ok = collect_record(fd, p, length, &count);
  std::string err = testing::internal::GetCapturedStderr();
  close(fd);
  reap_one();
  EXPECT_FALSE(ok);
  EXPECT_EQ(count, 12345) << "a failed collection must not hand out a count";
  return err;
}

TEST(CollectRecord, RefusesRecordsThatAreShortOrOutOfRange) {
  EXPECT_EQ(collect_failure(child_writing(5, 0), 2, 100),
            "forktally: worker 2: ended without sending its count (0 of 4 bytes)\n");
  EXPECT_EQ(collect_failure(child_writing(5, 3), 0, 100),
            "forktally: worker 0: ended without sending its count (3 of 4 bytes)\n");
  EXPECT_EQ(collect_failure(child_writing(101, 4), 4, 100),
            "forktally: worker 4: count 101 outside 0..100\n");
  EXPECT_EQ(collect_failure(child_writing(-1, 4), 1, 100),
            "forktally: worker 1: count -1 outside 0..100\n");
}

TEST(CollectRecord, AcceptsTheBoundsOfTheSlice) {
  for (std::int32_t value : {0, 100}) {
    const int fd = child_writing(value, 4);
    ASSERT_GE(fd, 0);
    std::int32_t count = -1;
    EXPECT_TRUE(collect_record(fd, 0, 100, &count));
    EXPECT_EQ(count, value);
    close(fd);
    reap_one();
  }
}

}  // namespace
