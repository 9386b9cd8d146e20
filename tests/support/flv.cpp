#include "support/flv.h"

#include <cstring>

namespace testsupport {

namespace {

// AMF0: a 16-bit name length, the name, a strict array of numbers.
void putNumberArray(std::string& out, const char* name, const std::vector<double>& values) {
  putBig(out, std::strlen(name), 2);
  out.append(name);
  out.push_back('\x0A');
  putBig(out, values.size(), 4);
  for (double value : values) {
    uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    out.push_back('\x00');
    putBig(out, bits, 8);
  }
}

// False when `timestamp` goes back from the last one of its kind.
bool rises(uint32_t timestamp, bool& seen, uint32_t& last) {
  if (seen && static_cast<int32_t>(timestamp - last) < 0) return false;
  seen = true;
  last = timestamp;
  return true;
}

}  // namespace

uint32_t readBig(const uint8_t* at, size_t count) {
  uint32_t value = 0;
  for (size_t i = 0; i < count; ++i) value = (value << 8) | at[i];
  return value;
}

FlvTag readBlock(const uint8_t* block) {
  FlvTag tag;
  tag.prevTagSize = readBig(block, 4);
  tag.type = block[4];
  tag.dataSize = readBig(block + 5, 3);
  tag.timestamp = readBig(block + 8, 3) | (uint32_t{block[11]} << 24);
  tag.streamId = readBig(block + 12, 3);
  return tag;
}

std::string blockBytes(const FlvTag& tag) {
  std::string out;
  putBig(out, tag.prevTagSize, 4);
  out.push_back(static_cast<char>(tag.type));
  putBig(out, tag.dataSize, 3);
  putBig(out, tag.timestamp, 3);
  out.push_back(static_cast<char>(tag.timestamp >> 24));
  putBig(out, tag.streamId, 3);
  return out;
}

bool FlvTag::keyframe() const {
  return type == kFlvVideo && !body.empty() && (static_cast<uint8_t>(body[0]) >> 4) == 1;
}

// --- Reading

FlvStream parseFlv(std::string_view bytes) {
  FlvStream stream;
  stream.header = std::string(bytes.substr(0, 9));
  stream.headerOk = bytes.size() >= 9 && bytes.substr(0, 3) == "FLV";
  if (!stream.headerOk) {
    stream.trailing = std::string(bytes.substr(stream.header.size()));
    return stream;
  }
  size_t at = 9;
  while (bytes.size() - at >= kBlockSize) {
    FlvTag tag = readBlock(bytes, at);
    if (bytes.size() - at - kBlockSize < tag.dataSize) break;
    tag.offset = at;
    tag.body = std::string(bytes.substr(at + kBlockSize, tag.dataSize));
    at += kBlockSize + tag.dataSize;
    stream.tags.push_back(std::move(tag));
  }
  if (bytes.size() - at == 4) {
    stream.closingPrevTagSize = readBig(reinterpret_cast<const uint8_t*>(bytes.data() + at), 4);
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

// --- Writing

TagPlan video(uint32_t timestamp, uint32_t dataSize, bool keyframe) {
  TagPlan tag;
  tag.type = kFlvVideo;
  tag.timestamp = timestamp;
  tag.dataSize = dataSize;
  tag.keyframe = keyframe;
  return tag;
}

TagPlan avcNoPicture(uint32_t timestamp, uint8_t packetType) {
  TagPlan tag = video(timestamp, 0, true);
  tag.body = std::string("\x17", 1) + static_cast<char>(packetType) + std::string("\x00\x00\x00\x01\x64", 5);
  return tag;
}

TagPlan audio(uint32_t timestamp, uint32_t dataSize) {
  TagPlan tag = video(timestamp, dataSize);
  tag.type = kFlvAudio;
  return tag;
}

TagPlan script(uint32_t timestamp, std::string body) {
  TagPlan tag = video(timestamp, 0);
  tag.type = kFlvScript;
  tag.body = std::move(body);
  return tag;
}

std::string flvHeader(uint8_t flags) {
  std::string header(kStreamHeader);
  header[4] = static_cast<char>(flags);
  return header;
}

std::string tagBody(const TagPlan& tag) {
  if (!tag.body.empty()) return tag.body;
  std::string body(tag.dataSize, '\0');
  // A filler that differs between tags, so a misplaced body shows.
  for (uint32_t i = 0; i < tag.dataSize; ++i) {
    body[i] = static_cast<char>((i * 31 + tag.timestamp * 7 + tag.dataSize + tag.type) & 0xFF);
  }
  // An AVC picture: frame type and codec, then packet type 1.
  if (tag.type == kFlvVideo && !body.empty()) body[0] = static_cast<char>(tag.keyframe ? 0x17 : 0x27);
  if (tag.type == kFlvVideo && body.size() > 1) body[1] = 1;
  return body;
}

std::string tagBytes(const TagPlan& plan, uint32_t previousTagSize) {
  FlvTag tag;
  tag.prevTagSize = previousTagSize;
  tag.type = plan.type;
  tag.body = tagBody(plan);
  tag.dataSize = static_cast<uint32_t>(tag.body.size());
  tag.timestamp = plan.timestamp;
  tag.streamId = plan.streamId;
  return blockBytes(tag) + tag.body;
}

std::string buildFlv(const std::vector<TagPlan>& tags, bool finalPrevTagSize) {
  std::string out = flvHeader();
  uint32_t previous = 0;
  for (const TagPlan& tag : tags) {
    std::string bytes = tagBytes(tag, previous);
    previous = static_cast<uint32_t>(bytes.size()) - 4;
    out += bytes;
  }
  if (finalPrevTagSize) putBig(out, previous, 4);
  return out;
}

std::string metaBody(const std::vector<double>& filepositions, const std::vector<double>& times) {
  std::string out;
  out.push_back('\x02');  // AMF0 string "onMetaData"
  out.append(std::string("\x00\x0A", 2) + "onMetaData");
  out.push_back('\x03');  // object with one member "keyframes", itself an object
  out.append(std::string("\x00\x09", 2) + "keyframes");
  out.push_back('\x03');
  putNumberArray(out, "filepositions", filepositions);
  putNumberArray(out, "times", times);
  out.append(std::string("\x00\x00\x09", 3));  // end of the inner object
  out.append(std::string("\x00\x00\x09", 3));  // end of the outer object
  return out;
}

// --- The shape of a channel stream

std::string FlvShape::fault(const std::string& what) const {
  return "tag " + std::to_string(tags_) + ": " + what;
}

std::string FlvShape::check(const uint8_t* unit, size_t length) {
  if (!headerSeen_) {
    headerSeen_ = std::string_view(reinterpret_cast<const char*>(unit), length) == kStreamHeader;
    return headerSeen_ ? "" : "the stream does not begin with the FLV header";
  }
  if (length < kBlockSize) return fault(std::to_string(length) + " bytes, less than a tag block");
  const FlvTag tag = readBlock(unit);
  if (length != kBlockSize + size_t{tag.dataSize}) {
    return fault(std::to_string(length) + " bytes, not the block and the " + std::to_string(tag.dataSize) +
                 " body bytes it announces");
  }
  if (rules_.chain && tag.prevTagSize != lastTagSize_) {
    return fault("PreviousTagSize " + std::to_string(tag.prevTagSize) + ", expected " + std::to_string(lastTagSize_));
  }
  const bool isVideo = tag.type == kFlvVideo;
  if (rules_.rising && (isVideo || tag.type == kFlvAudio)) {
    uint32_t& last = isVideo ? lastVideo_ : lastAudio_;
    const uint32_t before = last;
    if (!rises(tag.timestamp, isVideo ? videoSeen_ : audioSeen_, last)) {
      return fault(std::string(isVideo ? "video" : "audio") + " timestamp " + std::to_string(tag.timestamp) +
                   " goes back from " + std::to_string(before));
    }
  }
  lastTagSize_ = tag.size();
  ++tags_;
  return "";
}

std::string FlvShape::checkStream(std::string_view bytes) {
  std::string why = check(bytes.substr(0, kStreamHeader.size()));
  size_t at = kStreamHeader.size();
  while (why.empty() && bytes.size() - at >= kBlockSize) {
    const size_t end = at + kBlockSize + readBlock(bytes, at).dataSize;
    if (end > bytes.size()) break;
    why = check(bytes.substr(at, end - at));
    at = end;
  }
  return why;
}

}  // namespace testsupport
