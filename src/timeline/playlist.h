#ifndef ZTV_TIMELINE_PLAYLIST_H
#define ZTV_TIMELINE_PLAYLIST_H

// A channel's timeline reduced to what the stream needs: the playable videos
// of its semi-live programme in document order (best source of format 3
// without DRM), the live offset in the first of them, and the download time.

#include <stdint.h>
#include <time.h>

#include "base/heap.h"
#include "base/heap_text.h"
#include "timeline/timeline_xml.h"

struct TimelineEntry {
  HeapText url;       // the chosen source's url attribute, as written; owned
  int32_t pliid = 0;  // the vod's pliid; -1 when missing or empty
};

struct Timeline {
  HeapArray<TimelineEntry> entries;  // `count` entries in document order, room for `capacity`;
                                     // closeEPGData destroys them (the array frees only its block)
  int32_t count = 0;                 // entries in use; at least one in every Timeline handed out
  int32_t capacity = 0;              // entries allocated
  int32_t offset = 0;                // live position in seconds; 0 without SemiLive, -1 when unset
  time_t fetchTime = 0;              // when the document's response arrived

  int32_t entryCount() const { return count; }
};

// Downloads and parses the timeline at `url`; null when the download fails,
// memory is short or the document holds no playable video, with whether
// asking again may help in `*failure` when it is given.
[[nodiscard]] Timeline* openEPGData(const char* url, FetchFailure* failure = nullptr);

// Parses a document already downloaded; null as for openEPGData. Does not
// take ownership of `xml`.
[[nodiscard]] Timeline* parseEPGData(TimelineXml* xml);

void closeEPGData(Timeline* timeline);  // accepts null

using TimelinePtr = Owned<Timeline, closeEPGData>;

#endif  // ZTV_TIMELINE_PLAYLIST_H
