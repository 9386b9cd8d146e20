// The keyframe index decoder over arbitrary script tag bodies, then the
// nearest-keyframe lookup and the live-position seek over what it decoded.
// Input: 4 bytes of wanted time (big-endian seconds), then the body.

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "base/heap.h"
#include "stream/keyframe_index.h"
#include "stream/session.h"
#include "support/flv.h"
#include "support/fuzz_support.h"

using testsupport::fuzzCheck;

namespace {

bool isIndexTime(const StreamSession& s, uint32_t time) {
  for (uint32_t i = 0; i < s.keyframeCount; ++i) {
    if (s.keyframeTimes[i] == time) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4 || size - 4 > UINT32_MAX - 1) return 0;
  const uint32_t length = static_cast<uint32_t>(size - 4);
  // The re-muxer hands over the body with one zero byte behind it.
  HeapArray<uint8_t> body = allocZeroed<uint8_t>(size_t{length} + 1);
  if (!body) return 0;
  if (length != 0) std::memcpy(body.get(), data + 4, length);

  StreamSession s;
  StreamSession* session = &s;
  const int decoded = decodeFLVMetaPacket(&session, body.get(), length);
  fuzzCheck(decoded == 0 || s.keyframeCount == 0);
  fuzzCheck(s.keyframeCount <= length / 9);  // each entry needs a whole element in the body
  if (decoded == 0) fuzzCheck(s.keyframeFilePositions && s.keyframeTimes);

  const uint32_t wanted = testsupport::readBig(data, 4);
  s.liveJumpSec = wanted;
  s.seekFilePos = 12345;
  const int found = flvTimeToFileposition(&session);
  if (wanted == 0 || s.keyframeCount == 0) {
    fuzzCheck(found == -1 && s.liveJumpSec == 0 && s.reopenSec == 0 && s.seekFilePos == 0);
  } else {
    // Either a keyframe of the index, or (below the first one) the wanted time at the old position.
    fuzzCheck(found == 0 && s.liveJumpSec == wanted);
    fuzzCheck(isIndexTime(s, s.reopenSec) || (s.reopenSec == wanted && s.seekFilePos == 12345));
  }

  // The seek itself, at a second keyframe, with the wanted time as the step.
  s.liveJumpSec = wanted;
  s.reopenSec = 0;
  s.keyframesSeen = 1;
  s.outTimestamp = 0;
  const bool seeks = flvLiveSeek(&session, wanted, 0);
  fuzzCheck(seeks == (s.reopenSec != 0) && seeks == (s.liveJumpSec != 0));
  fuzzCheck(!seeks || (s.seekPending && s.outTimestamp == 0u - wanted));
  return 0;
}
