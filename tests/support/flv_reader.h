#ifndef ZTV_TESTS_SUPPORT_FLV_READER_H
#define ZTV_TESTS_SUPPORT_FLV_READER_H

// Reads a byte string as an FLV stream, tag by tag, so that tests can hold
// the proxy's output against its source files. The grammar is the file's:
// a 9-byte header, then blocks of PreviousTagSize + tag, then optionally the
// closing PreviousTagSize; what does not fit it is reported, never guessed.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

enum FlvTagType : uint8_t { kFlvAudio = 8, kFlvVideo = 9, kFlvScript = 18 };

struct FlvTag {
  size_t offset = 0;           // where its PreviousTagSize starts in the input
  uint32_t prevTagSize = 0;    // the PreviousTagSize in front of the tag
  uint8_t type = 0;            // kFlvAudio, kFlvVideo, kFlvScript or anything else
  uint32_t dataSize = 0;       // 24-bit body length
  uint32_t timestamp = 0;      // ms: bytes 8-10 as bits 0-23, byte 11 as bits 24-31
  uint32_t streamId = 0;       // 24 bits, normally 0
  std::string body;            // dataSize bytes

  uint32_t size() const { return 11 + dataSize; }  // what the next PreviousTagSize should be
  bool keyframe() const;       // a video tag whose frame type (upper nibble of body[0]) is 1
  std::string_view header(std::string_view input) const;  // its 11 header bytes in `input`
};

struct FlvStream {
  std::string header;                       // the first up-to-9 bytes
  bool headerOk = false;                    // 9 bytes beginning with "FLV"
  std::vector<FlvTag> tags;
  std::optional<uint32_t> closingPrevTagSize;  // when exactly 4 bytes follow the last tag
  std::string trailing;                     // otherwise what follows it: a cut tag, garbage
};

FlvStream parseFlv(std::string_view bytes);

// Human-readable one-liner for assertion messages: "#12 video ts=480 size=1234 prev=..."
std::string describe(const FlvTag& tag, size_t index);

}  // namespace testsupport

#endif  // ZTV_TESTS_SUPPORT_FLV_READER_H
