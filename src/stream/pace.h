#ifndef ZTV_STREAM_PACE_H
#define ZTV_STREAM_PACE_H

// Keeps a channel stream in step with the clock. The service's timeline
// moves with the clock, so a stream that ran ahead of it would reach the end
// of its list early and find the fresh timeline still naming what it has
// sent. From the first picture at the live position on (after the jump to
// it, or the first picture when there is none), a tag goes out no earlier
// than its timestamp allows, less a fixed lead; the lead itself goes out at
// once, so the player's buffer fills as fast as before. The relay is not paced.

#include <stdint.h>

#include "stream/session.h"

// How far the stream may run ahead of the clock, in ms. It covers a
// timeline download and a video connect (each given up after 5 s) at a join
// without the player's buffer running dry.
#define ZTV_PACE_LEAD_MS 10000

// The clock time (ms, monotonicMs) before which the unit at `unit` (a
// tag of `length` bytes from getFLVPacket, block first) must not go out; 0
// when it may go out at once. The first picture at the live position is
// taken as the start of the clock.
int64_t paceDueMs(StreamSession* session, const uint8_t* unit, int32_t length, int64_t nowMs);

// Waits until paceDueMs has come, or until socket_interrupt cuts the wait.
void paceChannelUnit(StreamSession* session, const uint8_t* unit, int32_t length);

#endif  // ZTV_STREAM_PACE_H
