/*
 * A C program that uses an installed zel_phaser as a user would: two threads
 * pass 100 phases of a barrier while checking that neither ran ahead, and
 * the header's version macros agree with the version that the build found
 * (EXPECTED_VERSION, from pkg-config or find_package). Exit status 0 when
 * everything held, otherwise the number of the first check that failed.
 */
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <zel_phaser.h>

#define PHASES 100

static zel_phaser_t phaser;
static int done[2];

static void *participant(void *arg) {
  int self = *(int *)arg;
  for (int phase = 1; phase <= PHASES; ++phase) {
    done[self] = phase;
    if (zel_phaser_advance_and_await(&phaser) != 0) return (void *)"advance_and_await failed";
    /* Both have written `phase` before either leaves the barrier. */
    if (done[1 - self] < phase) return (void *)"passed the barrier before the other participant";
    if (zel_phaser_advance_and_await(&phaser) != 0) return (void *)"advance_and_await failed";
  }
  return NULL;
}

int main(void) {
#define TEXT(x) #x
#define VERSION(a, b, c) TEXT(a) "." TEXT(b) "." TEXT(c)
  const char *header_version =
      VERSION(ZEL_PHASER_VERSION_MAJOR, ZEL_PHASER_VERSION_MINOR, ZEL_PHASER_VERSION_PATCH);
  if (strcmp(header_version, EXPECTED_VERSION) != 0) {
    fprintf(stderr, "consumer: the header says %s, the package %s\n", header_version,
            EXPECTED_VERSION);
    return 1;
  }
  if (zel_phaser_init(&phaser, 2) != 0) return 2;
  pthread_t threads[2];
  int ids[2] = {0, 1};
  for (int i = 0; i < 2; ++i)
    if (pthread_create(&threads[i], NULL, participant, &ids[i]) != 0) return 3;
  int status = 0;
  for (int i = 0; i < 2; ++i) {
    void *result;
    pthread_join(threads[i], &result);
    if (result != NULL) {
      fprintf(stderr, "consumer: %s\n", (const char *)result);
      status = 4;
    }
  }
  if (status == 0 && zel_phaser_current(&phaser) != 2 * PHASES) return 5;
  if (zel_phaser_destroy(&phaser) != 0) return 6;
  if (status == 0) printf("consumer: %d phases passed\n", PHASES);
  return status;
}
