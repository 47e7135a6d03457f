/*
 * The phaser's protocol (zel_phaser.cpp, wait_list.cpp) for spin. README.md
 * beside it says how the model maps to the code, how to run it and what its
 * bounds cover.
 *
 * Steps: every atomic { } (or d_step, or GATE_LOAD and TIMED_LOAD) is one
 * atomic operation of the code, named in its comment; what lies between two
 * of them is the thread's own computation. Where one step holds more than
 * one of the code's operations, its comment says why that loses no
 * behaviour: a critical section of the mutex (see LOCK), a group's bump and
 * wake-up, a load of what nothing writes in the configuration, the checks
 * that a wait repeats. A step may also update ghost state that only the
 * checks read.
 *
 * Threads: W workers; worker w starts as participant w (those beyond the
 * participants in use start by joining) and picks, at every turn, an
 * advance, an advance-and-await, a leave followed by a join (zel_phaser_join:
 * the lowest participant that has left), or a last leave, which it makes at
 * MAXPH at the latest; a worker whose call returns the abort's error stops
 * there, without leaving. One observer makes up to OBS_OPS calls among
 * current, laggard, await-phase and one abort. init starts them and checks
 * the end state.
 *
 * Abstractions: the futex is a flag per thread: futex_wait sleeps only while
 * the word holds the expected value, and futex_wake_all clears the flags of
 * the word's sleepers, so a wake-up that nobody sends leaves its sleeper
 * blocked for good. A wait checks, then returns or sleeps: the spinning and
 * yielding of spin_for only check more often, and deadlines are not
 * modelled. The clock is a counter that ticks each time P rises. INT32_MAX
 * is LEFT. The first operation's sync is done before the threads start (it
 * holds the mutex, and every operation waits for it). The sleep groups
 * never run out (the table has a group per waiter). Every step is
 * sequentially consistent: the code argues its weaker orderings.
 *
 * Checks (assert): P never falls and never exceeds the smallest phase, a
 * landing joiner counting at P (set_word, check_state); current never falls;
 * a joiner lands at or above every phase any call returned or waited for; a
 * laggard answer is the truth at the moment of its last read, and its time
 * is not before P reached its phase nor, for a larger phase, before the
 * previous answer's; a wait returns 0 only once P has reached its phase;
 * the completion step runs once per phase, in order, never twice at once,
 * after every participant reached its phase and before P does, and never
 * after an abort but for one already under way; at the end nobody sleeps or
 * holds anything, and P is the smallest phase (unless an abort stopped the
 * completion steps). Every thread returns (else: an invalid end state), and
 * none spins for ever (a progress run: no cycle without progress under weak
 * fairness).
 */

#ifndef N
#define N 2 /* participants */
#endif
#ifndef W
#define W N /* workers */
#endif
#ifndef MAXPH
#define MAXPH 3 /* no worker advances beyond it */
#endif
#ifndef COMPLETION
#define COMPLETION 0 /* zel_phaser_init_completion with a step */
#endif
#ifndef COMPLETION_FAILS
#define COMPLETION_FAILS 0 /* the step may fail (once), ending the run */
#endif
#ifndef REJOINS
#define REJOINS 1 /* leave-and-join rounds per rejoining worker */
#endif
#ifndef REJOINERS
#define REJOINERS 1 /* the last REJOINERS workers may leave and join */
#endif
#ifndef SPARE
#define SPARE 0 /* the last SPARE participants have left before the first operation */
#endif
#ifndef WORK_ADVANCE
#define WORK_ADVANCE 1 /* workers advance without waiting */
#endif
#ifndef WORK_AWAIT
#define WORK_AWAIT 1 /* workers advance and await */
#endif
#ifndef EARLY_LEAVE
#define EARLY_LEAVE 1 /* workers may leave for good before MAXPH */
#endif
#ifndef OBS_OPS
#define OBS_OPS 2 /* the observer's calls */
#endif
#ifndef OBS_CURRENT
#define OBS_CURRENT 1
#endif
#ifndef OBS_LAGGARD
#define OBS_LAGGARD 1
#endif
#ifndef OBS_AWAIT
#define OBS_AWAIT 1
#endif
#ifndef OBS_ABORT
#define OBS_ABORT 1
#endif

