// duotally_plain: the straightforward build of duotally, kept as the
// baseline that the benchmarks compare against: malloc'd array on small
// pages, rand() for every element, a plain counting loop in two threads.
// It prints the same lines as duotally. Built twice: at -O2 (duotally_plain)
// and at -O3 (duotally_plain_o3).
#include <pthread.h>
#include <sys/time.h>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr std::int32_t n = 209715200;
std::int32_t *array;
std::int32_t tofind;
std::int32_t size;

void *docount(void *arg) {
  const auto *p = static_cast<const std::int32_t *>(arg);
  std::int64_t count = 0;
  for (std::int32_t i = 0; i < size; i++)
    if (p[i] == tofind) count++;
  return reinterpret_cast<void *>(static_cast<std::intptr_t>(count));
}

}  // namespace

int main() {
  array = static_cast<std::int32_t *>(std::malloc(static_cast<std::size_t>(n) * 4));
  if (array == nullptr) return 1;
  tofind = 3;
  std::srand(0);
  for (std::int32_t i = 0; i < n; i++) array[i] = std::rand() % 4;
  size = n / 2;

  timeval start, end;
  gettimeofday(&start, nullptr);
  pthread_t threads[2];
  for (int t = 0; t < 2; t++)
    if (pthread_create(&threads[t], nullptr, docount, array + t * size) != 0) return 1;
  std::int32_t count = 0;
  for (pthread_t th : threads) {
    void *result = nullptr;
    pthread_join(th, &result);
    count += static_cast<std::int32_t>(reinterpret_cast<std::intptr_t>(result));
  }
  gettimeofday(&end, nullptr);
  const std::int64_t us = (static_cast<std::int64_t>(end.tv_sec) - start.tv_sec) * 1000000 +
                          (end.tv_usec - start.tv_usec);
  std::printf("Count of %d = %d\n", tofind, count);
  std::printf("Elapsed time (ms) = %lf\n", static_cast<double>(us) / 1000.0);
  return 0;
}
