#ifndef ZTV_TIMELINE_PLAYLIST_H
#define ZTV_TIMELINE_PLAYLIST_H

// A channel's timeline reduced to what the stream needs: the playable videos
// of its semi-live programme in document order (best source of format 3
// without DRM), the live offset in the first of them, and the download time.

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "timeline/timeline_xml.h"

struct TimelineEntry {
  std::string url;    // the chosen source's url attribute, as written
  int32_t pliid = 0;  // the vod's pliid; -1 when missing or empty
};

struct Timeline {
  std::vector<TimelineEntry> entries;  // at least one in every Timeline handed out
  int32_t offset = 0;                  // live position in seconds; 0 without SemiLive, -1 when unset
  time_t fetchTime = 0;                // when the document's response arrived

  int32_t entryCount() const { return static_cast<int32_t>(entries.size()); }
};

// Downloads and parses the timeline at `url`; null when the download fails,
// memory is short or the document holds no playable video.
[[nodiscard]] Timeline* openEPGData(const char* url);

// Parses a document already downloaded; null as for openEPGData. Does not
// take ownership of `xml`.
[[nodiscard]] Timeline* parseEPGData(TimelineXml* xml);

void closeEPGData(Timeline* timeline);  // accepts null

struct TimelineCloser {
  void operator()(Timeline* timeline) const noexcept { closeEPGData(timeline); }
};
using TimelinePtr = std::unique_ptr<Timeline, TimelineCloser>;

#endif  // ZTV_TIMELINE_PLAYLIST_H