/* Whether anything aborts the run, or turns timing on: where nothing
 * does, the loads of the gate (or of `timed`) read a constant, and so are
 * the thread's own steps. */
#define ABORTABLE (OBS_ABORT || COMPLETION_FAILS)
#if ABORTABLE
#define GATE_LOAD(x) atomic { x = aborted }
#else
#define GATE_LOAD(x) x = false
#endif
#if OBS_LAGGARD
#define TIMED_LOAD(x) atomic { x = timed }
#else
#define TIMED_LOAD(x) x = false
#endif

/* Phases and the word: P in the low 3 bits, then the high half. */
#define LEFT 7 /* INT32_MAX, the phase of a participant that has left */
#define NONE 8 /* -1: no participant */
#define PH(w) ((w) & 7)
#define WITH_PH(w, p) (((w) & ~7) | (p))
#define LANDING 8
#define OWNED 16
#define OWNERSHIP 32

/* Results. */
#define OK 0
#define ABORTED 1
#define EBUSY 2
#define EOVERFLOW 3

#define NPROC (W + 2) /* init, the workers, the observer */
#define G (W + 1)     /* sleep groups: one per waiter, as capacity_for gives */
#define FREE 255      /* free_target */
#define FUTEX_WORD 0  /* futex addresses: the word, then group g at g + 1 */

/* zel_phaser.cpp, phaser_state and the phases. */
byte ph[N];
int word;
bool aborted; /* gate > 0 */
byte scan_start;
bool timing, timed;
byte joiner = NONE;
byte stamp_seq; /* phase << 1, | 1 while being written */
byte stamp_ns; /* init_ns */
byte clk; /* the clock, see set_word */

/* wait_list.cpp */
byte next_sleepers;
byte lowest = LEFT;
byte mutex; /* the holder's _pid + 1 */
byte gtarget[G];
byte gword[G];

/* The futex: who sleeps, and on which address. */
bool asleep[NPROC];
byte waddr[NPROC];

/* Ghosts for the checks. */
bool completing;       /* a completion step is running */
byte completed;        /* the last phase whose completion step ran */
byte late_completions; /* completion steps started after the abort */
byte completion_fails = COMPLETION_FAILS;
byte maxcur;           /* the largest phase any call returned or acted on */
byte pubclk[8];        /* pubclk[k]: the clock when P reached k */
hidden byte hmin, hi, htw, hp, hf;

/* Only a join reads maxcur. */
#if REJOINS || SPARE
#define NOTE_RETURNED(p) maxcur = ((p) != LEFT && (p) > maxcur -> (p) : maxcur)
#else
#define NOTE_RETURNED(p) skip
#endif

/* The smallest phase, a landing joiner counting at P, into hmin. */
inline min_phase() {
  hmin = LEFT;
  hi = 0;
  do
  :: hi < N ->
    if
    :: (word & LANDING) && joiner == hi -> hmin = (PH(word) < hmin -> PH(word) : hmin)
    :: else -> hmin = (ph[hi] < hmin -> ph[hi] : hmin)
    fi;
    hi++
  :: else -> break
  od
}

#define TRUTH(p, who) ((((p) == LEFT -> MAXPH + 1 : (p)) * (N + 1)) + ((who) == NONE -> 0 : (who) + 1))

/* The answer true now, P and the lowest participant at P, into lmoment:
 * the steps of a laggard's scan take it, so that its answer is checked
 * against the moment of its last read. */
inline note_truth() {
#if OBS_LAGGARD
  hp = PH(word);
  htw = NONE;
  hi = 0;
  do
  :: hp != LEFT && hi < N && ((word & LANDING) && joiner == hi || ph[hi] == hp) -> htw = hi; break
  :: hp != LEFT && hi < N && !((word & LANDING) && joiner == hi || ph[hi] == hp) -> hi++
  :: else -> break
  od;
  lmoment = TRUTH(hp, htw)
#else
  skip
#endif
}

/* After every change of the word or a phase: P is never above the
 * smallest phase. */
inline check_state() {
  min_phase();
  assert(PH(word) <= hmin)
}

