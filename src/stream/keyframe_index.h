#ifndef ZTV_STREAM_KEYFRAME_INDEX_H
#define ZTV_STREAM_KEYFRAME_INDEX_H

// The keyframe index of the current video (from its onMetaData script tag)
// and the jump to the live position: at the second video keyframe of a
// source while seekTime is set, the re-muxer asks flvLiveSeek, which may drop
// the source so that the video is re-opened with "?start=" at a keyframe.

#include <cstdint>
#include <ctime>

#include "stream/session.h"

// Reads the "filepositions" and "times" arrays of a script tag body of
// `length` bytes into the session's index. 0 when an index was decoded,
// -1 when there is none.
int decodeFLVMetaPacket(StreamSession** session, const uint8_t* body, uint32_t length);

// Moves seekTime and seekFilePos to the keyframe nearest seekTime. 0 when they
// describe the target; -1, with both 0, when there is nothing to seek.
int flvTimeToFileposition(StreamSession** session);

// Called for each video keyframe tag while seekTime != 0, with the timestamp
// step the re-muxer added for this tag and the current time. True when a
// seek was started: the source is closed, seekPending set, and the tag must
// be dropped.
bool flvLiveSeek(StreamSession** session, uint32_t step, time_t now);

#endif  // ZTV_STREAM_KEYFRAME_INDEX_H
