// test number_threads: shows the phaser at work.
//
// N workers each perform 100 short work items and advance the shared phaser
// after each one, never waiting. The main thread is participant N + 1: it
// prints a percentage, then advances and awaits the phaser, so the k-th
// percentage after 0 appears only once every worker has finished k items.
//
// Standard output is checked after every flush and once more at the end. A
// write that fails does not stop the run: the workers still finish and are
// joined, and only then is the first failure reported, with status 1.
//
// The usage line names the program as it was invoked; the failures after it
// go through warn(3), prefixed with the invocation name's last component.
// Where the invocation leaves a name empty (an argv[0] of "" or none at
// all), the program's own name stands in for it.

#include "zel_phaser.h"

#include <err.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int sleep_time = 100;  // microseconds per work item
constexpr int items_per_thread = 100;
// Keeps nthreads * items_per_thread * 100 within a signed 32-bit integer and
// the number of threads reasonable.
constexpr int max_threads = 10000;

zel_phaser_t my_phaser;
// The name for err(3) and the usage line where the invocation gives none.
char own_name[] = "test";

void *some_computation(void *) {
  for (int i = 0; i < items_per_thread; ++i) {
    usleep(sleep_time);
    zel_phaser_advance(&my_phaser);
  }
  return nullptr;
}

// Reads a whole decimal number from 0 to max_threads: digits only, no sign,
// no blanks.
bool parse_threads(const char *text, int *out) {
  if (*text == '\0') return false;
  long value = 0;
  for (const char *c = text; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return false;
    value = value * 10 + (*c - '0');
    if (value > max_threads) return false;
  }
  *out = static_cast<int>(value);
  return true;
}

// The errno of the first failed write to standard output, or 0.
int stdout_errno = 0;

// Flushes standard output, remembering the first failure.
void flush_stdout() {
  if (std::fflush(stdout) != 0 && stdout_errno == 0) stdout_errno = errno != 0 ? errno : EIO;
}

// Joins threads[0..count), reporting failures; returns whether all joined.
bool join_all(pthread_t *threads, int count) {
  bool ok = true;
  for (int i = 0; i < count; ++i) {
    const int rc = pthread_join(threads[i], nullptr);
    if (rc != 0) {
      errno = rc;
      warn("cannot join worker %d", i);
      ok = false;
    }
  }
  return ok;
}

}  // namespace

int main(int argc, char *argv[]) {
  if (*program_invocation_name == '\0') program_invocation_name = own_name;
  if (*program_invocation_short_name == '\0') program_invocation_short_name = own_name;
  int nthreads = 0;
  if (argc != 2 || !parse_threads(argv[1], &nthreads)) {
    std::printf("usage %s number_threads\n", program_invocation_name);
    return -1;
  }
  const int total_items = nthreads * items_per_thread;

  int rc = zel_phaser_init(&my_phaser, nthreads + 1);
  if (rc != 0) {
    errno = rc;
    warn("cannot initialise the phaser");
    return 1;
  }
  auto *threads =
      static_cast<pthread_t *>(std::calloc(static_cast<size_t>(nthreads) + 1, sizeof(pthread_t)));
  if (threads == nullptr) {
    warnx("%s", std::strerror(ENOMEM));
    return 1;
  }

  for (int i = 0; i < nthreads; ++i) {
    rc = pthread_create(&threads[i], nullptr, some_computation, nullptr);
    if (rc != 0) {
      // The started workers never wait, so they finish on their own.
      errno = rc;
      warn("cannot start worker %d", i);
      join_all(threads, i);
      std::free(threads);
      return 1;
    }
  }

  std::printf("Progress:\n");
  for (int completed = 0; completed < total_items; completed += nthreads) {
    std::printf("%d%% ...", completed * 100 / total_items);
    flush_stdout();
    rc = zel_phaser_advance_and_await(&my_phaser);
    if (rc != 0) {
      // The workers never wait, so they finish on their own.
      warnx("cannot await the phaser: %s",
            rc < 0 ? "the main thread has no slot in it" : std::strerror(rc));
      join_all(threads, nthreads);
      std::free(threads);
      return 1;
    }
  }
  std::printf("done\n");

  const bool joined = join_all(threads, nthreads);
  std::free(threads);
  rc = zel_phaser_destroy(&my_phaser);
  if (rc != 0) {
    errno = rc;
    warn("cannot destroy the phaser");
    return 1;
  }
  flush_stdout();
  if (stdout_errno == 0 && std::ferror(stdout)) stdout_errno = EIO;
  if (stdout_errno != 0) {
    errno = stdout_errno;
    warn("standard output");
    return 1;
  }
  return joined ? 0 : 1;
}
