// forktally's process workers and the collection of their records.
//
// A child never returns into the parent's code: it ends with _exit, so it
// neither flushes the parent's stdio buffers a second time nor runs exit
// handlers. Reads and writes of the record loop over EINTR and partial
// transfers; a record is trusted only when all 4 bytes arrived and the
// count lies within 0..slice length.
#include "pipeworkers.h"

#include "workload.h"

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

int launchWorker(std::int32_t first, std::int32_t length) {
  int fds[2];
  if (pipe(fds) != 0) {
    std::perror("pipe");
    return -1;
  }
  const pid_t pid = fork();
  if (pid < 0) {
    std::perror("fork");
    close(fds[0]);
    close(fds[1]);
    return -1;
  }
  if (pid == 0) {
    close(fds[0]);
    const bool sent = write_record(fds[1], docount(first, length));
    _exit(sent ? 0 : 1);
  }
  close(fds[1]);
  return fds[0];
}

bool collect_record(int fd, std::int32_t p, std::int32_t length, std::int32_t *count) {
  unsigned char buf[record_size];
  std::size_t got = 0;
  while (got < record_size) {
    const ssize_t n = read(fd, buf + got, record_size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      std::fprintf(stderr, "forktally: worker %d: read: %s\n", p, std::strerror(errno));
      return false;
    }
    if (n == 0) {
      std::fprintf(stderr,
                   "forktally: worker %d: ended without sending its count "
                   "(%zu of %zu bytes)\n",
                   p, got, record_size);
      return false;
    }
    got += static_cast<std::size_t>(n);
  }
  std::int32_t value;
  std::memcpy(&value, buf, record_size);
  if (value < 0 || value > length) {
    std::fprintf(stderr, "forktally: worker %d: count %d outside 0..%d\n", p, value, length);
    return false;
  }
  *count = value;
  return true;
}
