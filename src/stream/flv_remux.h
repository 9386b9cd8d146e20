#ifndef ZTV_STREAM_FLV_REMUX_H
#define ZTV_STREAM_FLV_REMUX_H

// The channel's videos as one continuous FLV stream, one unit per call: first
// the synthesized 9-byte file header, then one tag per call (its 15-byte
// block of PreviousTagSize and tag header, then its body), video after video,
// with audio and video timestamps rising together across the joins and the
// PreviousTagSize chain patched there.

#include <stdint.h>

#include "base/heap.h"
#include "stream/session.h"

// Places the next unit at the start of `*buffer` and returns its length; 0
// when the stream is over or failed (the source is then closed). A tag body
// is read in place, with one byte of room behind it: when the unit and that
// byte exceed `capacity`, the buffer grows to exactly that size.
int32_t getFLVPacket(StreamSession** session, ByteBuffer* buffer, uint32_t capacity);

#endif  // ZTV_STREAM_FLV_REMUX_H
