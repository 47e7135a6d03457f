// Cost of a slot look-up: a thread asking for its own slot (the phaser's
// case, served from a thread-local copy) against a look-up on another
// thread's behalf, which walks the registry, with `range(0)` entries
// registered. Runs in phaser_bench after the pool has taken its slots; the
// extra entries use made-up identifiers that no thread owns.

#include "zel_phaser.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <map>

namespace {

pthread_t made_up_id(uint64_t n) {
  pthread_t id{};
  const uint64_t value = 0xfeed000000000000ULL + n;
  std::memcpy(&id, &value, sizeof value < sizeof id ? sizeof value : sizeof id);
  return id;
}

// Registers made-up identifiers until the registry holds at least `entries`;
// returns the identifier in slot entries - 1.
pthread_t fill_registry(int64_t entries) {
  static std::map<int64_t, pthread_t> by_slot;
  static uint64_t made = 0;
  while (by_slot.empty() || by_slot.rbegin()->first + 1 < entries) {
    const pthread_t id = made_up_id(made++);
    by_slot[tid_slot(id)] = id;
  }
  auto it = by_slot.lower_bound(entries - 1);
  return it->second;
}

void BM_tid_slot_own(benchmark::State &state) {
  fill_registry(state.range(0));
  const pthread_t self = pthread_self();
  for (auto _ : state) benchmark::DoNotOptimize(tid_slot(self));
}

void BM_tid_slot_walk_to_last(benchmark::State &state) {
  const pthread_t last = fill_registry(state.range(0));
  for (auto _ : state) benchmark::DoNotOptimize(tid_slot(last));
}

BENCHMARK(BM_tid_slot_own)->Arg(16)->Arg(256);
BENCHMARK(BM_tid_slot_walk_to_last)->Arg(16)->Arg(256);

}  // namespace
