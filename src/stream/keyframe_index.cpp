#include "stream/keyframe_index.h"

#include <math.h>
#include <string.h>

#include "base/bytes.h"
#include "base/heap.h"
#include "base/language.h"
#include "log/log.h"

namespace {

constexpr const char* kDecodeName = "decodeFLVMetaPacket";

// The AMF0 name of each array followed by the strict-array marker 0A. The
// length prefix in front of the name is not part of the pattern.
constexpr TextView kPositionsPattern{"filepositions\x0A", 14};
constexpr TextView kTimesPattern{"times\x0A", 6};

constexpr uint32_t kCountSize = 4;
constexpr uint32_t kElementSize = 9;  // number marker 00 and an 8-byte double
constexpr uint8_t kNumberMarker = 0x00;

// Offset just behind the first match of `pattern`, or 0 when there is none.
// Only starts p with p + pattern size < length are tried, so a match always
// leaves at least one byte behind it.
uint32_t findCountOffset(const uint8_t* body, uint32_t length, TextView pattern) {
  const uint32_t size = static_cast<uint32_t>(pattern.size);
  for (uint32_t p = 0; p + size < length; ++p) {
    if (memcmp(body + p, pattern.data, size) == 0) return p + size;
  }
  return 0;
}

// Drops the fraction. A plain cast is undefined for values outside the
// unsigned 32-bit range, so NaN and negatives become 0 and anything at or
// above 2^32 (infinity included) becomes the largest value.
uint32_t toUnsigned32(double value) {
  if (isnan(value) || value <= 0.0) return 0;
  if (value >= 4294967296.0) return UINT32_MAX;
  return static_cast<uint32_t>(value);
}

// How many whole elements fit between `cursor` and the end of the body.
uint32_t elementsThatFit(uint32_t cursor, uint32_t length) {
  return cursor >= length ? 0 : (length - cursor) / kElementSize;
}

bool isNumberAt(const uint8_t* body, uint32_t length, uint32_t cursor) {
  return elementsThatFit(cursor, length) > 0 && body[cursor] == kNumberMarker;
}

// Walks both arrays in step from their first elements; returns the number
// of entries stored. Stops at `count`, at a non-number or at the body's end.
uint32_t walkIndex(StreamSession& s, const uint8_t* body, uint32_t length, uint32_t count,
                   uint32_t positionsCursor, uint32_t timesCursor) {
  uint32_t stored = 0;
  while (stored < count && isNumberAt(body, length, positionsCursor) &&
         isNumberAt(body, length, timesCursor)) {
    double position = readBigEndianDouble(body + positionsCursor + 1);
    double time = readBigEndianDouble(body + timesCursor + 1);
    positionsCursor += kElementSize;
    timesCursor += kElementSize;
    Log(DEBUG, " Keyframe: %d, Time: %f, Fileposition: %f", static_cast<int>(stored), time, position);
    s.keyframeFilePositions[stored] = toUnsigned32(position);
    s.keyframeTimes[stored] = toUnsigned32(time);
    ++stored;
  }
  return stored;
}

// The seconds since the timeline download, 0 when the clock went backwards
// or there is no timeline, at most UINT32_MAX.
uint32_t elapsedSince(const StreamSession& s, time_t now) {
  if (!s.timeline) return 0;
  int64_t elapsed = static_cast<int64_t>(now) - static_cast<int64_t>(s.timeline->fetchTime);
  if (elapsed <= 0) return 0;
  return elapsed >= int64_t{UINT32_MAX} ? UINT32_MAX : static_cast<uint32_t>(elapsed);
}

uint32_t addSaturating(uint32_t a, uint32_t b) {
  return b > UINT32_MAX - a ? UINT32_MAX : a + b;
}

void takeEntry(StreamSession& s, uint32_t entry) {
  s.reopenSec = s.keyframeTimes[entry];
  s.seekFilePos = s.keyframeFilePositions[entry];
}

}  // namespace