/* Every store to the word goes through here. */
inline set_word(nw) {
  assert(PH(nw) >= PH(word)); /* P never falls */
#if COMPLETION
  assert(PH(nw) == LEFT || PH(nw) <= completed); /* nobody goes on before the step */
#endif
#if OBS_LAGGARD
  /* The clock ticks as P rises: readings between two raises are taken at
   * one instant. */
  if :: PH(nw) > PH(word) -> clk++ :: else fi;
  hf = PH(word) + 1;
  do
  :: hf <= PH(nw) -> pubclk[hf] = clk; hf++
  :: else -> break
  od;
#endif
  word = nw;
  check_state()
}

/* futex.h */
#define FUTEX_VALUE(a) ((a) == FUTEX_WORD -> PH(word) : gword[(a) - 1])

inline futex_wait(a, expected) {
  atomic { /* futex_wait: sleeps while the word holds `expected` */
    if
    :: FUTEX_VALUE(a) == expected -> asleep[_pid] = true; waddr[_pid] = a
    :: else
    fi
  }
  atomic { !asleep[_pid] -> waddr[_pid] = 0 }
}

inline wake_sleepers(a) {
  hi = 0;
  do
  :: hi < NPROC -> if :: asleep[hi] && waddr[hi] == a -> asleep[hi] = false :: else fi; hi++
  :: else -> break
  od;
  hi = 0
}

inline futex_wake_all(a) {
  d_step { wake_sleepers(a) } /* futex_wake_all */
}

/*
 * The mutex. Taking it moves right and releasing it moves left past every
 * other thread's step, and so does an access to what only its holder
 * touches (the groups' targets, and their words but for the bump), so a
 * critical section is reduced to atomic steps that each hold one access to
 * what lock-free code touches too, the lock joining the first and the
 * unlock the last (Lipton's reduction).
 */
#define LOCK mutex == 0 -> mutex = _pid + 1 /* pthread_mutex_lock */
#define UNLOCK assert(mutex == _pid + 1); mutex = 0 /* pthread_mutex_unlock */

/* wait_list::release_groups_upto, with the mutex held; the caller stores
 * rlow into lowest_. */
inline release_groups_upto(upto) {
  rlow = LEFT;
  gi = 0;
  do
  :: gi < G ->
    d_step { /* up to the next group released: g->word.fetch_add and futex_wake_all (a
              * futex_wait between the two would return at once, as after both) */
      do
      :: gi < G && (gtarget[gi] == FREE || gtarget[gi] > upto) ->
        if :: gtarget[gi] != FREE && gtarget[gi] < rlow -> rlow = gtarget[gi] :: else fi;
        gi++
      :: else -> break
      od;
      if
      :: gi < G -> gtarget[gi] = FREE; gword[gi]++; wake_sleepers(gi + 1); gi++
      :: else
      fi
    }
  :: else -> break
  od;
  gi = 0
}

/* wait_list::wake_reached */
inline wake_reached() {
  atomic { wv = next_sleepers } /* next_sleepers_.load */
  if
  :: wv > 0 -> futex_wake_all(FUTEX_WORD)
  :: else
  fi;
  if /* the operands of `>` in either order */
  :: atomic { wv = lowest }; atomic { wp = PH(word) }
  :: atomic { wp = PH(word) }; atomic { wv = lowest }
  fi;
  if
  :: wv > wp
  :: else ->
    atomic { LOCK; wp = PH(word) } /* word_->load */
    release_groups_upto(wp);
    atomic { lowest = rlow; UNLOCK; rlow = 0 } /* lowest_.store */
  fi;
  wv = 0;
  wp = 0
}

/* wait_list::wake_all */
inline wake_all() {
  atomic { LOCK }
  release_groups_upto(LEFT);
  atomic { lowest = rlow; UNLOCK; rlow = 0 } /* lowest_.store */
  do
  :: atomic { next_sleepers > 0 -> wv = 1 } /* next_sleepers_.load */
    futex_wake_all(FUTEX_WORD)
  :: atomic { next_sleepers == 0 -> wv = 0 } -> break
  od
}

/* abort_run: the gate's load and compare-and-swap, then the wake-ups. */
inline abort_run() {
  atomic {
    if
    :: !aborted -> aborted = true; wv = 1
    :: else -> wv = 0
    fi
  }
  if
  :: wv == 1 -> wake_all()
  :: else
  fi;
  wv = 0
}

