#ifndef ZTV_STREAM_FLV_BLOCK_H
#define ZTV_STREAM_FLV_BLOCK_H

// The 15-byte block in front of every FLV tag body, as the re-muxer writes it
// and the pacing of a channel reads it: PreviousTagSize (4 bytes), then the
// tag header (type, 24-bit DataSize, timestamp, stream id).

#include <stdint.h>

#include "base/bytes.h"

// The file header every stream begins with: signature "FLV", version 1,
// audio and video present, header size 9.
constexpr uint32_t kFileHeaderSize = 9;
constexpr uint8_t kFileHeader[kFileHeaderSize] = {0x46, 0x4C, 0x56, 0x01, 0x05, 0x00, 0x00, 0x00, 0x09};

constexpr uint32_t kBlockSize = 15;     // PreviousTagSize and the 11-byte tag header
constexpr uint32_t kTagHeaderSize = 11;
constexpr uint8_t kAudioTag = 8;        // tag types, at block[4]
constexpr uint8_t kVideoTag = 9;
constexpr uint8_t kScriptTag = 18;

// What the first two body bytes of an audio or video tag say.
constexpr uint8_t kKeyframe = 1;  // frame type in the upper four bits of a video body
constexpr uint8_t kAvc = 7;       // codec in the lower four bits
constexpr uint8_t kAvcFrame = 1;  // AVC packet type, the second byte: 0 is the decoder's set-up, 2 the end
constexpr uint8_t kAac = 10;      // sound format in the upper four bits of an audio body
constexpr uint8_t kAacSetUp = 0;  // AAC packet type, the second byte: the decoder's set-up, no sound

// The tag's 32-bit timestamp in ms: 24 bits, then bits 24-31 last.
constexpr uint32_t readTimestamp(const uint8_t* block) {
  return (uint32_t{block[11]} << 24) | readBigEndian24(block + 8);
}

constexpr void writeTimestamp(uint8_t* block, uint32_t timestamp) {
  block[8] = static_cast<uint8_t>(timestamp >> 16);
  block[9] = static_cast<uint8_t>(timestamp >> 8);
  block[10] = static_cast<uint8_t>(timestamp);
  block[11] = static_cast<uint8_t>(timestamp >> 24);
}

#endif  // ZTV_STREAM_FLV_BLOCK_H
