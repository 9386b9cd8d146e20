#ifndef ZTV_STREAM_FLV_BLOCK_H
#define ZTV_STREAM_FLV_BLOCK_H

// The 15-byte block in front of every FLV tag body, as the re-muxer writes it
// and the pacing of a channel reads it: PreviousTagSize (4 bytes), then the
// tag header (type, 24-bit DataSize, timestamp, stream id).

#include <stdint.h>

#include "base/bytes.h"

constexpr uint32_t kBlockSize = 15;     // PreviousTagSize and the 11-byte tag header
constexpr uint32_t kTagHeaderSize = 11;
constexpr uint8_t kAudioTag = 8;        // tag types, at block[4]
constexpr uint8_t kVideoTag = 9;
constexpr uint8_t kScriptTag = 18;

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
