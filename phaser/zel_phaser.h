/*
 * zel_phaser.h - a phaser for a fixed set of threads, and the thread slot
 * registry it rests on.
 *
 * A phaser has `number_threads` participants, numbered 0 to
 * number_threads - 1. Each participant has a phase: the number of times it
 * has advanced. A participant either advances without waiting
 * (zel_phaser_advance) or advances and then waits until every participant
 * has reached at least its own new phase (zel_phaser_advance_and_await).
 * Used by every participant with zel_phaser_advance_and_await, a phaser is
 * a cyclic barrier. A participant that leaves (zel_phaser_leave) holds
 * nobody back any more and may come back (zel_phaser_join), any thread may
 * wait for a phase, with or without a deadline (zel_phaser_await_phase), ask
 * who holds the phaser back (zel_phaser_laggard), or end the run for every
 * waiter with an error (zel_phaser_abort). A phaser may have a completion
 * step (zel_phaser_init_completion), a function that runs once per phase
 * after every participant has arrived and before anybody goes on, and may end
 * the run.
 *
 * The current phase: one value that every operation agrees on and that
 * never falls. zel_phaser_current and zel_phaser_laggard report it, every
 * wait waits for it to reach a phase, and a joining participant lands on
 * it. It is never above the smallest phase of the participants that have not
 * left, and equal to it whenever no advance, leave or join is in flight (nor
 * a completion step, which the current phase waits for); when every
 * participant has left, it is INT32_MAX. After an abort of a phaser with a
 * completion step it stays at the last phase whose step returned 0, until
 * every participant has left.
 *
 * Naming participants: the registry-based operations take the calling
 * thread's slot in the process-wide registry (tid_slot) as its participant
 * number. Slots are handed out per process, in the order in which threads
 * first ask, so through these operations a phaser made for N participants
 * serves the first N threads of the process that call tid_slot (directly,
 * or through any phaser). The _at operations take the participant number
 * from the caller instead, so that a phaser can serve any group of threads.
 * Participant i of the _at operations is the participant of the thread
 * whose slot is i, so the two styles may be mixed.
 *
 * Rules that every operation below follows; the contracts refer to them.
 *  - Results: every operation but zel_phaser_current and tid_slot returns
 *    an int: 0 for success, a positive POSIX error number (from <errno.h>),
 *    or -1 when the participant is not within [0, number_threads) (for the
 *    registry-based operations: the calling thread's slot is not, or the
 *    registry could not record the thread).
 *  - Records: every operation that takes a phaser returns EINVAL for a null
 *    one, and all but the two initialisations also for a record that is not
 *    active (zero-filled, or destroyed); zel_phaser_current returns -1 for
 *    them. This is a courtesy for such records, not a licence to race
 *    zel_phaser_destroy: a call that overlaps the destruction has undefined
 *    behaviour.
 *  - Concurrency: every operation but the initialisations and
 *    zel_phaser_destroy may be called by any thread, participant or not, at
 *    any time between them, concurrently with every other such call; one
 *    thread at a time may advance or leave a given participant, and it must
 *    not race a join of it (joins of one participant may race each other).
 *  - Inside a completion step: a call that advances, awaits, joins or leaves
 *    on the same phaser returns EDEADLK and changes nothing;
 *    zel_phaser_current, zel_phaser_laggard and zel_phaser_abort work.
 *  - After an abort: every call that would advance, await or join returns
 *    the abort's error once its arguments pass the checks for EINVAL and -1,
 *    and changes no phase.
 *  - Order of errors: EINVAL, then -1, then EDEADLK, then the abort's error,
 *    then the operation's own.
 *  - Memory ordering: everything a thread wrote before it advanced a
 *    participant (by any advancing operation, or by leaving) happens before
 *    the return of every wait that the advance helps release.
 *
 * Valid C11 and C++.
 */
#ifndef ZEL_PHASER_H
#define ZEL_PHASER_H

#include <pthread.h>
#include <stdint.h>
#include <time.h>
#include "zel_phaser_version.h"

