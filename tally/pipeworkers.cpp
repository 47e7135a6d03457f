// forktally's process workers and the collection of their records.
//
// A child never returns into the parent's code: it ends with _exit, so it
// neither flushes the parent's stdio buffers a second time nor runs exit
// handlers. Reads and writes of the record loop over EINTR and partial
// transfers; a record is trusted only when all 4 bytes arrived and the
// count lies within 0..slice length.
//
// The parent closes each write end right after the fork, so a later child
// never holds an earlier child's write end and a child that dies is seen as
// end of file at once. A process id is signalled only while its child is
// unreaped, so it cannot name another process.
//
// A child never outlives its parent: it asks the kernel for SIGKILL when the
// thread that forked it ends, and then checks that its parent is still the
// process that forked it. If the parent died before the request took
// effect, the child has been given to another parent already and ends at
// once; if it dies afterwards, the kernel kills the child.
//
// The descriptors already open are counted from /proc/self/fd, or, where
// that cannot be read, by asking fcntl about each number below the soft
// limit, stopping once the numbers found free leave room for the pipes
// (descriptors.cpp).
#include "pipeworkers.h"

#include "internal/descriptors.h"
#include "workload.h"

#include <err.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::size_t record_size = sizeof(std::int32_t);

// Writes the whole record; false if the pipe refuses it.
bool write_record(int fd, std::int32_t count) {
  unsigned char buf[record_size];
  std::memcpy(buf, &count, record_size);
  std::size_t done = 0;
  while (done < record_size) {
    const ssize_t n = write(fd, buf + done, record_size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

std::int32_t docount(std::int32_t first, std::int32_t length) {
  return workload_scan(first, length);
}

bool reserve_descriptors(std::int32_t workers) {
  rlimit lim{};
  if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return true;  // pipe() reports what goes wrong
  if (lim.rlim_cur == RLIM_INFINITY) return true;
  const long long room = static_cast<long long>(workers) + 1;
  long long open = descriptors_listed();
  if (open < 0) open = descriptors_probed(static_cast<long long>(lim.rlim_cur), room);
  const long long need = open + room;
  const auto want = static_cast<rlim_t>(need);
  if (want <= lim.rlim_cur) return true;
  rlim_t limit = lim.rlim_cur;
  if (lim.rlim_max == RLIM_INFINITY || want <= lim.rlim_max) {
    // A little headroom for descriptors the C library or a sanitizer's
    // runtime opens for a moment, within the hard limit.
    rlimit raised = lim;
    raised.rlim_cur = want + 16;
    if (lim.rlim_max != RLIM_INFINITY && raised.rlim_cur > lim.rlim_max)
      raised.rlim_cur = lim.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) return true;
  } else {
    limit = lim.rlim_max;
  }
  warnx("%d workers need %lld file descriptors; the limit is %llu", workers, need,
        static_cast<unsigned long long>(limit));
  return false;
}

int launchWorker(std::int32_t first, std::int32_t length, pid_t *child) {
  int fds[2];
  if (pipe(fds) != 0) {
    std::perror("pipe");
    return -1;
  }
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) {
    std::perror("fork");
    close(fds[0]);
    close(fds[1]);
    return -1;
  }
  if (pid == 0) {
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) _exit(1);
    close(fds[0]);
    const bool sent = write_record(fds[1], docount(first, length));
    _exit(sent ? 0 : 1);
  }
  close(fds[1]);
  *child = pid;
  return fds[0];
}

bool collect_record(int fd, std::int32_t p, std::int32_t length, std::int32_t *count) {
  unsigned char buf[record_size];
  std::size_t got = 0;
  while (got < record_size) {
    const ssize_t n = read(fd, buf + got, record_size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      warn("worker %d: read", p);
      return false;
    }
    if (n == 0) {
      warnx("worker %d: ended without sending its count (%zu of %zu bytes)", p, got, record_size);
      return false;
    }
    got += static_cast<std::size_t>(n);
  }
  std::int32_t value;
  std::memcpy(&value, buf, record_size);
  if (value < 0 || value > length) {
    warnx("worker %d: count %d outside 0..%d", p, value, length);
    return false;
  }
  *count = value;
  return true;
}

void stop_workers(const pid_t *children, std::int32_t n) {
  // Every child is signalled before the first wait, so they all die at once
  // rather than one after another.
  for (std::int32_t p = 0; p < n; p++) kill(children[p], SIGKILL);
  for (std::int32_t p = 0; p < n; p++)
    while (waitpid(children[p], nullptr, 0) < 0 && errno == EINTR) {
    }
}
