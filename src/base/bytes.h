#ifndef ZTV_BASE_BYTES_H
#define ZTV_BASE_BYTES_H

// Big-endian integers and doubles inside FLV and AMF0 data. The caller
// checks that the bytes are there.

#include <stdint.h>
#include <string.h>

constexpr uint32_t readBigEndian24(const uint8_t* at) {
  return (uint32_t{at[0]} << 16) | (uint32_t{at[1]} << 8) | uint32_t{at[2]};
}

constexpr uint32_t readBigEndian32(const uint8_t* at) {
  return (uint32_t{at[0]} << 24) | readBigEndian24(at + 1);
}

inline double readBigEndianDouble(const uint8_t* at) {
  const uint64_t bits = (uint64_t{readBigEndian32(at)} << 32) | readBigEndian32(at + 4);
  double value = 0;
  memcpy(&value, &bits, sizeof value);
  return value;
}

constexpr void putBigEndian32(uint8_t* at, uint32_t value) {
  at[0] = static_cast<uint8_t>(value >> 24);
  at[1] = static_cast<uint8_t>(value >> 16);
  at[2] = static_cast<uint8_t>(value >> 8);
  at[3] = static_cast<uint8_t>(value);
}

#endif  // ZTV_BASE_BYTES_H