#ifdef __cplusplus
extern "C" {
#endif

/*
 * The phaser record. The caller owns the record's storage and must keep it
 * in place (not copy or move it) between zel_phaser_init and
 * zel_phaser_destroy; the phaser owns the array `phases` points to.
 *
 * What a caller may touch: any thread may read `number_threads` (constant
 * while the phaser is active) and, with atomic loads (in C11
 * atomic_load on an _Atomic view, or __atomic_load_n), the entries of
 * `phases`. A caller may also write entries of `phases` after
 * zel_phaser_init and before the first other operation on the phaser, while
 * no other thread uses it; the operations then behave as if each
 * participant had advanced that often, and INT32_MAX marks a participant
 * that has left. Written phases must stay below INT32_MAX, or be INT32_MAX.
 * Everything else (the other fields, and `phases` at any other time) belongs
 * to the phaser.
 */
typedef struct zel_phaser {
  /* The phaser initialises and destroys both; `cond` is kept for the
   * record's layout and reserved: the phaser never waits on it. */
  pthread_mutex_t mutex;
  pthread_cond_t cond;
  int32_t number_threads; /* number of participants, at least 1 */
  int32_t *phases;        /* phases[i]: phase of participant i */
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
 *
 * Since 0.1 (ZEL_PHASER_0).
 */
int zel_phaser_init(zel_phaser_t *phaser, int32_t number_threads);

/*
 * zel_phaser_completion_t: a completion step, called as completion(arg, k)
 * for phase k. Returns 0 to go on, or anything else to end the run.
 */
typedef int zel_phaser_completion_t(void *arg, int32_t phase);

/*
 * zel_phaser_init_completion: zel_phaser_init, with a completion step:
 * `completion` (null: none, as zel_phaser_init) is called with `arg`.
 *
 *  - Once per phase, in order, never at once: for every phase k >= 1 that
 *    the current phase reaches, completion(arg, k) is called exactly once,
 *    after every participant that has not left has reached k, on a thread
 *    inside an advancing operation, a leave or a join of this phaser (the
 *    one that completed phase k, or one still running the completion of an
 *    earlier phase; the library has no thread of its own). Calls never
 *    overlap and come in phase order: an advance that completes several
 *    phases at once calls it for each of them, lowest first. When every
 *    participant has left, the current phase becomes INT32_MAX with no call.
 *  - Before anybody goes on: the current phase reaches k only once
 *    completion(arg, k) has returned, so no wait for phase k returns 0
 *    before that.
 *  - Ending the run: a return of anything but 0 aborts the run as
 *    zel_phaser_abort would, with that value as the error, or ECANCELED for
 *    a value that zel_phaser_abort refuses (negative ones, EINVAL, ...): no
 *    wait for phase k or a later one returns 0, and no completion step runs
 *    after an abort.
 *  - Inside it, the rule at the top of this file holds: advancing,
 *    awaiting, joining and leaving this phaser return EDEADLK.
 *  - Cost: the advance, leave or join that completes a phase runs its step
 *    before it returns, unless a thread still running the step of an earlier
 *    phase runs it; an advance that completes none returns at once, also
 *    while another thread runs a step.
 *
 * Returns as zel_phaser_init.
 *
 * Memory ordering: everything a participant wrote before the advance that
 * took it to phase k happens before completion(arg, k) starts; everything
 * the completion wrote happens before every wait for phase k returns 0.
 *
 * Since 0.3 (ZEL_PHASER_0.3).
 */
int zel_phaser_init_completion(zel_phaser_t *phaser, int32_t number_threads,
                               zel_phaser_completion_t *completion, void *arg);

/*
 * zel_phaser_current: returns the current phase (see the top of this file).
 *
 * Returns -1 for a null or inactive record. A phase that the caller wrote
 * before the first operation is honoured. Never blocks; constant time.
 * Because the current phase never falls, the result is a lower bound of
 * every later result.
 *
 * Memory ordering: an acquire; a thread that reads phase k here sees
 * everything written before the advances that made the current phase k.
 *
 * Since 0.1 (ZEL_PHASER_0).
 */
int32_t zel_phaser_current(zel_phaser_t *phaser);

/*
 * zel_phaser_advance_and_await_at: adds 1 to the phase of participant
 * `participant`, then blocks until the current phase has reached that new
 * phase, that is until every other participant has advanced at least as
 * often (or has left).
 *
 * Returns 0 after the wait; EOVERFLOW if the participant has left or its
 * phase would reach INT32_MAX, which returns at once and changes nothing;
 * the abort's error, at once and changing nothing if the run was aborted
 * before the call, or once an abort ends the wait: the advance has then
 * taken effect. Otherwise as the rules at the top of this file say.
 *
 * Any number of participants may wait at once, up to all of them; each
 * returns as soon as the current phase has reached its own phase. Blocks
 * only while some participant lags behind or a completion step runs, and
 * runs the step itself if its advance completes a phase. With no more
 * participants than CPUs a waiter first spins, for at most about 0.2 ms and
 * less when waits are long, which trades some CPU time for a prompt return;
 * it then sleeps.
 *
 * Since 0.1 (ZEL_PHASER_0).
 */
int zel_phaser_advance_and_await_at(zel_phaser_t *phaser, int32_t participant);

/*
 * zel_phaser_advance_and_await: zel_phaser_advance_and_await_at for the
 * participant whose number is the calling thread's slot (tid_slot of
 * pthread_self()).
 *
 * Since 0.1 (ZEL_PHASER_0).
 */
int zel_phaser_advance_and_await(zel_phaser_t *phaser);

/*
 * zel_phaser_advance_at: adds 1 to the phase of participant `participant`
 * and returns without waiting. Wakes the waiters that this advance releases.
 *
 * Returns 0; EOVERFLOW if the participant has left or its phase would reach
 * INT32_MAX; after an abort, its error. Every failure changes nothing.
 * Never waits for another thread; an advance that completes a phase runs the
 * phaser's completion step, if it has one.
 *
 * Since 0.1 (ZEL_PHASER_0).
 */
int zel_phaser_advance_at(zel_phaser_t *phaser, int32_t participant);

/*
 * zel_phaser_advance: zel_phaser_advance_at for the participant whose number
 * is the calling thread's slot (tid_slot of pthread_self()).
 *
 * Since 0.1 (ZEL_PHASER_0).
 */
int zel_phaser_advance(zel_phaser_t *phaser);

/*
 * zel_phaser_leave_at: participant `participant` leaves the phaser: its
 * phase becomes INT32_MAX, so it holds nobody back any more, and the
 * waiters that this releases are woken. When every participant has left,
 * the current phase is INT32_MAX and every wait returns at once.
 *
 * Returns 0, also when the participant had left already, and also after an
 * abort. After it, the participant's advancing operations return EOVERFLOW,
 * until it joins again (zel_phaser_join_at). Never waits for another
 * thread; a leave that completes a phase runs the completion step.
 *
 * Memory ordering: the leave is a release, as an advance is.
 *
 * Since 0.1 (ZEL_PHASER_0).
 */
int zel_phaser_leave_at(zel_phaser_t *phaser, int32_t participant);

/*
 * zel_phaser_leave: zel_phaser_leave_at for the participant whose number is
 * the calling thread's slot.
 *
 * Since 0.1 (ZEL_PHASER_0).
 */
int zel_phaser_leave(zel_phaser_t *phaser);

/*
 * zel_phaser_await_phase: blocks until the current phase has reached
 * `phase`, or until the absolute time `deadline` on CLOCK_MONOTONIC has
 * passed; a null `deadline` waits without limit.
 *
 * Any thread may call it, participant or not; it advances nothing. Returns
 * 0 once the phase is reached (at once if it is reached already, however
 * long ago the deadline passed); ETIMEDOUT if the deadline passed first, at
 * once for a deadline that has passed already (a deadline with a negative
 * tv_sec passed long ago); EINVAL if `deadline` has tv_nsec outside
 * [0, 999999999], also for a phase reached already; the abort's error if the
 * run is aborted before the call or while it waits.
 * Blocks while the current phase is below `phase` and the deadline has not
 * passed.
 *
 * Memory ordering: everything written before the advances that make the
 * current phase reach `phase` happens before a return of 0.
 *
 * Since 0.1 (ZEL_PHASER_0).
 */
int zel_phaser_await_phase(zel_phaser_t *phaser, int32_t phase, const struct timespec *deadline);

/*
 * zel_phaser_abort: ends the run of *phaser with the error number `error`,
 * for example when a participant has failed and the others must not wait
 * for it: every wait in progress returns `error`, and so does every later
 * call that would advance, await or join (see the rules at the top of this
 * file).
 *
 * `error` must be a positive error number to which the phaser's calls give
 * no meaning of their own: not EINVAL, EOVERFLOW, ETIMEDOUT, EBUSY or EDEADLK
 * (ECANCELED, for example). Returns 0; EINVAL if `error` is not such a
 * number. The first abort wins and records `error`; a later one returns 0
 * and changes nothing.
 *
 * Every wait in progress (zel_phaser_advance_and_await_at,
 * zel_phaser_advance_and_await, zel_phaser_await_phase) returns `error`
 * promptly, without waiting for its deadline; a wait whose phase was reached
 * before the abort took effect may return 0 instead. Leaving still works and
 * returns 0; zel_phaser_current and zel_phaser_laggard go on reporting the
 * phases.
 *
 * It may block briefly, until the waits in progress have been woken. A
 * return of `error` does not show that the aborting thread has left
 * zel_phaser_abort: the program must join or otherwise synchronise with it
 * before zel_phaser_destroy.
 *
 * Memory ordering: everything a thread wrote before it aborted happens
 * before every return of `error` that the abort causes.
 *
 * Since 0.2 (ZEL_PHASER_0.2).
 */
int zel_phaser_abort(zel_phaser_t *phaser, int error);

/*
 * zel_phaser_join_at: brings back participant `participant`, which has left:
 * the join first raises the current phase as far as the other
 * participants' phases allow, then gives the participant the current phase
 * (the smallest phase of the others at that moment) and stores it in *phase
 * when `phase` is not null, so that the joiner knows which phase it is in.
 *
 * Returns 0; EBUSY if the participant has not left; EOVERFLOW if every
 * participant has left (the current phase is then INT32_MAX, the limit);
 * after an abort, its error. Every failure changes no participant's phase.
 *
 * The current phase does not fall: the joiner's phase is at least every
 * current phase that any call has returned or acted on, so a waiter whose
 * phase the current phase had not reached when the join took effect is not
 * released before the joined participant reaches the waiter's phase. A
 * phaser that can grow is one initialised with its largest number of
 * participants, the spare ones leaving before the work starts.
 *
 * Of concurrent joins of one participant (by zel_phaser_join_at or
 * zel_phaser_join) exactly one returns 0 and the others EBUSY. Must not run
 * concurrently with an advance or leave of the same participant. Never
 * waits for another participant; it waits while another join or a
 * completion step is under way, and runs the completion step of the phases
 * its raise of the current phase completes.
 *
 * Memory ordering: the join orders nothing by itself; the joined
 * participant's advances are releases, as every advance is.
 *
 * Since 0.2 (ZEL_PHASER_0.2).
 */
int zel_phaser_join_at(zel_phaser_t *phaser, int32_t participant, int32_t *phase);

/*
 * zel_phaser_join: zel_phaser_join_at for the lowest-numbered participant
 * that has left, whose number it stores in *participant. Returns EINVAL if
 * `participant` is null; EBUSY if no participant has left; otherwise as
 * zel_phaser_join_at.
 *
 * Since 0.2 (ZEL_PHASER_0.2).
 */
int zel_phaser_join(zel_phaser_t *phaser, int32_t *participant, int32_t *phase);

/*
 * zel_phaser_laggard: tells who holds the phaser back, and since when. Its
 * three answers belong to one moment during the call: *phase is the
 * current phase then; *participant the lowest-numbered participant whose
 * phase was the current phase then, or -1 if there was none (every
 * participant has left, or all of them have moved on and the current phase
 * is being raised, or waits for its completion step); *since the
 * CLOCK_MONOTONIC time at which the
 * current phase was reached. Each pointer may be null.
 *
 * *since is never earlier than a moment at which the current phase was
 * seen below *phase, and across calls a larger phase never comes with an
 * earlier time. For the phase in force at the first operation (written by
 * the caller, or 0) it is the time of zel_phaser_init. The phaser keeps the
 * times of the later phases from its first zel_phaser_laggard call on,
 * which costs each raise of the current phase a reading of the clock; for a
 * later phase reached before that first call, or while it ran, *since is the
 * time of a call that reported it.
 *
 * Returns 0. Never blocks; it retries when the phaser changes under it.
 *
 * Memory ordering: it orders nothing.
 *
 * Since 0.2 (ZEL_PHASER_0.2).
 */
int zel_phaser_laggard(zel_phaser_t *phaser, int32_t *participant, int32_t *phase,
                       struct timespec *since);

/*
 * zel_phaser_destroy: releases what zel_phaser_init acquired; *phaser is no
 * longer active.
 *
 * The caller must make sure that no thread is inside an operation on
 * *phaser and none will call one again. Returns 0 on success, or the error
 * number of a failed destruction of the mutex or condition variable; on
 * failure the resources not yet released stay as they are. Never blocks.
 *
 * Since 0.1 (ZEL_PHASER_0).
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
 * Never blocks. Any number of threads may call it at once, also for the same
 * identifier; each new thread receives the next slot exactly once. Entries
 * belong to the registry and are never freed.
 *
 * Since 0.1 (ZEL_PHASER_0).
 */
int32_t tid_slot(pthread_t id);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* ZEL_PHASER_H */
