// forktally num_procs: counts the elements of the workload equal to 3 with
// num_procs child processes, each owning one contiguous slice, and reports
// the count and the time from just before the first fork to the last record
// read. Records are collected strictly in worker order; any fault in
// starting the workers or collecting their records ends the run with status
// 1 and no count, since a wrong total is worse than none, and only after
// every child started has been killed and reaped.
//
// The usage line names the program as it was invoked; every later message
// but the "pipe" and "fork" lines goes through err(3) and warn(3), prefixed
// with the invocation name's last component. Where the invocation leaves a
// name empty (an argv[0] of "" or none at all), the program's own name
// stands in for it.
#include "pipeworkers.h"
#include "workload.h"

#include <err.h>
#include <sys/wait.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

namespace {

// The name for err(3) and the usage line where the invocation gives none.
char own_name[] = "forktally";

[[noreturn]] void usage() {
  std::fprintf(stderr, "usage: %s num_procs\n", program_invocation_name);
  std::exit(1);
}

// A whole decimal number from 1 to INT32_MAX, digits only.
bool parse_procs(const char *text, std::int32_t *out) {
  if (text[0] < '0' || text[0] > '9') return false;
  char *end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || value < 1 || value > INT32_MAX) return false;
  *out = static_cast<std::int32_t>(value);
  return true;
}

// The pipe table: entry p is the read end of worker p's pipe. It lives, like
// the read ends, until the process ends. Beside it, worker p's process id,
// kept so that a failed run can end the children it started.
int *pipes = nullptr;
pid_t *children = nullptr;

// Launches the workers, collects their records in order and reaps them.
// On success the total and the two time stamps are filled in. On failure
// every child started so far has been killed and reaped.
bool run(std::int32_t nprocs, std::int32_t *total, timeval *start, timeval *end) {
  const auto n = static_cast<std::size_t>(nprocs);
  pipes = static_cast<int *>(std::malloc(n * sizeof(int)));
  children = static_cast<pid_t *>(std::malloc(n * sizeof(pid_t)));
  if (pipes == nullptr || children == nullptr) {
    warn("cannot allocate the pipe table");
    return false;
  }
  gettimeofday(start, nullptr);
  for (std::int32_t p = 0; p < nprocs; p++) {
    const slice_t s = workload_slice(array_size, nprocs, p);
    pipes[p] = launchWorker(s.first, s.length, &children[p]);
    if (pipes[p] == -1) {
      stop_workers(children, p);
      return false;
    }
  }
  std::int32_t sum = 0;
  for (std::int32_t p = 0; p < nprocs; p++) {
    std::int32_t count = 0;
    if (!collect_record(pipes[p], p, workload_slice(array_size, nprocs, p).length, &count)) {
      stop_workers(children, nprocs);
      return false;
    }
    sum += count;
  }
  gettimeofday(end, nullptr);
  for (std::int32_t p = 0; p < nprocs; p++)
    while (wait(nullptr) < 0 && errno == EINTR) {
    }
  *total = sum;
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  if (*program_invocation_name == '\0') program_invocation_name = own_name;
  if (*program_invocation_short_name == '\0') program_invocation_short_name = own_name;
  std::int32_t nprocs = 0;
  if (argc != 2 || !parse_procs(argv[1], &nprocs)) usage();

  std::printf("using %d procs\n", nprocs);
  std::fflush(stdout);  // the children must not inherit the line unwritten
  if (!reserve_descriptors(nprocs)) return 1;
  if (!workload_fill(array_size, workload_use_forks)) err(1, "cannot allocate the array");

  std::int32_t total = 0;
  timeval start{}, end{};
  if (!run(nprocs, &total, &start, &end)) return 1;

  workload_report(stdout, total, start, end);
  if (std::fflush(stdout) != 0) err(1, "standard output");
  return 0;
}
