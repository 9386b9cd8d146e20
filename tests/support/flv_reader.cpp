#include "support/flv_reader.h"

namespace testsupport {

namespace {

uint32_t be(std::string_view bytes, size_t at, size_t count) {
  uint32_t value = 0;
  for (size_t i = 0; i < count; ++i) value = (value << 8) | static_cast<uint8_t>(bytes[at + i]);
  return value;
}

}  // namespace

bool FlvTag::keyframe() const {
  return type == kFlvVideo && !body.empty() && (static_cast<uint8_t>(body[0]) >> 4) == 1;
}

std::string_view FlvTag::header(std::string_view input) const {
  return input.substr(offset + 4, 11);
}

FlvStream parseFlv(std::string_view bytes) {
  FlvStream stream;
  stream.header = std::string(bytes.substr(0, 9));
  stream.headerOk = bytes.size() >= 9 && bytes.substr(0, 3) == "FLV";
  if (!stream.headerOk) {
    stream.trailing = std::string(bytes.substr(stream.header.size()));
    return stream;
  }
  size_t at = 9;
  while (bytes.size() - at >= 15) {
    uint32_t dataSize = be(bytes, at + 5, 3);
    if (bytes.size() - at - 15 < dataSize) break;
    FlvTag tag;
    tag.offset = at;
    tag.prevTagSize = be(bytes, at, 4);
    tag.type = static_cast<uint8_t>(bytes[at + 4]);
    tag.dataSize = dataSize;
    tag.timestamp = be(bytes, at + 8, 3) | (be(bytes, at + 11, 1) << 24);
    tag.streamId = be(bytes, at + 12, 3);
    tag.body = std::string(bytes.substr(at + 15, dataSize));
    stream.tags.push_back(std::move(tag));
    at += 15 + dataSize;
  }
  if (bytes.size() - at == 4) {
    stream.closingPrevTagSize = be(bytes, at, 4);
    at += 4;
  }
  stream.trailing = std::string(bytes.substr(at));
  return stream;
}

std::string describe(const FlvTag& tag, size_t index) {
  const char* kind = tag.type == kFlvAudio   ? "audio"
                     : tag.type == kFlvVideo ? (tag.keyframe() ? "video(key)" : "video")
                     : tag.type == kFlvScript ? "script"
                                              : "type?";
  return "#" + std::to_string(index) + " " + kind + " ts=" + std::to_string(tag.timestamp) +
         " size=" + std::to_string(tag.dataSize) + " prev=" + std::to_string(tag.prevTagSize) +
         " at=" + std::to_string(tag.offset);
}

}  // namespace testsupport
