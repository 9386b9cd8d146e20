#include "timeline/timeline_xml.h"

#include <limits.h>
#include <string.h>

#include "base/language.h"
#include "base/text.h"
#include "log/log.h"
#include "net/web_file.h"

namespace {

constexpr const char* kDownloadOp = "openChannelXML";

// A zero-filled record whose text holds `capacity` zero bytes, or null.
XmlPtr newDocument(uint32_t capacity) {
  XmlPtr xml(newRecord<TimelineXml>());
  if (!xml) return nullptr;
  xml->text = allocZeroed<char>(capacity);
  if (!xml->text) return nullptr;
  xml->capacity = capacity;
  return xml;
}

// Grows xml->text to hold at least `needed` bytes (never more than the
// largest document, one byte past it and the NUL) by one read at a time;
// false when memory is short.
bool makeRoom(TimelineXml* xml, uint32_t needed) {
  if (xml->capacity >= needed) return true;
  const uint32_t grown = minOf(xml->capacity + kTimelineReadSize, kTimelineMaxSize + 2);
  if (!resizeArray(xml->text, grown)) {
    Log(ERROR, "%s, Couldn't reallocate memory!", kDownloadOp);
    return false;
  }
  xml->capacity = grown;
  return true;
}

// Reads the whole body into xml->text, keeping one byte behind it for the
// NUL; false (logged) when it is larger than kTimelineMaxSize or memory is
// short. The body ends at the first read that comes back short.
bool readBody(WebFileHandle* file, TimelineXml* xml, uint32_t* total) {
  for (;;) {
    // One byte past the limit is asked for, to tell a document of exactly
    // the limit from a larger one.
    const uint32_t wanted = minOf(kTimelineReadSize, kTimelineMaxSize + 1 - *total);
    if (!makeRoom(xml, *total + wanted + 1)) return false;
    const int got = webFileRead(file, xml->text.get() + *total, static_cast<int>(wanted));
    *total += static_cast<uint32_t>(got);
    if (*total > kTimelineMaxSize) {
      Log(ERROR, "%s, document larger than %u bytes.", kDownloadOp, kTimelineMaxSize);
      return false;
    }
    if (got < static_cast<int>(wanted)) return true;
  }
}

}  // namespace

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
  if (!readBody(file.get(), xml.get(), &total)) return nullptr;
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
  if (length > 0) memcpy(xml->text.get(), data, length);
  xml->textLength = static_cast<uint32_t>(length);
  xml->fetchTime = fetchTime;
  return xml.release();
}

void closeXML(TimelineXml* xml) { freeRecord(xml); }

HeapText getXMLTag(TimelineXml* xml) {
  HeapText tag;
  if (xml == nullptr || xml->cursor >= xml->textLength) return tag;
  // Both searches stop at a NUL; text[textLength] is always one.
  const char* start = xml->text.get() + xml->cursor;
  const char* open = start + strcspn(start, "<");
  if (*open == '\0') return tag;
  const char* close = open + strcspn(open, ">");
  // A tag cut off by a NUL runs up to it; the cursor then moves past the NUL.
  size_t length = static_cast<size_t>(close - open) + (*close == '>' ? 1 : 0);
  if (!copyText(&tag, TextView(open, length))) {
    Log(ERROR, "%s, Couldn't allocate memory!", "getXMLTag");
    return tag;
  }
  xml->cursor = static_cast<uint32_t>(close + 1 - xml->text.get());
  return tag;
}

TagType getXMLTagType(TextView tag) {
  struct Prefix {
    TextView text;
    TagType type;
  };
  static constexpr Prefix kPrefixes[] = {
      {"</resp>", RespEnd}, {"<SemiLive ", SemiLiveStart}, {"</SemiLive>", SemiLiveEnd},
      {"<vod ", VodStart},  {"</vod>", VodEnd},            {"<srcreq ", SrcReq},
  };
  for (const Prefix& prefix : kPrefixes) {
    if (startsWith(tag, prefix.text)) return prefix.type;
  }
  return Other;
}

namespace {

// The value behind the first occurrence of `key`: the one character after
// the key is skipped unseen, the value ends before the next '"'. Empty when
// the key is missing or the value is empty.
TextView paramValue(TextView tag, TextView key) {
  size_t found = findText(tag, key);
  if (found == kNotFound) return {};
  size_t start = found + key.size + 1;
  if (start >= tag.size) return {};
  size_t end = findChar(tag, '"', start);
  if (end == kNotFound) end = tag.size;
  return subText(tag, start, end - start);
}

}  // namespace

HeapText getXMLParam_c(TextView tag, TextView key) {
  HeapText copy;
  TextView value = paramValue(tag, key);
  if (!value.empty() && !copyText(&copy, value)) Log(ERROR, "%s, Couldn't allocate memory!", "getXMLParam_c");
  return copy;
}

int32_t getXMLParam_i(TextView tag, TextView key) {
  TextView value = paramValue(tag, key);
  if (value.empty()) return -1;
  return readClampedDecimal(value);
}
