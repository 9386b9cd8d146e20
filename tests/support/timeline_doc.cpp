#include "support/timeline_doc.h"

namespace testsupport {

namespace {

std::string srcreq(const TimelineSource& source) {
  return "      <srcreq url=\"" + source.url + "\" quality=\"" + std::to_string(source.quality) + "\" format=\"" +
         std::to_string(source.format) + "\" drmtype=\"" + std::to_string(source.drmtype) + "\"></srcreq>\n";
}

std::vector<TimelineSource> sourcesOf(const TimelineItem& item, Decoys decoys) {
  if (decoys == Decoys::None) {
    std::vector<TimelineSource> sources = {{item.url, item.quality}};
    sources.insert(sources.end(), item.more.begin(), item.more.end());
    return sources;
  }
  return {{item.url + "-wrongformat", 9, 1}, {item.url, 5}, {item.url + "-drm", 7, 3, 1}, {item.url + "-low", 2}};
}

}  // namespace

std::string timelineDocument(const std::vector<TimelineItem>& items, int offset, Decoys decoys) {
  std::string doc = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<resp status=\"ok\">\n";
  doc += "  <SemiLive offset=\"" + std::to_string(offset) + "\" channel=\"test\">\n";
  for (const TimelineItem& item : items) {
    doc += "    <vod pliid=\"" + std::to_string(item.pliid) + "\" title=\"sample\">\n";
    for (const TimelineSource& source : sourcesOf(item, decoys)) doc += srcreq(source);
    doc += "    </vod>\n";
  }
  return doc + "  </SemiLive>\n</resp>\n";
}

}  // namespace testsupport
