#ifndef ZTV_TESTS_SUPPORT_TIMELINE_DOC_H
#define ZTV_TESTS_SUPPORT_TIMELINE_DOC_H

// Timeline documents in the service's shape, for every test that serves a
// channel: resp > SemiLive offset= > one vod pliid= per item, each with the
// sources of that item. Needs nothing but the C++ library (the fuzz targets
// use it too).

#include <string>
#include <vector>

namespace testsupport {

// One srcreq of a vod. The proxy takes the best quality of format 3 without DRM.
struct TimelineSource {
  std::string url;  // written as it stands (no entities are added)
  int quality = 2;
  int format = 3;
  int drmtype = 0;  // 0: no DRM
};

struct TimelineItem {
  std::string url;                   // the source the proxy is to take: format 3, no DRM
  int pliid = 0;
  int quality = 2;                   // of that source
  std::vector<TimelineSource> more = {};  // further sources of the vod, written after it
};

// With Decoys::Around each item's source stands among sources the proxy must
// not take (another format, DRM, a lower quality); its quality is then 5
// and `more` is not written.
enum class Decoys { None, Around };

std::string timelineDocument(const std::vector<TimelineItem>& items, int offset, Decoys decoys = Decoys::None);

}  // namespace testsupport

#endif  // ZTV_TESTS_SUPPORT_TIMELINE_DOC_H
