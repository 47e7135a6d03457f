// Thread slot registry.
//
// Design: the registry is an append-only singly linked list of entries
// (thread identifier, slot), in the order in which threads first asked.
// Entries are never changed after they are published, except that the last
// entry's `next` goes from null to the new entry once; none is ever freed.
//
// Invariants:
//  - slots are 0, 1, 2, ... along the list, so map_last->pos + 1 is the next
//    slot to hand out;
//  - an entry is fully written before it is published by a release store
//    (to map_base or to the old last entry's `next`), so a reader that finds
//    it with acquire loads sees its fields; lookups therefore walk the list
//    without a lock;
//  - appends are serialised by `append_lock`, and an append walks the list
//    once more under the lock, so two overlapping first calls for the same
//    thread cannot both add it and two new threads cannot get the same slot;
//  - each thread caches its own slot in a thread-local variable after its
//    first call: asking again for its own slot takes no lock and walks
//    nothing.

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
map_t *map_last = nullptr;  // guarded by append_lock
pthread_mutex_t append_lock = PTHREAD_MUTEX_INITIALIZER;

// -1 until the thread's first successful call for itself.
thread_local int32_t own_slot = -1;

map_t *map_find(pthread_t id) {
  for (map_t *e = map_base.load(std::memory_order_acquire); e != nullptr;
       e = e->next.load(std::memory_order_acquire)) {
    if (pthread_equal(e->id, id)) return e;
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

// Appends `id` unless an overlapping call did so first. Returns its slot, or
// -1 when the entry cannot be allocated or the slots are exhausted.
int32_t map_append(pthread_t id) {
  pthread_mutex_lock(&append_lock);
  int32_t slot = -1;
  if (map_t *found = map_find(id)) {
    slot = found->pos;
  } else if (map_last == nullptr) {
    if (map_t *e = map_add_element(id, 0)) {
      map_last = e;
      map_base.store(e, std::memory_order_release);
      slot = 0;
    }
  } else if (map_last->pos < INT32_MAX) {
    if (map_t *e = map_add_element(id, map_last->pos + 1)) {
      map_last->next.store(e, std::memory_order_release);
      map_last = e;
      slot = e->pos;
    }
  }
  pthread_mutex_unlock(&append_lock);
  return slot;
}

}  // namespace

extern "C" int32_t tid_slot(pthread_t id) {
  const bool self = pthread_equal(id, pthread_self()) != 0;
  if (self && own_slot >= 0) return own_slot;

  const map_t *found = map_find(id);
  const int32_t slot = found != nullptr ? found->pos : map_append(id);
  if (self) own_slot = slot;
  return slot;
}
