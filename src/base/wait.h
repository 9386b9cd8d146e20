#ifndef ZTV_BASE_WAIT_H
#define ZTV_BASE_WAIT_H

// The one way the program waits: toward a deadline on the monotonic clock
// (monotonicMs), one step at a time, so that the loop around the step sees
// its own stop condition (a server's stop, an interrupt) within kWaitStepMs.
// A wait reads: until <stop condition> or passed(deadlineMs): waitStep.

#include <poll.h>
#include <stdint.h>

#include "base/clock.h"

// The longest single step of any wait: how soon a wait notices a stop.
constexpr int64_t kWaitStepMs = 100;

// A deadline that never comes: every step is a whole kWaitStepMs.
constexpr int64_t kNoDeadlineMs = INT64_MAX;

// Milliseconds until `deadlineMs`; 0 or less once it has come.
inline int64_t msLeft(int64_t deadlineMs) { return deadlineMs - monotonicMs(); }

// Whether `deadlineMs` has come.
inline bool passed(int64_t deadlineMs) { return msLeft(deadlineMs) <= 0; }

// What one step of a wait came to.
enum class Step : uint8_t {
  kReady,   // the descriptor is ready
  kNotYet,  // the step went by (to its end, the deadline, or a signal)
  kFailed,  // poll failed; errno says why (never EINTR)
};

// Waits for `events` (POLLIN, POLLOUT) on `fd` (-1: on nothing, a plain sleep) for one step:
// kWaitStepMs or until `deadlineMs`, whichever comes first; a deadline that
// has passed still gets one look, without waiting. poll rather than select:
// a descriptor at or above FD_SETSIZE would overrun an fd_set.
Step waitStep(int fd, short events, int64_t deadlineMs);

#endif  // ZTV_BASE_WAIT_H
