/*
 * zel_phaser.h - a phaser for a fixed set of threads, and the thread slot
 * registry it rests on.
 *
 * A phaser has `number_threads` participants. Each participant has a phase:
 * the number of times it has advanced. The phaser's current phase is the
 * smallest phase of all participants. A participant either advances without
 * waiting (zel_phaser_advance) or advances and then waits until every
 * participant has reached at least its own new phase
 * (zel_phaser_advance_and_await). Used by every participant with
 * zel_phaser_advance_and_await, a phaser is a cyclic barrier.
 *
 * Participants are not named by the caller: a thread is the participant whose
 * index is the thread's slot in the process-wide registry (tid_slot). Slots
 * are handed out per process, in the order in which threads first ask, so a
 * phaser made for N participants serves the first N threads of the process
 * that call tid_slot (directly, or through any phaser).
 *
 * Errors: every operation returns an int; 0 means success. A positive value
 * is a POSIX error number (from <errno.h>). -1 means that the calling thread
 * has no slot within the phaser (see the advancing operations).
 *
 * Valid C11 and C++.
 */
#ifndef ZEL_PHASER_H
#define ZEL_PHASER_H

#include <pthread.h>
#include <stdint.h>
#include "zel_phaser_version.h"

#ifdef __cplusplus
extern "C" {
#endif

/*
 * The phaser record. The caller owns the record's storage and must keep it
 * in place (not copy or move it) between zel_phaser_init and
 * zel_phaser_destroy. The fields are the phaser's own: read or change them
 * only through the operations below.
 */
typedef struct zel_phaser {
  /* Initialised and destroyed with the phaser; the operations themselves are
   * lock-free and wait on a futex of their own. */
  pthread_mutex_t mutex;
  pthread_cond_t cond;
  int32_t number_threads; /* number of participants, at least 1 */
  int32_t *phases;        /* phases[s]: phase of the participant in slot s; owned by the phaser */
} zel_phaser_t;

/*
 * zel_phaser_init: makes *phaser a phaser of `number_threads` participants,
 * every phase 0.
 *
 * The caller provides the storage; *phaser must not be an active phaser.
 * Returns 0 on success; EINVAL if `phaser` is null or `number_threads` is
 * below 1; ENOMEM if the phases cannot be allocated; or the error number of a
 * failed initialisation of the mutex or condition variable. On failure
 * nothing stays allocated or initialised and *phaser is not active.
 * Never blocks. Must not run concurrently with any other call on *phaser.
 */
int zel_phaser_init(zel_phaser_t *phaser, int32_t number_threads);

/*
 * zel_phaser_current: returns the phaser's current phase, the smallest phase
 * of all participants.
 *
 * May be called by any thread, participant or not, concurrently with the
 * advancing operations; it then returns a phase that the phaser had at some
 * moment before the call returned, and at least the phase for which any
 * completed zel_phaser_advance_and_await waited. With no advance in flight
 * it is exact. Phases only grow, so the result is a lower bound of every
 * later current phase. Never blocks and takes no lock.
 */
int32_t zel_phaser_current(zel_phaser_t *phaser);

/*
 * zel_phaser_advance_and_await: adds 1 to the calling participant's phase,
 * then blocks until the current phase has reached the caller's new phase,
 * that is until every other participant has advanced at least as often.
 *
 * A participant's phase must stay below INT32_MAX.
 *
 * Returns 0 after the wait; -1 at once, changing nothing, if the calling
 * thread's slot is not within [0, number_threads) (or the registry could not
 * record the thread).
 *
 * Any number of participants may wait at once, up to all of them, whatever
 * operations the others use; each returns as soon as the current phase has
 * reached its own phase. Blocks only while some participant lags behind:
 * it spins briefly, then sleeps until the advance that completes its phase
 * wakes it.
 *
 * Memory ordering: everything a participant wrote before its advance (by
 * either operation) happens before the return of every await that the advance
 * helps release.
 */
int zel_phaser_advance_and_await(zel_phaser_t *phaser);

/*
 * zel_phaser_advance: adds 1 to the calling participant's phase and returns
 * without waiting. Wakes the participants that this advance releases.
 *
 * Returns 0; -1 at once, changing nothing, if the calling thread's slot is
 * not within [0, number_threads) (or the registry could not record it).
 * Never blocks, takes no lock, and makes a system call only to wake
 * participants that it releases. May run concurrently with every other
 * advancing call and with zel_phaser_current.
 * The advance is a release: see zel_phaser_advance_and_await.
 */
int zel_phaser_advance(zel_phaser_t *phaser);

/*
 * zel_phaser_destroy: releases what zel_phaser_init acquired; *phaser is no
 * longer active.
 *
 * The caller must make sure that no participant is inside an operation on
 * *phaser and none will call one again. Returns 0 on success, or the error
 * number of a failed destruction of the mutex or condition variable; on
 * failure the resources not yet released stay as they are. Never blocks.
 */
int zel_phaser_destroy(zel_phaser_t *phaser);

/*
 * tid_slot: returns the slot of thread `id` in the process-wide registry:
 * 0 for the first thread that ever asks, 1 for the next new thread, and so
 * on; a thread that asks again gets the slot it already has. Identifiers are
 * compared by value (pthread_equal), so a new thread that reuses the
 * identifier of an ended one inherits its slot.
 *
 * Returns -1 if the registry cannot allocate an entry for a new thread.
 * Thread-safe and lock-free: any number of threads may call it at once; each
 * new thread receives the next slot exactly once. A thread asking for its
 * own slot (id == pthread_self()) after its first call reads a thread-local
 * copy and does not walk the registry. Entries are never freed.
 */
int32_t tid_slot(pthread_t id);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* ZEL_PHASER_H */
