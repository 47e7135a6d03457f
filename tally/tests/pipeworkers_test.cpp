// Unit tests of forktally's process workers on a small array: real children
// over real pipes, children that end before their record is complete,
// children ended by the parent, and the descriptor limit.
#include "pipeworkers.h"
#include "workload.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "small_workload.h"

namespace {

struct Workers : SmallWorkload {};

// What warn(3) puts before every message of the workers.
std::string prefixed(const std::string &message) {
  return std::string(program_invocation_short_name) + ": " + message;
}

int reap(pid_t pid) {
  int status = 0;
  EXPECT_EQ(waitpid(pid, &status, 0), pid);
  return status;
}

// Whether pid is a child of this process that has not been reaped yet.
bool unreaped_child(pid_t pid) {
  siginfo_t info{};
  return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0;
}

TEST_F(Workers, EachChildSendsTheCountOfItsSlice) {
  constexpr std::int32_t workers = 7;
  std::int32_t total = 0;
  for (std::int32_t p = 0; p < workers; p++) {
    const slice_t s = workload_slice(small_size, workers, p);
    pid_t child = -1;
    const int fd = launchWorker(s.first, s.length, &child);
    ASSERT_GE(fd, 0);
    ASSERT_GT(child, 0);
    std::int32_t count = -1;
    ASSERT_TRUE(collect_record(fd, p, s.length, &count));
    EXPECT_EQ(count, workload_scan(s.first, s.length));
    total += count;
    close(fd);
    const int status = reap(child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(total, workload_scan(0, small_size));
}

// Forks a child that writes `bytes` bytes of `record` into a pipe and ends;
// returns the read end.
int child_writing(std::int32_t record, std::size_t bytes, pid_t *child) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  const pid_t pid = fork();
  *child = pid;
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
std::string collect_failure(std::int32_t record, std::size_t bytes, std::int32_t p,
                            std::int32_t length) {
  pid_t child = -1;
  const int fd = child_writing(record, bytes, &child);
  std::int32_t count = 12345;
  testing::internal::CaptureStderr();
  const bool ok = collect_record(fd, p, length, &count);
  std::string err = testing::internal::GetCapturedStderr();
  close(fd);
  reap(child);
  EXPECT_FALSE(ok);
  EXPECT_EQ(count, 12345) << "a failed collection must not hand out a count";
  return err;
}

TEST(CollectRecord, RefusesRecordsThatAreShortOrOutOfRange) {
  EXPECT_EQ(collect_failure(5, 0, 2, 100),
            prefixed("worker 2: ended without sending its count (0 of 4 bytes)\n"));
  EXPECT_EQ(collect_failure(5, 3, 0, 100),
            prefixed("worker 0: ended without sending its count (3 of 4 bytes)\n"));
  EXPECT_EQ(collect_failure(101, 4, 4, 100), prefixed("worker 4: count 101 outside 0..100\n"));
  EXPECT_EQ(collect_failure(-1, 4, 1, 100), prefixed("worker 1: count -1 outside 0..100\n"));
}

TEST(CollectRecord, AcceptsTheBoundsOfTheSlice) {
  for (std::int32_t value : {0, 100}) {
    pid_t child = -1;
    const int fd = child_writing(value, 4, &child);
    ASSERT_GE(fd, 0);
    std::int32_t count = -1;
    EXPECT_TRUE(collect_record(fd, 0, 100, &count));
    EXPECT_EQ(count, value);
    close(fd);
    reap(child);
  }
}

// A child that runs until it is killed.
pid_t child_waiting_forever() {
  const pid_t pid = fork();
  if (pid == 0) {
    for (;;) pause();
  }
  return pid;
}

TEST_F(Workers, StoppingWorkersKillsAndReapsEveryChildStarted) {
  // Running children, one that has already ended, and a real worker whose
  // record was never read: none may be left, not even as a zombie.
  pid_t children[4];
  children[0] = child_waiting_forever();
  pid_t ended = -1;
  const int ended_fd = child_writing(7, 4, &ended);
  children[1] = ended;
  const slice_t s = workload_slice(small_size, 2, 1);
  const int worker_fd = launchWorker(s.first, s.length, &children[2]);
  children[3] = child_waiting_forever();
  for (pid_t pid : children) ASSERT_GT(pid, 0);
  ASSERT_GE(ended_fd, 0);
  ASSERT_GE(worker_fd, 0);
  std::int32_t count = -1;
  ASSERT_TRUE(collect_record(ended_fd, 1, 100, &count));  // child 1 is ending
  const pid_t bystander = child_waiting_forever();        // not among those stopped
  ASSERT_GT(bystander, 0);

  // Watchdog: if stop_workers waits without killing, kill the children for
  // it after a while, so that the test fails instead of hanging.
  std::mutex m;
  std::condition_variable cv;
  bool returned = false, rescued = false;
  std::thread watchdog([&] {
    std::unique_lock<std::mutex> lock(m);
    if (!cv.wait_for(lock, std::chrono::seconds(20), [&] { return returned; })) {
      rescued = true;
      for (pid_t pid : children) kill(pid, SIGKILL);
    }
  });
  stop_workers(children, 4);
  {
    std::lock_guard<std::mutex> lock(m);
    returned = true;
  }
  cv.notify_one();
  watchdog.join();

  EXPECT_FALSE(rescued) << "stop_workers waited for children it had not killed";
  for (pid_t pid : children) EXPECT_FALSE(unreaped_child(pid)) << "child " << pid << " is left";
  EXPECT_TRUE(unreaped_child(bystander)) << "a child not listed was stopped";
  kill(bystander, SIGKILL);
  reap(bystander);
  close(ended_fd);
  close(worker_fd);
}

// Sets the soft descriptor limit for one test and puts it back afterwards.
struct DescriptorLimit : ::testing::Test {
  rlimit saved{};
  void SetUp() override { ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0); }
  void TearDown() override { EXPECT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0); }
  void set_soft(rlim_t soft) {
    rlimit lim = saved;
    lim.rlim_cur = soft;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lim), 0);
  }
  rlim_t soft() const {
    rlimit lim{};
    EXPECT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
    return lim.rlim_cur;
  }
};

