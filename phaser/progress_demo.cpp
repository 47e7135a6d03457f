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

#include "zel_phaser.h"

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
bool join_all(const char *prog, pthread_t *threads, int count) {
  bool ok = true;
  for (int i = 0; i < count; ++i) {
    const int rc = pthread_join(threads[i], nullptr);
    if (rc != 0) {
      std::fprintf(stderr, "%s: cannot join worker %d: %s\n", prog, i, std::strerror(rc));
      ok = false;
    }
  }
  return ok;
}

}  // namespace

int main(int argc, char *argv[]) {
  const char *prog = argc > 0 ? argv[0] : "test";
  int nthreads = 0;
  if (argc != 2 || !parse_threads(argv[1], &nthreads)) {
    std::printf("usage %s number_threads\n", prog);
    return -1;
  }
  const int total_items = nthreads * items_per_thread;

  int rc = zel_phaser_init(&my_phaser, nthreads + 1);
  if (rc != 0) {
    std::fprintf(stderr, "%s: cannot initialise the phaser: %s\n", prog, std::strerror(rc));
    return 1;
  }
  auto *threads =
      static_cast<pthread_t *>(std::calloc(static_cast<size_t>(nthreads) + 1, sizeof(pthread_t)));
  if (threads == nullptr) {
    std::fprintf(stderr, "%s: %s\n", prog, std::strerror(ENOMEM));
    return 1;
  }

  for (int i = 0; i < nthreads; ++i) {
    rc = pthread_create(&threads[i], nullptr, some_computation, nullptr);
    if (rc != 0) {
      // The started workers never wait, so they finish on their own.
      std::fprintf(stderr, "%s: cannot start worker %d: %s\n", prog, i, std::strerror(rc));
      join_all(prog, threads, i);
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
      std::fprintf(stderr, "%s: cannot await the phaser: %s\n", prog,
                   rc < 0 ? "the main thread has no slot in it" : std::strerror(rc));
      join_all(prog, threads, nthreads);
      std::free(threads);
      return 1;
    }
  }
  std::printf("done\n");

  const bool joined = join_all(prog, threads, nthreads);
  std::free(threads);
  rc = zel_phaser_destroy(&my_phaser);
  if (rc != 0) {
    std::fprintf(stderr, "%s: cannot destroy the phaser: %s\n", prog, std::strerror(rc));
    return 1;
  }
  flush_stdout();
  if (stdout_errno == 0 && std::ferror(stdout)) stdout_errno = EIO;
  if (stdout_errno != 0) {
    std::fprintf(stderr, "%s: standard output: %s\n", prog, std::strerror(stdout_errno));
    return 1;
  }
  return joined ? 0 : 1;
}