int decodeFLVMetaPacket(StreamSession** session, const uint8_t* body, uint32_t length) {
  StreamSession& s = **session;
  Log(DEBUG, "%s, decode META data", kDecodeName);
  s.keyframeFilePositions.reset();
  s.keyframeTimes.reset();
  s.keyframeCount = 0;

  const uint32_t positionsAt = findCountOffset(body, length, kPositionsPattern);
  const uint32_t timesAt = findCountOffset(body, length, kTimesPattern);
  Log(DEBUG, "%s, Array filepositions start at : %08X", kDecodeName, positionsAt);
  Log(DEBUG, "%s, Array times start at         : %08X", kDecodeName, timesAt);
  if (positionsAt == 0 || timesAt == 0) return -1;
  // A count cut off by the end of the body counts as missing.
  if (length - positionsAt < kCountSize || length - timesAt < kCountSize) return -1;

  const uint32_t positionsCount = readBigEndian32(body + positionsAt);
  const uint32_t timesCount = readBigEndian32(body + timesAt);
  Log(DEBUG, "%s, Array filepositions size    : %08X", kDecodeName, positionsCount);
  Log(DEBUG, "%s, Array times size            : %08X", kDecodeName, timesCount);
  if (positionsCount != timesCount) return -1;

  // The count comes from the source: size the arrays by what the body can
  // actually hold, so a forged count cannot claim gigabytes.
  const uint32_t positionsCursor = positionsAt + kCountSize;
  const uint32_t timesCursor = timesAt + kCountSize;
  const uint32_t capacity = minOf(positionsCount, minOf(elementsThatFit(positionsCursor, length),
                                                                elementsThatFit(timesCursor, length)));
  s.keyframeFilePositions = allocZeroed<uint32_t>(size_t{capacity} + 1);
  s.keyframeTimes = allocZeroed<uint32_t>(size_t{capacity} + 1);
  if (!s.keyframeFilePositions || !s.keyframeTimes) {
    Log(ERROR, "%s, Couldn't allocate memory!", kDecodeName);
    return -1;
  }
  s.keyframeCount = walkIndex(s, body, length, capacity, positionsCursor, timesCursor);
  return 0;
}

int flvTimeToFileposition(StreamSession** session) {
  StreamSession& s = **session;
  const uint32_t wanted = s.liveJumpSec;
  if (wanted == 0 || s.keyframeCount == 0 || !s.keyframeTimes || !s.keyframeFilePositions) {
    s.liveJumpSec = 0;
    s.reopenSec = 0;
    s.seekFilePos = 0;
    return -1;
  }
  const uint32_t last = s.keyframeCount - 1;
  if (wanted >= s.keyframeTimes[last]) {
    takeEntry(s, last);
    return 0;
  }
  for (uint32_t i = 0; i < last; ++i) {
    const uint32_t before = s.keyframeTimes[i];
    const uint32_t after = s.keyframeTimes[i + 1];
    if (before <= wanted && wanted <= after) {
      // Equal distance goes to the later keyframe.
      takeEntry(s, wanted - before < after - wanted ? i : i + 1);
      return 0;
    }
  }
  // Below the first keyframe: the wanted time itself, the position as it was.
  s.reopenSec = wanted;
  return 0;
}

bool flvLiveSeek(StreamSession** session, uint32_t step, time_t now) {
  StreamSession& s = **session;
  if (s.liveJumpSec == 0) return false;
  if (++s.keyframesSeen != 2) return false;

  s.liveJumpSec = addSaturating(s.liveJumpSec, elapsedSince(s, now));
  // A keyframe at 0 is where the video stands: no jump is needed after all.
  if (flvTimeToFileposition(session) != 0 || s.reopenSec == 0) {
    s.liveJumpSec = 0;
    return false;
  }

  // The dropped keyframe tag must leave no trace in the output timestamps.
  s.outTimestamp -= step;
  s.source.reset();
  s.sourceHeaderRead = false;
  s.keyframesSeen = 0;
  s.patchPrevTagSize = true;
  s.seekPending = true;
  Log(DEBUG, "\nSeek video Time = %d sec. File position = %d \n", static_cast<int>(s.reopenSec),
      static_cast<int>(s.seekFilePos));
  return true;
}