TEST_F(DescriptorLimit, ALowSoftLimitIsRaisedTowardTheHardLimit) {
  if (saved.rlim_max != RLIM_INFINITY && saved.rlim_max < 300) GTEST_SKIP() << "hard limit too low";
  set_soft(64);
  ASSERT_TRUE(reserve_descriptors(200));
  EXPECT_GE(soft(), 200u + 4u);
  EXPECT_TRUE(saved.rlim_max == RLIM_INFINITY || soft() <= saved.rlim_max);

  // The raised limit really holds the pipes of 200 workers.
  int fds[200][2];
  int made = 0;
  while (made < 200 && pipe(fds[made]) == 0) {
    close(fds[made][1]);
    made++;
  }
  EXPECT_EQ(made, 200) << std::strerror(errno);
  for (int i = 0; i < made; i++) close(fds[i][0]);
}

TEST_F(DescriptorLimit, ASufficientSoftLimitIsLeftAsItIs) {
  if (saved.rlim_max != RLIM_INFINITY && saved.rlim_max < 512) GTEST_SKIP() << "hard limit too low";
  set_soft(512);
  testing::internal::CaptureStderr();
  EXPECT_TRUE(reserve_descriptors(100));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(soft(), 512u);
}

TEST(DescriptorHardLimit, AHardLimitTooLowIsNamedAndNothingIsRaised) {
  // Lowering a hard limit cannot be undone without privilege: in a child.
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(out[0]);
    dup2(out[1], 2);
    close(out[1]);
    const rlimit lim{20, 50};
    if (setrlimit(RLIMIT_NOFILE, &lim) != 0) _exit(3);
    const bool ok = reserve_descriptors(100);
    rlimit now{};
    getrlimit(RLIMIT_NOFILE, &now);
    _exit(ok ? 2 : now.rlim_cur == 20 ? 1 : 4);
  }
  close(out[1]);
  std::string err;
  char buf[256];
  for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;)
    err.append(buf, static_cast<std::size_t>(n));
  close(out[0]);
  const int status = reap(pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1) << "2: accepted, 4: soft limit changed";
  // The child holds its standard streams and whatever the test runner left
  // open: at least 3 beside the 100 read ends and one write end.
  const std::string head = prefixed("100 workers need ");
  const std::string tail = " file descriptors; the limit is 50\n";
  ASSERT_GT(err.size(), head.size() + tail.size()) << err;
  EXPECT_EQ(err.substr(0, head.size()), head) << err;
  EXPECT_EQ(err.substr(err.size() - tail.size()), tail) << err;
  EXPECT_GE(std::atoi(err.c_str() + head.size()), 104) << err;
}

}  // namespace
