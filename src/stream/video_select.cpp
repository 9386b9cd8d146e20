#include "stream/video_select.h"

#include "log/log.h"

const char* timelineHost = TIMELINE_HOST;

namespace {

constexpr const char* kName = "getNewVideoToStream";

// A channel whose every video repeats the one just streamed, or counts as
// finished right after its header, would otherwise be downloaded again and
// again without a tag reaching the player: the first download and one fresh
// one are allowed between two tags, then the stream ends.
constexpr uint32_t kMaxLoadsWithoutTag = 2;

bool timelineUrl(HeapText* url, int32_t channelId) {
  return formatText(url, "http://%s/live/semichannel/timeline/?id=%d", timelineHost, static_cast<int>(channelId));
}

// Downloads the timeline into the session; false when it cannot be had or
// the bound on downloads without a tag is reached.
bool loadTimeline(StreamSession& s, const HeapText& url) {
  if (s.timelineLoadsSinceTag >= kMaxLoadsWithoutTag) {
    Log(ERROR, "%s: no new video to stream.", kName);
    return false;
  }
  ++s.timelineLoadsSinceTag;
  s.timeline.reset(openEPGData(url.c_str()));
  return s.timeline != nullptr;
}

// The list is used up: a fresh download, played from entry 1.
bool reloadTimeline(StreamSession& s, const HeapText& url) {
  s.timeline.reset();
  s.entryIndex = 1;
  return loadTimeline(s, url);
}

// The live offset as the wanted start time; an unset (negative) offset
// means no jump, not a jump to the end of the video.
void takeOffset(StreamSession& s) {
  if (!s.headerSent) s.seekTime = s.timeline->offset > 0 ? static_cast<uint32_t>(s.timeline->offset) : 0;
}

// Moves entryIndex to the first entry from there on whose pliid differs
// from currentPliid; false, never looking past the last entry, when all repeat it.
bool passOverRepeats(StreamSession& s) {
  const int32_t count = s.timeline->entryCount();
  for (; s.entryIndex <= count; ++s.entryIndex) {
    const TimelineEntry& entry = s.timeline->entries[static_cast<size_t>(s.entryIndex - 1)];
    Log(DEBUG, "%s: Video number: %d of %d, new pliid: %d, current pliid: %d, url: %s", kName, s.entryIndex,
        count, entry.pliid, s.currentPliid, entry.url.c_str());
    if (entry.pliid != s.currentPliid) return true;
  }
  return false;
}

}  // namespace

int getNewVideoToStream(StreamSession** session) {
  StreamSession& s = **session;
  Log(DEBUG, "%s: Get new video file.", kName);
  HeapText url;
  if (!timelineUrl(&url, s.channelId)) {
    Log(ERROR, "%s: Couldn't allocate memory!", kName);
    return -1;
  }
  Log(DEBUG, "%s: link to XML: %s", kName, url.c_str());
  if (!s.timeline && !loadTimeline(s, url)) return -1;

  ++s.entryIndex;
  if (s.entryIndex > s.timeline->entryCount() && !reloadTimeline(s, url)) return -1;

  for (;;) {
    takeOffset(s);
    if (passOverRepeats(s)) break;
    if (!reloadTimeline(s, url)) return -1;
  }

  const TimelineEntry& chosen = s.timeline->entries[static_cast<size_t>(s.entryIndex - 1)];
  if (!copyText(&s.videoUrl, chosen.url.view())) {
    Log(ERROR, "%s: Couldn't allocate memory!", kName);
    return -1;
  }
  s.currentPliid = chosen.pliid;
  return 0;
}
