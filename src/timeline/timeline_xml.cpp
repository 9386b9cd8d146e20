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

TimelineXml* openChannelXML(const char* url, FetchFailure* failure) {
  FetchFailure ignored;
  if (failure == nullptr) failure = &ignored;
  *failure = FetchFailure::kFinal;  // a document too large stays so; so does one without memory for it
  Log(DEBUG, "%s: Download EPG data.", kDownloadOp);
  XmlPtr xml = newDocument(kTimelineReadSize + 1);
  if (!xml) {
    Log(ERROR, "%s, Couldn't allocate memory!", kDownloadOp);
    return nullptr;
  }
  WebFilePtr file(webFileOpen(url, failure));
  xml->fetchTime = time(nullptr);  // the response has arrived; the body is still unread
  if (!file) return nullptr;

  uint32_t total = 0;
  if (!readBody(file.get(), xml.get(), &total)) return nullptr;
  if (file->contentLength > 0 && total < file->contentLength) {
    // Cut short (a close, a reset, a silent or trickling service, or TLS
    // ended without its close alert): half a list is no list, and the next
    // try may well bring all of it.
    Log(ERROR, "%s, the document broke off at byte %u of %lld.", kDownloadOp, total,
        static_cast<long long>(file->contentLength));
    *failure = FetchFailure::kMayPass;
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

// Tested once for every character of every tag the playlist reads, for each
// attribute it asks for: one switch, not a search of a set.
constexpr bool isXmlSpace(char c) {
  switch (c) {
    case ' ': case '\t': case '\r': case '\n': return true;
    default: return false;
  }
}

// What ends an attribute's name: a space, its '=', or the tag's end.
constexpr bool endsName(char c) {
  switch (c) {
    case ' ': case '\t': case '\r': case '\n': case '=': case '>': case '/': return true;
    default: return false;
  }
}

size_t skipSpace(TextView tag, size_t at) {
  while (at < tag.size && isXmlSpace(tag[at])) ++at;
  return at;
}

// One attribute of a tag: name="value" or name='value', spaces allowed
// around the '='. `next` is where the one after it may start, kNotFound
// when there is none (the tag's end, or text that is no attribute).
struct Attribute {
  TextView name, value;
  size_t next = kNotFound;
};

Attribute attributeAt(TextView tag, size_t at) {
  const size_t nameStart = skipSpace(tag, at);
  size_t nameEnd = nameStart;
  while (nameEnd < tag.size && !endsName(tag[nameEnd])) ++nameEnd;
  const size_t equals = skipSpace(tag, nameEnd);
  if (nameEnd == nameStart || equals >= tag.size || tag[equals] != '=') return {};
  const size_t open = skipSpace(tag, equals + 1);
  if (open >= tag.size || (tag[open] != '"' && tag[open] != '\'')) return {};
  // A value without its closing quote runs to the end of the tag.
  const size_t close = minOf(findChar(tag, tag[open], open + 1), tag.size);
  return {subText(tag, nameStart, nameEnd - nameStart), subText(tag, open + 1, close - open - 1),
          minOf(close + 1, tag.size)};
}

// The raw value of the attribute named `key` (its name and '='), found by
// its whole name among the tag's attributes, never inside another's value.
TextView paramValue(TextView tag, TextView key) {
  const TextView name = endsWith(key, "=") ? subText(key, 0, key.size - 1) : key;
  size_t at = 0;
  while (at < tag.size && !isXmlSpace(tag[at])) ++at;  // past the element's name
  while (at < tag.size) {
    const Attribute attribute = attributeAt(tag, at);
    if (attribute.next == kNotFound) return {};
    if (attribute.name == name) return attribute.value;
    at = attribute.next;
  }
  return {};
}

// `code` in UTF-8 at `out`; its length.
size_t putUtf8(uint32_t code, char* out) {
  if (code < 0x80) {
    out[0] = static_cast<char>(code);
    return 1;
  }
  const size_t length = code < 0x800 ? 2 : code < 0x10000 ? 3 : 4;
  static constexpr uint8_t kLead[] = {0, 0, 0xC0, 0xE0, 0xF0};
  for (size_t i = length - 1; i > 0; --i, code >>= 6) out[i] = static_cast<char>(0x80 | (code & 0x3F));
  out[0] = static_cast<char>(kLead[length] | code);
  return length;
}

// The code point of a numeric reference's text ("#38", "#x26"); 0 when it
// is none or names no character.
uint32_t numericReference(TextView name) {
  const bool hex = name.size > 1 && (name[1] == 'x' || name[1] == 'X');
  const size_t first = hex ? 2 : 1;
  if (name.size <= first || name[0] != '#') return 0;
  uint32_t code = 0;
  for (size_t i = first; i < name.size; ++i) {
    const char c = name[i];
    const uint32_t digit = c >= '0' && c <= '9'             ? static_cast<uint32_t>(c - '0')
                           : hex && c >= 'a' && c <= 'f' ? static_cast<uint32_t>(c - 'a' + 10)
                           : hex && c >= 'A' && c <= 'F' ? static_cast<uint32_t>(c - 'A' + 10)
                                                           : 16;
    if (digit >= (hex ? 16u : 10u)) return 0;
    code = code * (hex ? 16 : 10) + digit;
    if (code > 0x10FFFF) return 0;
  }
  return code >= 0xD800 && code <= 0xDFFF ? 0 : code;
}

// Writes at `out` what the reference `name` (between '&' and ';') stands
// for; its length, 0 when it is no reference XML knows.
size_t referenceText(TextView name, char* out) {
  static constexpr struct {
    TextView name;
    char character;
  } kNamed[] = {{"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
  for (const auto& named : kNamed) {
    if (name == named.name) {
      *out = named.character;
      return 1;
    }
  }
  const uint32_t code = numericReference(name);
  return code == 0 ? 0 : putUtf8(code, out);
}

// The longest reference text: "#x10FFFF".
constexpr size_t kMaxReferenceName = 8;

// `value` with its character references decoded into `out` (room for
// value.size bytes: a reference is never shorter than what it stands for);
// the decoded length. Text that is no known reference stays as it is.
size_t decodeReferences(TextView value, char* out) {
  size_t length = 0;
  for (size_t at = 0; at < value.size;) {
    const size_t semicolon = value[at] == '&' ? findChar(subText(value, at + 1, kMaxReferenceName + 1), ';') : kNotFound;
    const size_t decoded = semicolon == kNotFound ? 0 : referenceText(subText(value, at + 1, semicolon), out + length);
    if (decoded == 0) {
      out[length++] = value[at++];
      continue;
    }
    length += decoded;
    at += semicolon + 2;
  }
  return length;
}

}  // namespace

HeapText getXMLParam_c(TextView tag, TextView key) {
  HeapText copy;
  const TextView value = paramValue(tag, key);
  if (value.empty()) return copy;
  HeapArray<char> decoded = allocZeroed<char>(value.size);
  if (!decoded || !copyText(&copy, TextView(decoded.get(), decodeReferences(value, decoded.get())))) {
    Log(ERROR, "%s, Couldn't allocate memory!", "getXMLParam_c");
  }
  return copy;
}

int32_t getXMLParam_i(TextView tag, TextView key) {
  TextView value = paramValue(tag, key);
  if (value.empty()) return -1;
  return readClampedDecimal(value);
}
