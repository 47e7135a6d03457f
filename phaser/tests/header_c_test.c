/* Compiles the public header as C11 and calls every operation from C. */
#include "zel_phaser.h"

#include <errno.h>
#include <stdio.h>

#define CHECK(cond)                                              \
  do {                                                           \
    if (!(cond)) {                                               \
      fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #cond); \
      return 1;                                                  \
    }                                                            \
  } while (0)

int main(void) {
  zel_phaser_t phaser;
  CHECK(zel_phaser_init(&phaser, 0) == EINVAL);
  CHECK(zel_phaser_init(&phaser, 1) == 0);
  CHECK(tid_slot(pthread_self()) == 0);
  CHECK(zel_phaser_advance(&phaser) == 0);
  CHECK(zel_phaser_advance_and_await(&phaser) == 0);
  CHECK(zel_phaser_current(&phaser) == 2);
  CHECK(phaser.phases[0] == 2 && phaser.number_threads == 1);
  CHECK(zel_phaser_destroy(&phaser) == 0);
  return 0;
}
