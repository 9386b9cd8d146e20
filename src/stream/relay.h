#ifndef ZTV_STREAM_RELAY_H
#define ZTV_STREAM_RELAY_H

// The chunk source of a relay request: the body of videoUrl, unchanged, one
// chunk per call, until the source gives a chunk shorter than asked for.

#include <stdint.h>

#include "base/heap.h"
#include "stream/session.h"

// Reads up to `capacity` bytes (never more than the buffer holds) to the
// start of `*buffer`; returns the count, 0 when the relay is over.
int getTransparentPacket(StreamSession** session, ByteBuffer* buffer, uint32_t capacity);

#endif  // ZTV_STREAM_RELAY_H
