// Thread slot registry.
//
// Design: the registry is an append-only singly linked list of entries
// (thread identifier, slot), in the order in which threads first asked.
// Entries are never changed after they are published, except that the last
// entry's `next` goes from null to the new entry once; none is ever freed.
// Lookups and appends are both lock-free.
//
// Invariants:
//  - slots are 0, 1, 2, ... along the list;
//  - an entry is fully written before it is published by a release
//    compare-and-swap (of map_base, or of the last entry's null `next`), so
//    a reader that finds it with acquire loads sees its fields;
//  - an append succeeds only on the entry that is last at that moment, and
//    the new entry's slot is that entry's slot plus 1, so two new threads
//    can never get the same slot and no slot is skipped. An append that
//    loses the race moves on to the entry that won, checking its identifier,
//    so two overlapping first calls for the same thread cannot both add it;
//  - each thread caches its own slot in a thread-local variable after its
//    first call: asking again for its own slot walks nothing.

#include "zel_phaser.h"

#include <atomic>
#include <climits>
#include <cstdlib>
#include <new>

namespace {

struct map_t {
  pthread_t id;
  int32_t pos;
  std::atomic<map_t *> next;
};

std::atomic<map_t *> map_base{nullptr};

// -1 until the thread's first successful call for itself.
thread_local int32_t own_slot = -1;

// Returns the entry of `id`, or null; then *last is the last entry seen
// (null if the registry was empty).
map_t *map_find(pthread_t id, map_t **last) {
  *last = nullptr;
  for (map_t *e = map_base.load(std::memory_order_acquire); e != nullptr;
       e = e->next.load(std::memory_order_acquire)) {
    if (pthread_equal(e->id, id)) return e;
    *last = e;
  }
  return nullptr;
}

// Returns a new entry holding `id` and `pos` with a null `next`, or null when
// no memory is left.
map_t *map_add_element(pthread_t id, int32_t pos) {
  void *raw = std::malloc(sizeof(map_t));
  if (raw == nullptr) return nullptr;
  return new (raw) map_t{id, pos, {nullptr}};
}

// Appends `id` after `last`, the end of the list as a lookup that did not
// find `id` saw it, unless an overlapping call appended it first. Returns
// its slot, or -1 when the entry cannot be allocated or the slots are
// exhausted.
int32_t map_append(pthread_t id, map_t *last) {
  map_t *fresh = map_add_element(id, 0);
  if (fresh == nullptr) return -1;

  if (last == nullptr) {
    if (map_base.compare_exchange_strong(last, fresh, std::memory_order_release,
                                         std::memory_order_acquire)) {
      return 0;
    }
  }
  for (;;) {
    if (pthread_equal(last->id, id)) break;
    map_t *next = last->next.load(std::memory_order_acquire);
    if (next == nullptr) {
      if (last->pos == INT32_MAX) break;
      fresh->pos = last->pos + 1;
      if (last->next.compare_exchange_strong(next, fresh, std::memory_order_release,
                                             std::memory_order_acquire)) {
        return fresh->pos;
      }
    }
    last = next;  // the next entry, or the one that won the race
  }
  fresh->~map_t();
  std::free(fresh);
  return pthread_equal(last->id, id) ? last->pos : -1;
}

}  // namespace

extern "C" int32_t tid_slot(pthread_t id) {
  const bool self = pthread_equal(id, pthread_self()) != 0;
  if (self && own_slot >= 0) return own_slot;

  map_t *last = nullptr;
  const map_t *found = map_find(id, &last);
  const int32_t slot = found != nullptr ? found->pos : map_append(id, last);
  if (self) own_slot = slot;
  return slot;
}