/* smallest_phase_above(floor) into low. */
inline smallest_phase_above(floor) {
  atomic { si = scan_start; sstart = si; slow = LEFT; slowest = si; send = N } /* scan_start.load */
  do
  :: si < send ->
    atomic { /* phases[i].load */
      sph = ph[si];
      if
      :: sph <= floor -> slow = floor; slowest = si; si = send
      :: else -> if :: sph < slow -> slow = sph; slowest = si :: else fi; si++
      fi
    }
  :: else ->
    if
    :: slow == floor || send == sstart -> break
    :: else -> si = 0; send = sstart
    fi
  od;
  atomic { /* scan_start.store */
    if :: slowest != sstart -> scan_start = slowest :: else fi;
    low = slow; si = 0; sstart = 0; slow = 0; slowest = 0; send = 0; sph = 0
  }
}

/* stamp(phase, ns) */
inline stamp(p, ns) {
  atomic { stamp_seq = (p << 1) | 1 }
  atomic { stamp_ns = ns }
  atomic { stamp_seq = p << 1 }
}

/* publish(pw, p, last): the owner publishes p, and with last gives the
   ownership up, in the same store unless a stamp is to be written first;
   pw becomes the new word. */
inline publish(p, last) {
  TIMED_LOAD(wv); /* timed.load */
  atomic { /* word.store */
    pw = WITH_PH(pw, p);
    if
    :: (last) && !wv -> pw = (pw & ~(LANDING | OWNED)) + OWNERSHIP /* released */
    :: else
    fi;
    set_word(pw)
  }
  if
  :: wv ->
    atomic { wp = clk }; stamp(PH(pw), wp); /* monotonic_ns */
    if
    :: (last) -> atomic { pw = (pw & ~(LANDING | OWNED)) + OWNERSHIP; set_word(pw) } /* give_up */
    :: else
    fi
  :: else
  fi;
  wake_reached()
}

/* complete(p): the completion step; cok says whether it succeeded. */
inline complete(p) {
  atomic {
    assert(!completing); /* never twice at once */
    assert(p == completed + 1); /* once per phase, in order */
    min_phase();
    assert(hmin >= p); /* after every participant reached it */
    if :: aborted -> late_completions++ :: else fi;
    assert(late_completions <= 1); /* none after an abort but one under way */
    completing = true
  }
  atomic {
    completing = false;
    completed = p;
    if
    :: cok = true
    :: completion_fails > 0 -> completion_fails--; cok = false
    fi
  }
  if
  :: !cok -> abort_run()
  :: else
  fi
}

/* publish_upto(pw, upto, release) */
inline publish_upto(upto, release) {
#if COMPLETION
  if
  :: upto == LEFT -> publish(upto, release)
  :: else ->
    pp = PH(pw) + 1;
    do
    :: pp <= upto ->
      GATE_LOAD(cok); /* gate.load */
      cok = !cok;
      if
      :: cok -> complete(pp)
      :: else
      fi;
      if
      :: !cok -> break
      :: else
      fi;
      publish(pp, (release) && pp == upto);
      pp++
    :: else -> break
    od;
    pp = 0;
    cok = false
  fi
#else
  publish(upto, release)
#endif
}

/* give_up(w): into seen */
inline give_up(w) {
  atomic { seen = (w & ~(LANDING | OWNED)) + OWNERSHIP; set_word(seen) } /* word.store */
}

/* raise(seen, mine) */
inline raise() {
  raised = false;
  do
  :: (seen & OWNED) -> break
  :: else ->
    smallest_phase_above(PH(seen));
    if
    :: low <= PH(seen) -> break
    :: else
    fi;
#if COMPLETION
    ok = false;
#else
    TIMED_LOAD(ok); /* timed.load */
    ok = !ok;
#endif
    if
    :: ok ->
      atomic { /* word.compare_exchange_strong, the raise itself */
        if
        :: word == seen -> seen = WITH_PH(seen, low); set_word(seen); raised = true
        :: else -> seen = word; ok = false
        fi
      }
      if
      :: ok && low == mine -> break
      :: else
      fi
    :: else ->
      atomic { /* word.compare_exchange_strong, taking ownership */
        if
        :: word == seen -> seen = seen | OWNED; set_word(seen); ok = true
        :: else -> seen = word
        fi
      }
      if
      :: ok ->
        pw = seen;
        publish_upto(low, true);
        if
        :: (pw & OWNED) -> give_up(pw)
        :: else -> seen = pw
        fi;
        if
        :: low == mine || PH(pw) < low -> break
        :: else
        fi
      :: else
      fi
    fi
  od;
  if
  :: raised -> wake_reached()
  :: else
  fi;
  raised = false; ok = false; low = 0; pw = 0; seen = 0
}

