#ifndef ZTV_STREAM_KEYFRAME_INDEX_H
#define ZTV_STREAM_KEYFRAME_INDEX_H

// The keyframe index of the current video (from its onMetaData script tag)
// and the jump to the live position: at the second video keyframe of a
// source while liveJumpSec is set, the re-muxer asks flvLiveSeek, which may drop
// the source so that the video is re-opened with "?start=" at a keyframe.

#include <stdint.h>
#include <time.h>

#include "stream/session.h"

// Reads the "filepositions" and "times" arrays of a script tag body of
// `length` bytes into the session's index, replacing the previous one. 0 when
// an index was decoded (possibly shorter than announced), -1 when there is
// none: an array missing or its count cut off by the end of the body, counts
// that differ, or no memory. Never reads beyond `length` bytes. Values are
// truncated to whole numbers; NaN and negatives become 0, values of 2^32 and
// more 4294967295.
int decodeFLVMetaPacket(StreamSession** session, const uint8_t* body, uint32_t length);

// Moves reopenSec and seekFilePos to the keyframe nearest liveJumpSec (below
// the first keyframe: reopenSec to liveJumpSec, seekFilePos as it was). 0
// when they describe the target; -1, with all three 0, when there is nothing
// to seek.
int flvTimeToFileposition(StreamSession** session);

// Called for each video keyframe tag while liveJumpSec != 0, with the timestamp
// step the re-muxer added for this tag and the current time. At the second
// such keyframe it adds the seconds since the timeline's fetchTime (0 when
// the clock went backwards, the sum held at 4294967295) and looks the
// keyframe up; without an index, or at a keyframe at 0, the jump is given
// up (liveJumpSec 0). True when a seek was started: the source is closed,
// seekPending set, the step taken back from outTimestamp, and the tag must
// be dropped.
bool flvLiveSeek(StreamSession** session, uint32_t step, time_t now);

#endif  // ZTV_STREAM_KEYFRAME_INDEX_H
