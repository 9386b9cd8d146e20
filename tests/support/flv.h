#ifndef ZTV_TESTS_SUPPORT_FLV_H
#define ZTV_TESTS_SUPPORT_FLV_H

// FLV as the tests read and write it, apart from the program's own readers,
// so that its output is held against a second reading of the format. A file
// or stream is a 9-byte header, then blocks of a 4-byte PreviousTagSize and
// an 11-byte tag header (type, 24-bit DataSize, 24-bit timestamp and an
// extended byte as bits 24-31, 24-bit stream id), each followed by its body.
// parseFlv reads a whole file, buildFlv writes one, FlvShape checks a
// channel stream unit by unit or as received.
//
//   std::string file = buildFlv({video(0, 100, true), audio(0, 20)});

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

enum FlvTagType : uint8_t { kFlvAudio = 8, kFlvVideo = 9, kFlvScript = 18 };

// The header the proxy sends once per channel stream, and buildFlv's.
inline constexpr std::string_view kStreamHeader{"FLV\x01\x05\x00\x00\x00\x09", 9};
inline constexpr size_t kBlockSize = 15;  // PreviousTagSize and the tag header

// Big-endian numbers: `count` bytes, at most 4 read and 8 written.
uint32_t readBig(const uint8_t* at, size_t count);
template <class Bytes>
void putBig(Bytes& out, uint64_t value, size_t count) {
  for (size_t i = count; i-- > 0;) out.push_back(static_cast<typename Bytes::value_type>((value >> (8 * i)) & 0xFF));
}

struct FlvTag {
  size_t offset = 0;           // where its PreviousTagSize starts in the input
  uint32_t prevTagSize = 0;    // the PreviousTagSize in front of the tag
  uint8_t type = 0;            // kFlvAudio, kFlvVideo, kFlvScript or anything else
  uint32_t dataSize = 0;       // 24-bit body length
  uint32_t timestamp = 0;      // ms: bytes 8-10 as bits 0-23, byte 11 as bits 24-31
  uint32_t streamId = 0;       // 24 bits, normally 0
  std::string body;            // dataSize bytes; empty when only the block was read

  uint32_t size() const { return 11 + dataSize; }  // what the next PreviousTagSize should be
  bool keyframe() const;       // a video tag whose frame type (upper nibble of body[0]) is 1
};

// The one reader and the one writer of the 15-byte block: offset and body
// are neither read nor written.
FlvTag readBlock(const uint8_t* block);
inline FlvTag readBlock(std::string_view bytes, size_t at = 0) {
  return readBlock(reinterpret_cast<const uint8_t*>(bytes.data() + at));
}
std::string blockBytes(const FlvTag& tag);

// --- Reading: the grammar is the file's, and what does not fit it is
// reported, never guessed.

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

// --- Writing: each PreviousTagSize 0 before the first tag, 11 + DataSize of
// the tag before otherwise, and the final one after the last tag.

struct TagPlan {
  uint8_t type = kFlvVideo;
  uint32_t timestamp = 0;  // ms, written as 24 bits and the extended byte
  uint32_t dataSize = 0;   // body length; ignored when `body` is given
  bool keyframe = false;   // video: frame type 1 in the first body byte, else 2
  std::string body;        // the exact body; empty = a filler of `dataSize` bytes
  uint32_t streamId = 0;   // 24 bits
};

TagPlan video(uint32_t timestamp, uint32_t dataSize, bool keyframe = false);
TagPlan audio(uint32_t timestamp, uint32_t dataSize);
// An AVC video tag without a picture: the decoder's set-up (packet type 0)
// or the end of the sequence (2).
TagPlan avcNoPicture(uint32_t timestamp, uint8_t packetType);
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

// --- The shape of a channel stream: kStreamHeader once, then whole tags
// (the block and the body it announces). Where the rules apply, each tag's
// PreviousTagSize is 11 + DataSize of the tag before it in the stream (0 for
// the first), and neither video nor audio timestamps go back on the wrapping
// 32-bit clock (int32(ts - last) >= 0). A stream from arbitrary sources keeps
// their own chain and timestamps: turn those rules off for it.

struct ShapeRules {
  bool chain = true;   // the PreviousTagSize chain
  bool rising = true;  // video and audio timestamps never go back
};

class FlvShape {
 public:
  explicit FlvShape(ShapeRules rules = {}) : rules_(rules) {}

  // "" when `unit` (the header first, then one whole tag) keeps the shape;
  // otherwise why, naming the tag, and the stream so far stays as it was.
  std::string check(const uint8_t* unit, size_t length);
  std::string check(std::string_view unit) {
    return check(reinterpret_cast<const uint8_t*>(unit.data()), unit.size());
  }
  // Every unit of a stream as received, from its header on; a tag cut by
  // the end of `bytes` is left unchecked. "" or the first fault.
  std::string checkStream(std::string_view bytes);

  bool begun() const { return headerSeen_; }  // the header has been accepted
  size_t tags() const { return tags_; }        // tags accepted, so the index of a faulty one

 private:
  std::string fault(const std::string& what) const;

  ShapeRules rules_;
  bool headerSeen_ = false;
  size_t tags_ = 0;
  uint32_t lastTagSize_ = 0;  // 11 + DataSize of the last tag accepted, 0 before the first
  bool videoSeen_ = false, audioSeen_ = false;
  uint32_t lastVideo_ = 0, lastAudio_ = 0;
};

}  // namespace testsupport

#endif  // ZTV_TESTS_SUPPORT_FLV_H