/* departed(old, mine) */
inline departed(old) {
  atomic { seen = word } /* word.load */
  if
  :: (PH(seen) != old && mine != LEFT) || (seen & OWNED)
  :: else -> raise()
  fi;
  seen = 0
}

/* wait_list::sleep_on_next(seen) */
inline sleep_on_next(sn) {
  atomic { next_sleepers++ } /* next_sleepers_.fetch_add */
  atomic { wv = (PH(word) == sn) } /* word_->load */
  if
  :: wv ->
    GATE_LOAD(wv); /* stopped() */
    if
    :: !wv -> futex_wait(FUTEX_WORD, sn)
    :: else
    fi
  :: else
  fi;
  atomic { next_sleepers--; wv = 0 } /* next_sleepers_.fetch_sub */
}

/* wait_list::sleep_in_group(target) */
inline sleep_in_group(t) {
  atomic { LOCK; wv = (PH(word) >= t); if :: wv -> UNLOCK :: else fi } /* word_->load */
  if
  :: !wv ->
#if ABORTABLE
    atomic { wv = aborted; if :: wv -> UNLOCK :: else fi } /* stopped() */
#else
    skip
#endif
  :: else
  fi;
  if
  :: wv
  :: else ->
    atomic { /* join(target), g->word.load, lowest_.store */
      g = NONE;
      gi = 0;
      do
      :: gi < G && gtarget[gi] == t -> g = gi; break
      :: gi < G && gtarget[gi] != t -> if :: gtarget[gi] == FREE && g == NONE -> g = gi :: else fi; gi++
      :: else -> break
      od;
      assert(g != NONE);
      gtarget[g] = t;
      gw = gword[g];
      gi = 0;
      lowest = (gtarget[g] < lowest -> gtarget[g] : lowest);
      UNLOCK
    }
    atomic { wv = (PH(word) >= t) } /* word_->load */
    if
    :: !wv -> futex_wait(g + 1, gw)
    :: else
    fi
  fi;
  wv = 0; g = 0; gw = 0
}

/* wait_list::sleep_until(target), without a deadline */
inline sleep_until(t) {
  do
  :: atomic { sn = PH(word) } /* word_->load */
    if
    :: sn >= t -> break
    :: else
    fi;
    GATE_LOAD(wv); /* stopped() */
    if
    :: wv -> break
    :: else
    fi;
    if
    :: sn == t - 1 -> sleep_on_next(sn)
    :: else -> sleep_in_group(t)
    fi
    /* its check of the word after the sleep is the next round's first */
  od;
  sn = 0; wv = 0
}

/* wait_for(target, null): rc. Its checks of the word and the gate before
 * it sleeps (reached(), spin_for) are those that sleep_until makes first. */
inline wait_for(t) {
  sleep_until(t);
  atomic { /* gate.load */
    if
    :: aborted -> rc = ABORTED
    :: else ->
      rc = OK;
      assert(PH(word) >= t); /* never released before its phase */
      NOTE_RETURNED(t)
    fi;
    wv = 0
  }
}

/* advance_participant(s), then wait_for if `await` */
inline advance(s, await) {
  GATE_LOAD(wv); /* gate_error: gate.load */
  rc = (wv -> ABORTED : OK);
  wv = 0;
  if
  :: rc == OK ->
    atomic { /* phase.load and its compare-and-swap: nobody else writes it */
      old = ph[s];
      assert(old < LEFT - 1);
      ph[s] = old + 1;
      check_state()
    }
    myph = old + 1;
    mine = myph;
    departed(old);
    if
    :: await -> wait_for(myph)
    :: else
    fi;
    old = 0; mine = 0
  :: else
  fi
}

