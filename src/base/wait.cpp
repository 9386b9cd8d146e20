#include "base/wait.h"

#include <errno.h>
#include <poll.h>

#include "base/language.h"

Step waitStep(int fd, short events, int64_t deadlineMs) {
  pollfd watched{fd, events, 0};
  const int64_t stepMs = clampTo<int64_t>(msLeft(deadlineMs), 0, kWaitStepMs);
  const int ready = poll(&watched, 1, static_cast<int>(stepMs));
  if (ready > 0) return Step::kReady;
  if (ready < 0 && errno != EINTR) return Step::kFailed;
  return Step::kNotYet;
}
