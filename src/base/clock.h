#ifndef ZTV_BASE_CLOCK_H
#define ZTV_BASE_CLOCK_H

// The clock of every wait (a download's five seconds, a request's wait, a
// send's grace): monotonic, so that a change of the wall clock neither ends
// a wait early nor stretches it, and read with clock_gettime alone, as the
// C++ library's clocks do not come along to a player.

#include <stdint.h>
#include <time.h>

// Milliseconds on the monotonic clock, from an arbitrary start.
inline int64_t monotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

#endif  // ZTV_BASE_CLOCK_H