/* zel_phaser_leave_at(s) */
inline leave(s) {
  atomic { old = ph[s]; ph[s] = LEFT; check_state() } /* phase.exchange */
  if
  :: old != LEFT -> mine = LEFT; departed(old)
  :: else
  fi;
  old = 0; mine = 0
}

/* take_ownership, into jw */
inline take_ownership() {
  atomic { jw = word } /* word.load */
  do
  :: (jw & OWNED) == 0 ->
    atomic { /* word.compare_exchange_weak */
      if
      :: word == jw -> jw = jw | OWNED; set_word(jw); ok = true
      :: else -> jw = word
      fi
    }
    if
    :: ok -> ok = false; break
    :: else
    fi
  :: else -> atomic { jw = word } /* word.load, after pausing */
  od
}

/* join_participant(j): rc, and the landing phase in myph */
inline join_participant(j) {
  take_ownership();
  smallest_phase_above(PH(jw));
  if
  :: low > PH(jw) -> pw = jw; publish_upto(low, false); jw = pw
  :: else
  fi;
  GATE_LOAD(wv); /* gate.load */
  rc = (wv -> ABORTED : (PH(jw) == LEFT -> EOVERFLOW : OK));
  wv = 0;
  if
  :: rc == OK ->
    atomic { if :: ph[j] != LEFT -> rc = EBUSY :: else fi } /* phases[j].load */
    if
    :: rc == OK ->
      atomic { joiner = j } /* joiner.store */
      atomic { /* word.store: the join takes effect */
        assert(PH(jw) >= maxcur); /* at or above every phase returned */
        set_word(jw | LANDING)
      }
      atomic { ph[j] = PH(jw); check_state() } /* phases[j].store */
      myph = PH(jw)
    :: else
    fi
  :: else
  fi;
  give_up(jw);
  mine = NONE;
  raise();
  jw = 0; mine = 0
}

/* zel_phaser_join: rc, and the participant in s */
inline join() {
  GATE_LOAD(wv); /* gate_error: gate.load */
  rc = (wv -> ABORTED : EBUSY);
  ji = 0;
  do
  :: rc == EBUSY && ji < N ->
    atomic { wv = (ph[ji] == LEFT) } /* phases[i].load */
    if
    :: wv ->
      GATE_LOAD(wv); /* zel_phaser_join_at: gate_error */
      rc = (wv -> ABORTED : OK);
      if
      :: rc == OK ->
        atomic { rc = (ph[ji] != LEFT -> EBUSY : OK) } /* phases[j].load */
        if
        :: rc == OK -> join_participant(ji)
        :: else
        fi
      :: else
      fi;
      if
      :: rc == OK -> s = ji
      :: else
      fi
    :: else
    fi;
    ji++
  :: else -> break
  od;
  ji = 0; wv = 0
}

#if OBS_LAGGARD
#define LSTEP(x) atomic { x; note_truth() }

/* laggard_now: lcur, lwho, lns, lstamped */
inline laggard_now() {
  do
  :: LSTEP(lw = word; lcur = PH(lw)) /* word.load */
    if
    :: (lw & LANDING) -> LSTEP(lander = joiner) /* joiner.load */
    :: else -> lander = NONE
    fi;
    lwho = NONE;
    li = 0;
    do
    :: lcur != LEFT && li < N && li == lander -> lwho = li; break
    :: lcur != LEFT && li < N && li != lander ->
      LSTEP(lv = ph[li]) /* phases[i].load */
      if
      :: lv == lcur -> lwho = li; break
      :: else -> li++
      fi
    :: else -> break
    od;
    atomic { lseq = stamp_seq } /* stamp_seq.load */
    atomic { lns = stamp_ns } /* stamp_ns.load */
    if
    :: lseq == lcur << 1 -> atomic { lstamped = (stamp_seq == lseq) } /* stamp_seq.load */
    :: else -> lstamped = false
    fi;
    atomic { lv = clk } /* monotonic_ns */
    atomic { lok = (word == lw) } /* word.load */
    if
    :: lok -> if :: !lstamped -> lns = lv :: else fi; break
    :: else
    fi
  od;
  lw = 0; lander = 0; li = 0; lv = 0; lseq = 0; lok = false
}

