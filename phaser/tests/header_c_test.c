/* Compiles the public header as C11 and calls every operation from C. */
#include "zel_phaser.h"

#include <errno.h>
#include <stdio.h>
#include <time.h>

#define CHECK(cond)                                              \
  do {                                                           \
    if (!(cond)) {                                               \
      fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #cond); \
      return 1;                                                  \
    }                                                            \
  } while (0)

static int completed;

static int count_phase(void *arg, int32_t phase) {
  *(int *)arg = phase;
  return phase == 2 ? EPIPE : 0;
}

int main(void) {
  zel_phaser_t phaser;
  struct timespec past = {0, 0}, since = {0, 0};
  int32_t who = -1, at = -1;
  CHECK(ZEL_PHASER_VERSION_MAJOR >= 0);
  CHECK(zel_phaser_init(&phaser, 0) == EINVAL);
  CHECK(zel_phaser_init(&phaser, 2) == 0);
  CHECK(tid_slot(pthread_self()) == 0);
  CHECK(zel_phaser_advance(&phaser) == 0);
  CHECK(zel_phaser_advance_at(&phaser, 1) == 0);
  CHECK(zel_phaser_advance_and_await_at(&phaser, 2) == -1);
  CHECK(zel_phaser_advance_at(&phaser, 1) == 0);
  CHECK(zel_phaser_advance_and_await(&phaser) == 0);
  CHECK(zel_phaser_current(&phaser) == 2);
  CHECK(zel_phaser_await_phase(&phaser, 3, &past) == ETIMEDOUT);
  CHECK(zel_phaser_leave_at(&phaser, 1) == 0);
  CHECK(zel_phaser_advance_and_await_at(&phaser, 0) == 0);
  CHECK(zel_phaser_await_phase(&phaser, 3, NULL) == 0);
  CHECK(zel_phaser_leave(&phaser) == 0);
  CHECK(zel_phaser_advance(&phaser) == EOVERFLOW);
  CHECK(phaser.phases[0] == INT32_MAX && phaser.number_threads == 2);
  CHECK(zel_phaser_current(&phaser) == INT32_MAX);
  CHECK(zel_phaser_destroy(&phaser) == 0);

  CHECK(zel_phaser_init(&phaser, 2) == 0);
  CHECK(zel_phaser_leave_at(&phaser, 1) == 0);
  CHECK(zel_phaser_laggard(&phaser, &who, &at, &since) == 0 && who == 0 && at == 0);
  CHECK(since.tv_sec > 0 || since.tv_nsec > 0);
  CHECK(zel_phaser_join(&phaser, &who, &at) == 0 && who == 1 && at == 0);
  CHECK(zel_phaser_leave_at(&phaser, 0) == 0);
  CHECK(zel_phaser_join_at(&phaser, 0, NULL) == 0);
  CHECK(zel_phaser_abort(&phaser, ECANCELED) == 0);
  CHECK(zel_phaser_advance_at(&phaser, 0) == ECANCELED);
  CHECK(zel_phaser_destroy(&phaser) == 0);

  CHECK(zel_phaser_init_completion(&phaser, 1, count_phase, &completed) == 0);
  CHECK(zel_phaser_advance_and_await(&phaser) == 0 && completed == 1);
  CHECK(zel_phaser_advance_and_await(&phaser) == EPIPE && completed == 2);
  CHECK(zel_phaser_current(&phaser) == 1);
  CHECK(zel_phaser_destroy(&phaser) == 0);
  return 0;
}
