#include "timeline/timeline_xml.h"

#include <climits>
#include <cstring>
#include <memory>

#include "log/log.h"
#include "net/web_file.h"

namespace {

constexpr const char* kDownloadOp = "openChannelXML";

struct XmlCloser {
  void operator()(TimelineXml* xml) const noexcept { closeXML(xml); }
};
using XmlPtr = std::unique_ptr<TimelineXml, XmlCloser>;

// A zero-filled record whose text holds `capacity` zero bytes, or null.
XmlPtr newDocument(uint32_t capacity) {
  XmlPtr xml(new (std::nothrow) TimelineXml{});
  if (!xml) return nullptr;
  xml->text = allocZeroed<char>(capacity);
  if (!xml->text) return nullptr;
  xml->capacity = capacity;
  return xml;
}

// Reads the whole body into xml->text; false when the buffer cannot grow.
// The body ends at the first read that comes back short.
bool readBody(WebFileHandle* file, TimelineXml* xml, uint32_t* total) {
  int got = 0;
  do {
    uint32_t needed = timelineCapacityFor(*total, xml->capacity);
    if (needed == 0) return false;
    if (needed != xml->capacity) {
      if (!resizeArray(xml->text, needed)) return false;
      xml->capacity = needed;
    }
    got = webFileRead(file, xml->text.get() + *total, static_cast<int>(kTimelineReadSize));
    if (got > 0) *total += static_cast<uint32_t>(got);
  } while (got == static_cast<int>(kTimelineReadSize));
  return true;
}

}  // namespace

uint32_t timelineCapacityFor(uint32_t bytesRead, uint32_t capacity) {
  // 64-bit sums: on a 32-bit size_t the unsigned additions must not wrap.
  uint64_t wanted = uint64_t{bytesRead} + kTimelineReadSize;
  if (uint64_t{capacity} > wanted) return capacity;
  uint64_t grown = uint64_t{capacity} + kTimelineReadSize;
  if (grown <= wanted || grown > kTimelineMaxCapacity) return 0;
  return static_cast<uint32_t>(grown);
}

TimelineXml* openChannelXML(const char* url) {
  Log(DEBUG, "%s: Download EPG data.", kDownloadOp);
  XmlPtr xml = newDocument(kTimelineReadSize + 1);
  if (!xml) {
    Log(ERROR, "%s, Couldn't allocate memory!", kDownloadOp);
    return nullptr;
  }
  WebFilePtr file(webFileOpen(url));
  xml->fetchTime = time(nullptr);  // the response has arrived; the body is still unread
  if (!file) return nullptr;

  uint32_t total = 0;
  if (!readBody(file.get(), xml.get(), &total)) {
    Log(ERROR, "%s, Couldn't reallocate memory!", kDownloadOp);
    return nullptr;
  }
  file.reset();
  // The buffer always keeps one byte behind the last read for this NUL.
  xml->text[total] = '\0';
  Log(DEBUG, "%s, Receive data (%d bytes) :\n%s", kDownloadOp, static_cast<int>(total), xml->text.get());
  xml->textLength = total;
  xml->cursor = 0;
  return xml.release();
}

TimelineXml* openXMLText(const char* data, size_t length, time_t fetchTime) {
  if (length >= UINT32_MAX) return nullptr;
  XmlPtr xml = newDocument(static_cast<uint32_t>(length) + 1);
  if (!xml) {
    Log(ERROR, "%s, Couldn't allocate memory!", "openXMLText");
    return nullptr;
  }
  if (length > 0) std::memcpy(xml->text.get(), data, length);
  xml->textLength = static_cast<uint32_t>(length);
  xml->fetchTime = fetchTime;
  return xml.release();
}

void closeXML(TimelineXml* xml) { delete xml; }

std::optional<std::string> getXMLTag(TimelineXml* xml) {
  if (xml == nullptr || xml->cursor >= xml->textLength) return std::nullopt;
  // Both searches stop at a NUL; text[textLength] is always one.
  const char* start = xml->text.get() + xml->cursor;
  const char* open = start + std::strcspn(start, "<");
  if (*open == '\0') return std::nullopt;
  const char* close = open + std::strcspn(open, ">");
  // A tag cut off by a NUL runs up to it; the cursor then moves past the NUL.
  size_t length = static_cast<size_t>(close - open) + (*close == '>' ? 1 : 0);
  std::optional<std::string> tag = copyText(std::string_view(open, length));
  if (!tag) {
    Log(ERROR, "%s, Couldn't allocate memory!", "getXMLTag");
    return std::nullopt;
  }
  xml->cursor = static_cast<uint32_t>(close + 1 - xml->text.get());
  return tag;
}

TagType getXMLTagType(std::string_view tag) {
  struct Prefix {
    std::string_view text;
    TagType type;
  };
  static constexpr Prefix kPrefixes[] = {
      {"</resp>", RespEnd}, {"<SemiLive ", SemiLiveStart}, {"</SemiLive>", SemiLiveEnd},
      {"<vod ", VodStart},  {"</vod>", VodEnd},            {"<srcreq ", SrcReq},
  };
  for (const Prefix& prefix : kPrefixes) {
    if (tag.starts_with(prefix.text)) return prefix.type;
  }
  return Other;
}

namespace {

// The value behind the first occurrence of `key`: the one character after
// the key is skipped unseen, the value ends before the next '"'. Empty when
// the key is missing or the value is empty.
std::string_view paramValue(std::string_view tag, std::string_view key) {
  size_t found = tag.find(key);
  if (found == std::string_view::npos) return {};
  size_t start = found + key.size() + 1;
  if (start >= tag.size()) return {};
  size_t end = tag.find('"', start);
  if (end == std::string_view::npos) end = tag.size();
  return tag.substr(start, end - start);
}

bool isBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// atoi's reading, with the result held to the 32-bit range instead of overflowing.
int32_t readDecimal(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && isBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > int64_t{INT32_MAX} + 1) value = int64_t{INT32_MAX} + 1;
  }
  if (negative) return static_cast<int32_t>(-value);
  return value > INT32_MAX ? INT32_MAX : static_cast<int32_t>(value);
}

}  // namespace

std::optional<std::string> getXMLParam_c(std::string_view tag, std::string_view key) {
  std::string_view value = paramValue(tag, key);
  if (value.empty()) return std::nullopt;
  std::optional<std::string> copy = copyText(value);
  if (!copy) Log(ERROR, "%s, Couldn't allocate memory!", "getXMLParam_c");
  return copy;
}

int32_t getXMLParam_i(std::string_view tag, std::string_view key) {
  std::string_view value = paramValue(tag, key);
  if (value.empty()) return -1;
  return readDecimal(value);
}