/* zel_phaser_laggard, with its checks */
inline laggard() {
  atomic { lok = timed } /* timed.load */
  if
  :: lok -> laggard_now()
  :: else -> /* start_timing */
    laggard_now();
    atomic { /* timing.compare_exchange_strong */
      if
      :: !timing -> timing = true; lok = true
      :: else -> lok = false
      fi
    }
    if
    :: lok ->
      if
      :: !lstamped -> stamp(lcur, lns)
      :: else
      fi;
      atomic { timed = true } /* timed.store */
    :: else
    fi
  fi;
  atomic {
    assert(lmoment == TRUTH(lcur, lwho)); /* its answer held at the moment of its last read */
    assert(lns >= pubclk[lcur]); /* since: not before P reached the phase */
    assert(lcur <= lastph || lns >= lastns); /* a larger phase, no earlier since */
    lastph = lcur;
    lastns = lns;
    NOTE_RETURNED(lcur);
    lmoment = 0;
    lcur = 0; lwho = 0; lns = 0; lstamped = false; lok = false
  }
}
#endif

#define RAISE_LOCALS int seen, pw; byte mine, low, pp, sstart, slow, slowest, si, send, sph, wv, wp, rlow, gi; bool raised, ok, cok
#define WAIT_LOCALS byte sn, g, gw

proctype worker(byte w) {
  RAISE_LOCALS;
  WAIT_LOCALS;
  int jw;
  byte s = w, myph, old, rc, ji;
  byte rounds = (w >= W - REJOINERS -> REJOINS : 0);

  if
  :: w >= N - SPARE -> /* the workers beyond the participants in use start by joining */
    s = NONE;
    join();
    if
    :: rc != OK -> goto done
    :: else
    fi
  :: else
  fi;
  do
  :: WORK_ADVANCE && s != NONE && myph < MAXPH ->
    advance(s, false);
    if :: rc == ABORTED -> break :: else fi
  :: WORK_AWAIT && s != NONE && myph < MAXPH ->
    advance(s, true);
    if :: rc == ABORTED -> break :: else fi
  :: s != NONE && rounds > 0 ->
    rounds--;
    leave(s);
    s = NONE;
    join();
    if
    :: rc != OK -> break
    :: else
    fi
  :: s != NONE && (EARLY_LEAVE || myph == MAXPH) -> leave(s); break
  od;
done:
  skip
}

proctype observer() {
  RAISE_LOCALS;
  WAIT_LOCALS;
  byte ops = OBS_OPS, t, rc, c, lastcur;
  bool did_abort;
#if OBS_LAGGARD
  int lw;
  byte lcur, lwho, lander, li, lv, lseq, lns, lastph, lastns, lmoment;
  bool lstamped, lok;
#endif

  do
  :: ops == 0 -> break
  :: ops > 0 -> break
  :: ops > 0 ->
    ops--;
    if
    :: OBS_CURRENT -> /* zel_phaser_current */
      atomic {
        c = PH(word);
        assert(c >= lastcur); /* current never falls */
        lastcur = c;
        NOTE_RETURNED(c);
        c = 0
      }
#if OBS_LAGGARD
    :: laggard()
#endif
    :: OBS_AWAIT -> /* zel_phaser_await_phase; its gate_error answers as the wait's checks */
      select(t : 1 .. MAXPH + 1);
      wait_for(t);
      t = 0; rc = 0
    :: OBS_ABORT && !did_abort -> did_abort = true; abort_run() /* zel_phaser_abort */
    fi
  od
}

init {
  byte i;
  atomic {
    i = 0;
    do
    :: i < G -> gtarget[i] = FREE; i++
    :: else -> break
    od;
    i = N - SPARE;
    do
    :: i < N -> ph[i] = LEFT; i++
    :: else -> break
    od;
    i = 0;
    do
    :: i < W -> run worker(i); i++
    :: else -> break
    od;
    run observer();
    i = 0
  }
  (_nr_pr == 1); /* every thread has returned: nobody sleeps for good */
  assert(mutex == 0 && next_sleepers == 0 && !completing);
  assert((word & (OWNED | LANDING)) == 0);
  min_phase();
  /* Once no operation is in flight, P is the smallest phase (after an
   * abort, a phaser with a completion step stays where it stopped). */
  assert(PH(word) == hmin || COMPLETION && aborted)
}
