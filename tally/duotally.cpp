// duotally: counts the elements of the workload equal to 3 with two threads,
// one per half, and reports the count and the time from just before the
// first thread starts to the second join. Arguments are ignored.
//
// `size` and `tofind` are written before the threads start and only read
// afterwards; each thread keeps its count private and hands it back as its
// exit value, so `count` is written by main alone, after the joins.
//
// Failures are reported through err(3) and warn(3), prefixed with the
// invocation name's last component, or the program's own name where that
// is empty.
#include "workload.h"

#include <err.h>
#include <pthread.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>

namespace {

std::int32_t size = 0;
std::int32_t count = 0;

// Thread start routine: counts the `size` elements from `arg` on.
void *docount(void *arg) {
  const auto *first = static_cast<const std::int32_t *>(arg);
  const std::int64_t n = workload_scan(static_cast<std::int32_t>(first - array), size);
  return reinterpret_cast<void *>(static_cast<std::intptr_t>(n));
}

// The name for err(3) where the invocation gives none.
char own_name[] = "duotally";

// Counts the two halves in two threads, adding each thread's count into
// `count` after its join. On success the two time stamps are filled in.
bool run(timeval *start, timeval *end) {
  gettimeofday(start, nullptr);
  pthread_t threads[2];
  for (int t = 0; t < 2; t++) {
    const int rc = pthread_create(&threads[t], nullptr, docount, array + t * size);
    if (rc != 0) {
      errno = rc;
      warn("cannot start counting thread %d", t);
      return false;
    }
  }
  for (int t = 0; t < 2; t++) {
    void *result = nullptr;
    const int rc = pthread_join(threads[t], &result);
    if (rc != 0) {
      errno = rc;
      warn("cannot join counting thread %d", t);
      return false;
    }
    count += static_cast<std::int32_t>(reinterpret_cast<std::intptr_t>(result));
  }
  gettimeofday(end, nullptr);
  return true;
}

}  // namespace

int main() {
  if (*program_invocation_short_name == '\0') program_invocation_short_name = own_name;
  if (!workload_fill(array_size, workload_use_threads)) err(1, "cannot allocate the array");
  size = array_size / 2;

  timeval start{}, end{};
  if (!run(&start, &end)) return 1;

  workload_report(stdout, count, start, end);
  if (std::fflush(stdout) != 0) err(1, "standard output");
  return 0;
}
