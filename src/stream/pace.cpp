#include "stream/pace.h"

#include "base/clock.h"
#include "net/socket.h"
#include "stream/flv_block.h"

namespace {

// Beyond this many ms from the start of the clock, both ends of it move on
// by the same amount, so that the 32-bit timestamps never wrap within it.
const uint32_t kRebaseAfterMs = 1u << 30;

}  // namespace

int64_t paceDueMs(StreamSession* session, const uint8_t* unit, int32_t length, int64_t nowMs) {
  if (length < static_cast<int32_t>(kBlockSize)) return 0;  // the file header
  const uint8_t type = unit[4];
  if (type != kAudioTag && type != kVideoTag) return 0;
  const uint32_t timestamp = readTimestamp(unit);
  if (!session->paceStarted) {
    // Not before the jump to the live position.
    if (type != kVideoTag || session->liveJumpSec != 0 || session->seekPending) return 0;
    session->paceStarted = true;
    session->paceStartMs = nowMs;
    session->paceStartTimestamp = timestamp;
    return 0;
  }
  const int32_t sinceStart = (int32_t)(timestamp - session->paceStartTimestamp);
  if (sinceStart <= 0) return 0;  // audio slightly before the first picture
  if ((uint32_t)sinceStart >= kRebaseAfterMs) {
    session->paceStartMs += sinceStart;
    session->paceStartTimestamp = timestamp;
    return session->paceStartMs - ZTV_PACE_LEAD_MS;
  }
  const int64_t due = session->paceStartMs + sinceStart - ZTV_PACE_LEAD_MS;
  // Whatever its timestamp says, no unit waits longer than the lead: the
  // start of the clock moves up to it, and the units behind it keep their
  // distance to it.
  if (due - nowMs > ZTV_PACE_LEAD_MS) {
    session->paceStartMs -= due - nowMs - ZTV_PACE_LEAD_MS;
    return nowMs + ZTV_PACE_LEAD_MS;
  }
  return due;
}

void paceChannelUnit(StreamSession* session, const uint8_t* unit, int32_t length) {
  const int64_t now = monotonicMs();
  const int64_t due = paceDueMs(session, unit, length, now);
  if (due > now) (void)socket_sleepUntil(due);
}
