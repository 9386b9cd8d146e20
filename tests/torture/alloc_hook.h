#ifndef ZTV_TESTS_TORTURE_ALLOC_HOOK_H
#define ZTV_TESTS_TORTURE_ALLOC_HOOK_H

// Makes one chosen allocation fail. The binary that holds this hook is linked
// with --wrap for malloc, calloc and realloc (so every call from the code in
// that link comes here) and replaces the global operator new and delete; all
// of them count through one per-thread counter, so the threads of a fake
// server never disturb the thread under test.
//
//   allochook::arm(0);                  // count only
//   run();
//   uint64_t total = allochook::disarm();
//   for (uint64_t n = 1; n <= total; ++n) { allochook::arm(n); run(); allochook::disarm(); }

#include <cstdint>

namespace allochook {

// From now on, on this thread: count allocations and fail the `failAt`-th
// one (1-based; 0 fails none).
void arm(uint64_t failAt);

// Stops counting on this thread; the allocations counted since arm().
uint64_t disarm();

// Whether the allocation chosen by the last arm() has been failed.
bool failureDelivered();

// Neither counts nor fails while it lives (for the test's own bookkeeping
// inside an armed stretch); counting goes on where it stopped afterwards.
class Paused {
 public:
  Paused();
  ~Paused();
  Paused(const Paused&) = delete;
  Paused& operator=(const Paused&) = delete;

 private:
  bool wasArmed_;
};

}  // namespace allochook

#endif  // ZTV_TESTS_TORTURE_ALLOC_HOOK_H
