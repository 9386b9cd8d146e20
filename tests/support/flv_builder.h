#ifndef ZTV_TESTS_SUPPORT_FLV_BUILDER_H
#define ZTV_TESTS_SUPPORT_FLV_BUILDER_H

// Synthetic FLV files for tests, and a reader for the 15-byte tag blocks the
// re-muxer sends. A file is the 9-byte header, then for every tag its 4-byte
// PreviousTagSize (0 before the first, 11 + DataSize of the tag before
// otherwise) and the tag itself, then the final PreviousTagSize.
//
//   std::string file = flvtest::buildFlv({flvtest::video(0, 100, true), flvtest::audio(0, 20)});

#include <cstdint>
#include <string>
#include <vector>

namespace flvtest {

constexpr uint8_t kAudio = 8;
constexpr uint8_t kVideo = 9;
constexpr uint8_t kScript = 18;

struct TagPlan {
  uint8_t type = kVideo;
  uint32_t timestamp = 0;  // ms, written as 24 bits and the extended byte
  uint32_t dataSize = 0;   // body length; ignored when `body` is given
  bool keyframe = false;   // video: frame type 1 in the first body byte, else 2
  std::string body;        // the exact body; empty = a filler of `dataSize` bytes
  uint32_t streamId = 0;   // 24 bits
};

TagPlan video(uint32_t timestamp, uint32_t dataSize, bool keyframe = false);
TagPlan audio(uint32_t timestamp, uint32_t dataSize);
TagPlan script(uint32_t timestamp, std::string body);

// "FLV", version 1, `flags`, header size 9.
std::string flvHeader(uint8_t flags = 5);

// The tag's body as buildFlv writes it (the filler depends on type, timestamp and size).
std::string tagBody(const TagPlan& tag);

// The 15-byte block (PreviousTagSize then the 11-byte tag header) and the body.
std::string tagBytes(const TagPlan& tag, uint32_t previousTagSize);

// A whole file; `finalPrevTagSize` adds the 4-byte size of the last tag at the end.
std::string buildFlv(const std::vector<TagPlan>& tags, bool finalPrevTagSize = true);

// An onMetaData body holding the keyframe index as AMF0 strict arrays.
std::string metaBody(const std::vector<double>& filepositions, const std::vector<double>& times);

// A tag block as read back from a unit of the re-muxer's output.
struct Block {
  uint32_t prevTagSize = 0;
  uint8_t type = 0;
  uint32_t dataSize = 0;
  uint32_t timestamp = 0;  // extended byte as bits 24-31
  uint32_t streamId = 0;
};
Block readBlock(const uint8_t* bytes);  // reads 15 bytes

}  // namespace flvtest

#endif  // ZTV_TESTS_SUPPORT_FLV_BUILDER_H
