/*
 * heat.c - a 1-D heat stencil on T threads: one phaser phase per step.
 *
 * A rod of `cells` cells starts cold, its left end held at 1 and its right
 * end at 0. Each step, every thread computes its slice of the next
 * temperatures from the current ones and notes the largest change in its
 * slice, then advances and waits. The phaser's completion step, which runs
 * once per phase after every thread has arrived and before any goes on,
 * swaps the two buffers and ends the run by returning nonzero once the
 * largest change of the step falls below the tolerance. So one
 * synchronisation per step serves as both the barrier and the reduction.
 *
 * usage: heat [threads [cells]]
 */
#include <zel_phaser.h>

#include <errno.h>
#include <math.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>

enum { most_threads = 64, most_steps = 10000000 };
static const double tolerance = 1e-7;

struct rod {
  zel_phaser_t phaser;
  int threads, cells, steps;
  double *now, *next;
  double change[most_threads]; /* each thread's largest change this step */
};

struct worker {
  struct rod *rod;
  int id;
  pthread_t thread;
};

/* The completion step of phase `phase`: the step numbered `phase` is done. */
static int finish_step(void *arg, int32_t phase) {
  struct rod *r = arg;
  double largest = 0, *swap = r->now;
  for (int t = 0; t < r->threads; ++t) largest = fmax(largest, r->change[t]);
  r->now = r->next;
  r->next = swap;
  r->steps = phase;
  if (largest < tolerance) return ECANCELED; /* converged: the run ends */
  return phase == most_steps ? ERANGE : 0;
}

static void *work(void *arg) {
  struct worker *w = arg;
  struct rod *r = w->rod;
  const int inner = r->cells - 2;
  const int first = 1 + (int)((long long)inner * w->id / r->threads);
  const int last = 1 + (int)((long long)inner * (w->id + 1) / r->threads);
  int rc;
  do {
    const double *now = r->now;
    double *next = r->next, largest = 0;
    for (int i = first; i < last; ++i) {
      next[i] = now[i] + 0.25 * (now[i - 1] - 2 * now[i] + now[i + 1]);
      largest = fmax(largest, fabs(next[i] - now[i]));
    }
    r->change[w->id] = largest;
    rc = zel_phaser_advance_and_await_at(&r->phaser, w->id);
  } while (rc == 0);
  return rc == ECANCELED ? NULL : w;
}

static int number(const char *text, int low, int high, int fallback) {
  if (text == NULL) return fallback;
  char *end;
  const long value = strtol(text, &end, 10);
  return *text != '\0' && *end == '\0' && value >= low && value <= high ? (int)value : -1;
}

int main(int argc, char **argv) {
  struct rod r = {.threads = number(argc > 1 ? argv[1] : NULL, 1, most_threads, 4),
                  .cells = number(argc > 2 ? argv[2] : NULL, 3, 10000000, 100)};
  if (argc > 3 || r.threads < 0 || r.cells < 0) {
    fprintf(stderr, "usage: heat [threads (1-%d) [cells (3-10000000)]]\n", most_threads);
    return 2;
  }
  r.now = calloc((size_t)r.cells, sizeof *r.now);
  r.next = calloc((size_t)r.cells, sizeof *r.next);
  struct worker workers[most_threads];
  int failed = r.now == NULL || r.next == NULL ||
               zel_phaser_init_completion(&r.phaser, r.threads, finish_step, &r) != 0;
  if (failed) {
    fprintf(stderr, "heat: cannot set up %d cells\n", r.cells);
    free(r.now);
    free(r.next);
    return 1;
  }
  r.now[0] = r.next[0] = 1.0;
  for (int t = 0; t < r.threads; ++t) {
    workers[t] = (struct worker){.rod = &r, .id = t};
    if (pthread_create(&workers[t].thread, NULL, work, &workers[t]) != 0) {
      zel_phaser_abort(&r.phaser, ECANCELED);
      r.threads = t;
      failed = 1;
    }
  }
  for (int t = 0; t < r.threads; ++t) {
    void *unfinished;
    pthread_join(workers[t].thread, &unfinished);
    failed |= unfinished != NULL;
  }
  zel_phaser_destroy(&r.phaser);
  if (failed) {
    fprintf(stderr, "heat: no convergence after %d steps\n", r.steps);
  } else {
    printf("converged after %d steps\n", r.steps);
    printf("temperature at the middle: %.6f\n", r.now[r.cells / 2]);
  }
  free(r.now);
  free(r.next);
  return failed;
}
