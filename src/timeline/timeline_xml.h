#ifndef ZTV_TIMELINE_TIMELINE_XML_H
#define ZTV_TIMELINE_TIMELINE_XML_H

// A channel's timeline document, downloaded whole, and a minimal tag scanner
// over it: openChannelXML, then getXMLTag until it gives nothing (with
// getXMLTagType and getXMLParam_c/_i on each tag), then closeXML. A tag is
// the text from a '<' to the next '>'; of its attributes only the values
// asked for are read, and nothing else is validated.

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include "base/heap.h"
#include "base/heap_text.h"
#include "base/text_view.h"
#include "net/web_file.h"

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
// A tag or a value of the largest document is still a text the program keeps.
static_assert(kTimelineMaxSize <= kTextLimit);

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
// is short, with whether asking again may help in `*failure` when it is
// given. A body shorter than its Content-Length is a failure that may pass,
// never a document. The caller releases it with closeXML.
[[nodiscard]] TimelineXml* openChannelXML(const char* url, FetchFailure* failure = nullptr);

// A document made from `length` bytes already in memory (for parsing text
// that did not come over the network); null when memory is short.
[[nodiscard]] TimelineXml* openXMLText(const char* data, size_t length, time_t fetchTime);

void closeXML(TimelineXml* xml);  // accepts null

using XmlPtr = Owned<TimelineXml, closeXML>;

// The next tag, '<' and '>' included, or empty at the end (or when memory is
// short): a tag is never empty.
HeapText getXMLTag(TimelineXml* xml);

TagType getXMLTagType(TextView tag);

// The value of the attribute named `key` (its name and '=', as "url="),
// in double or single quotes, with its character references (&amp; &lt;
// &gt; &quot; &apos; and numeric ones) decoded; empty when it is missing or
// empty (or memory is short). Only a whole attribute name counts: "url="
// is not found in thumburl="..." nor inside another attribute's value.
HeapText getXMLParam_c(TextView tag, TextView key);

// The same value, undecoded, read as atoi reads it; -1 when it is missing or empty.
int32_t getXMLParam_i(TextView tag, TextView key);

#endif  // ZTV_TIMELINE_TIMELINE_XML_H
