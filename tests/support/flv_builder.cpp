#include "support/flv_builder.h"

#include <cstring>

namespace flvtest {

namespace {

void put24(std::string& out, uint32_t value) {
  out.push_back(static_cast<char>((value >> 16) & 0xFF));
  out.push_back(static_cast<char>((value >> 8) & 0xFF));
  out.push_back(static_cast<char>(value & 0xFF));
}

void put32(std::string& out, uint32_t value) {
  out.push_back(static_cast<char>((value >> 24) & 0xFF));
  put24(out, value);
}

void putDouble(std::string& out, double value) {
  uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<char>((bits >> shift) & 0xFF));
}

// AMF0: a 16-bit name length, the name, a strict array of numbers.
void putNumberArray(std::string& out, const char* name, const std::vector<double>& values) {
  const size_t length = std::strlen(name);
  out.push_back(static_cast<char>((length >> 8) & 0xFF));
  out.push_back(static_cast<char>(length & 0xFF));
  out.append(name);
  out.push_back('\x0A');
  put32(out, static_cast<uint32_t>(values.size()));
  for (double value : values) {
    out.push_back('\x00');
    putDouble(out, value);
  }
}

uint32_t get24(const uint8_t* at) { return (uint32_t{at[0]} << 16) | (uint32_t{at[1]} << 8) | at[2]; }

}  // namespace

TagPlan video(uint32_t timestamp, uint32_t dataSize, bool keyframe) {
  TagPlan tag;
  tag.type = kVideo;
  tag.timestamp = timestamp;
  tag.dataSize = dataSize;
  tag.keyframe = keyframe;
  return tag;
}

TagPlan audio(uint32_t timestamp, uint32_t dataSize) {
  TagPlan tag;
  tag.type = kAudio;
  tag.timestamp = timestamp;
  tag.dataSize = dataSize;
  return tag;
}

TagPlan script(uint32_t timestamp, std::string body) {
  TagPlan tag;
  tag.type = kScript;
  tag.timestamp = timestamp;
  tag.body = std::move(body);
  return tag;
}

std::string flvHeader(uint8_t flags) {
  return std::string("FLV\x01", 4) + static_cast<char>(flags) + std::string("\x00\x00\x00\x09", 4);
}

std::string tagBody(const TagPlan& tag) {
  if (!tag.body.empty()) return tag.body;
  std::string body(tag.dataSize, '\0');
  // A filler that differs between tags, so a misplaced body shows.
  for (uint32_t i = 0; i < tag.dataSize; ++i) {
    body[i] = static_cast<char>((i * 31 + tag.timestamp * 7 + tag.dataSize + tag.type) & 0xFF);
  }
  if (tag.type == kVideo && !body.empty()) body[0] = static_cast<char>(tag.keyframe ? 0x17 : 0x27);
  return body;
}

std::string tagBytes(const TagPlan& tag, uint32_t previousTagSize) {
  const std::string body = tagBody(tag);
  std::string out;
  put32(out, previousTagSize);
  out.push_back(static_cast<char>(tag.type));
  put24(out, static_cast<uint32_t>(body.size()));
  put24(out, tag.timestamp & 0xFFFFFF);
  out.push_back(static_cast<char>((tag.timestamp >> 24) & 0xFF));
  put24(out, tag.streamId);
  return out + body;
}

std::string buildFlv(const std::vector<TagPlan>& tags, bool finalPrevTagSize) {
  std::string out = flvHeader();
  uint32_t previous = 0;
  for (const TagPlan& tag : tags) {
    std::string bytes = tagBytes(tag, previous);
    previous = static_cast<uint32_t>(bytes.size()) - 4;
    out += bytes;
  }
  if (finalPrevTagSize) put32(out, previous);
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

Block readBlock(const uint8_t* bytes) {
  Block block;
  block.prevTagSize = (uint32_t{bytes[0]} << 24) | get24(bytes + 1);
  block.type = bytes[4];
  block.dataSize = get24(bytes + 5);
  block.timestamp = (uint32_t{bytes[11]} << 24) | get24(bytes + 8);
  block.streamId = get24(bytes + 12);
  return block;
}

}  // namespace flvtest
