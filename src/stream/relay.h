#ifndef ZTV_STREAM_RELAY_H
#define ZTV_STREAM_RELAY_H

// The chunk source of a relay request: the body of videoUrl, unchanged, one
// chunk per call (what the source had, up to the capacity), until the source
// ends, fails or stays silent for five seconds.

#include <stdint.h>

#include "base/heap.h"
#include "stream/session.h"

enum class RelaySource : uint8_t {
  kOpen,     // connected; the body comes next
  kMissing,  // it cannot be had (logged)
  kRefused,  // it is this box itself, and the player is elsewhere (logged)
};

// Opens videoUrl ahead of the answer to the player (asking for playerRange
// when there is one), so that the answer can say whether there is a body. A player elsewhere (playerElsewhere) gets no
// source that is this box itself: the box's own services that trust
// loopback stay its own.
RelaySource openTransparentSource(StreamSession* session);

// Reads what the source has, up to `capacity` bytes (never more than the
// buffer holds), to the start of `*buffer`; returns the count, 0 when the
// relay is over.
int getTransparentPacket(StreamSession** session, ByteBuffer* buffer, uint32_t capacity);

#endif  // ZTV_STREAM_RELAY_H
