// The tag scanner and the playlist reduction over arbitrary bytes: every tag
// of the input is classified and searched for the attributes the playlist
// reads, then the whole input is reduced to a timeline.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "timeline/playlist.h"
#include "timeline/timeline_xml.h"
#include "support/text_print.h"

namespace {


void scanTags(TimelineXml* xml) {
  uint32_t lastCursor = 0;
  for (HeapText tag = getXMLTag(xml); !tag.empty(); tag = getXMLTag(xml)) {
    if (xml->cursor <= lastCursor && lastCursor != 0) __builtin_trap();  // the cursor only moves forward
    lastCursor = xml->cursor;
    (void)getXMLTagType(tag.view());
    for (const char* key : {"url=", "offset=", "pliid=", "quality=", "format=", "drmtype="}) {
      const HeapText value = getXMLParam_c(tag.view(), key);
      int32_t number = getXMLParam_i(tag.view(), key);
      if (value.empty() && number != -1) __builtin_trap();  // a missing value reads as -1
      if (value.size() > tag.size()) __builtin_trap();  // a reference is never shorter than its text
    }
  }
}

void reduce(TimelineXml* xml) {
  TimelinePtr timeline(parseEPGData(xml));
  if (timeline && timeline->entryCount() == 0) __builtin_trap();  // a timeline always has an entry
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // One copy of the document for both passes: the reduction reads it again from the start.
  XmlPtr xml(openXMLText(reinterpret_cast<const char*>(data), size, 0));
  if (!xml) return 0;
  scanTags(xml.get());
  xml->cursor = 0;
  reduce(xml.get());
  return 0;
}
