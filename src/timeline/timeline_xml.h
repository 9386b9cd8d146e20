#ifndef ZTV_TIMELINE_TIMELINE_XML_H
#define ZTV_TIMELINE_TIMELINE_XML_H

// A channel's timeline document, downloaded whole, and a minimal tag scanner
// over it: openChannelXML, then getXMLTag until it gives nothing (with
// getXMLTagType and getXMLParam_c/_i on each tag), then closeXML. A tag is
// the text from a '<' to the next '>'; nothing is decoded or validated.

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/heap.h"

struct TimelineXml {
  HeapArray<char> text;     // the document, then at least one NUL byte
  uint32_t cursor = 0;      // where the next getXMLTag starts to search
  uint32_t textLength = 0;  // bytes downloaded
  time_t fetchTime = 0;     // when the service's response arrived
  uint32_t capacity = 0;    // bytes allocated for text (document, NUL and room to grow)
};

// The download buffer starts at one read plus its NUL and grows by one read
// at a time. A document larger than kTimelineMaxSize fails the download: on
// a player with little memory the buffer stays within a few MiB.
inline constexpr uint32_t kTimelineReadSize = 1048576;
inline constexpr uint32_t kTimelineMaxSize = 4 * kTimelineReadSize;

enum TagType : int {
  Other = 0,
  RespEnd = 1,        // "</resp>"
  SemiLiveStart = 2,  // "<SemiLive "
  SemiLiveEnd = 3,    // "</SemiLive>"
  VodStart = 4,       // "<vod "
  VodEnd = 5,         // "</vod>"
  SrcReq = 6,         // "<srcreq "
};

// Downloads the document at `url`; null when it cannot be fetched or memory
// is short. The caller releases it with closeXML.
[[nodiscard]] TimelineXml* openChannelXML(const char* url);

// A document made from `length` bytes already in memory (for parsing text
// that did not come over the network); null when memory is short.
[[nodiscard]] TimelineXml* openXMLText(const char* data, size_t length, time_t fetchTime);

void closeXML(TimelineXml* xml);  // accepts null

struct XmlCloser {
  void operator()(TimelineXml* xml) const noexcept { closeXML(xml); }
};
using XmlPtr = std::unique_ptr<TimelineXml, XmlCloser>;

// The next tag, '<' and '>' included, or nothing at the end (or when memory is short).
std::optional<std::string> getXMLTag(TimelineXml* xml);

TagType getXMLTagType(std::string_view tag);

// The value of the attribute whose key text (with its '=') occurs first in
// `tag`, or nothing when it is missing or empty.
std::optional<std::string> getXMLParam_c(std::string_view tag, std::string_view key);

// The same value read as atoi reads it; -1 when it is missing or empty.
int32_t getXMLParam_i(std::string_view tag, std::string_view key);

#endif  // ZTV_TIMELINE_TIMELINE_XML_H
