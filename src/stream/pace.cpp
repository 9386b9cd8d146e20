#include "stream/pace.h"

#include "base/bytes.h"
#include "base/clock.h"
#include "net/socket.h"

namespace {

const int32_t kBlockSize = 15;  // PreviousTagSize and the 11-byte tag header
const uint8_t kAudioTag = 8;
const uint8_t kVideoTag = 9;
// Beyond this many ms from the start of the clock, both ends of it move on
// by the same amount, so that the 32-bit timestamps never wrap within it.
const uint32_t kRebaseAfterMs = 1u << 30;

uint32_t timestampOf(const uint8_t* unit) {
  return ((uint32_t)unit[11] << 24) | readBigEndian24(unit + 8);  // bits 24-31 come last
}

}  // namespace

int64_t paceDueMs(StreamSession* session, const uint8_t* unit, int32_t length, int64_t nowMs) {
  if (length < kBlockSize) return 0;  // the file header
  const uint8_t type = unit[4];
  if (type != kAudioTag && type != kVideoTag) return 0;
  const uint32_t timestamp = timestampOf(unit);
  if (!session->paceStarted) {
    // Before the jump to the live position, seekTime is still set.
    if (type != kVideoTag || session->seekTime != 0 || session->seekPending) return 0;
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
  return session->paceStartMs + sinceStart - ZTV_PACE_LEAD_MS;
}

void paceChannelUnit(StreamSession* session, const uint8_t* unit, int32_t length) {
  const int64_t now = monotonicMs();
  const int64_t due = paceDueMs(session, unit, length, now);
  if (due > now) (void)socket_sleepUntil(due);
}
