#include "stream/video_select.h"

#include "log/log.h"
#include "net/socket.h"
#include "stream/tries.h"

const char* timelineHost = TIMELINE_HOST;

namespace {

constexpr const char* kName = "getNewVideoToStream";

// A channel whose every video repeats the one just streamed, or counts as
// finished right after its header, would otherwise be downloaded again and
// again without a tag reaching the player: the first download and one fresh
// one are allowed between two tags, then the stream ends.
constexpr uint32_t kMaxLoadsWithoutTag = 2;

bool timelineUrl(HeapText* url, int32_t channelId) {
  const bool schemed = startsWith(timelineHost, "http://") || startsWith(timelineHost, "https://");
  return formatText(url, "%s%s/live/semichannel/timeline/?id=%d", schemed ? "" : "http://", timelineHost,
                    static_cast<int>(channelId));
}

// Downloads the timeline into the session, trying again after a failure
// that may pass for as long as the stream may go without a unit; false when
// it cannot be had or the bound on downloads without a tag is reached.
bool loadTimeline(StreamSession& s, const HeapText& url) {
  if (s.timelineLoadsSinceTag >= kMaxLoadsWithoutTag) {
    Log(ERROR, "%s: no new video to stream.", kName);
    return false;
  }
  ++s.timelineLoadsSinceTag;
  for (int failures = 1;; ++failures) {
    FetchFailure failure = FetchFailure::kFinal;
    {
      const WaitsBoundedBy withinTheLead(tryEndsMs(s, tryTimes.longestSilenceMs));
      s.timeline.reset(openEPGData(url.c_str(), &failure));
    }
    if (s.timeline) return true;
    if (failure != FetchFailure::kMayPass) return false;
    const TryAgain again = pauseBeforeTry(s, failures, tryTimes.longestSilenceMs, "the timeline download");
    if (again == TryAgain::kNo) Log(ERROR, "%s: no timeline could be had while the player had data.", kName);
    if (again != TryAgain::kYes) return false;
  }
}

// Where a fresh list goes on: behind the entry of the video just streamed.
// The service's timeline moves with the clock, so a fresh one may still
// name what was streamed; starting at its first entry would stream that
// again. A list that names it last (one that loops), or not at all, is
// played from entry 1.
int32_t entryAfterCurrent(const Timeline* timeline, int32_t currentPliid) {
  const int32_t count = timeline->entryCount();
  if (timeline->entries[(size_t)(count - 1)].pliid == currentPliid) return 1;
  for (int32_t index = 1; index < count; ++index) {
    if (timeline->entries[(size_t)(index - 1)].pliid == currentPliid) return index + 1;
  }
  return 1;
}

// The list is used up: a fresh download, played on from the video just streamed.
bool reloadTimeline(StreamSession& s, const HeapText& url) {
  s.timeline.reset();
  s.entryIndex = 1;
  if (!loadTimeline(s, url)) return false;
  if (s.headerSent) s.entryIndex = entryAfterCurrent(s.timeline.get(), s.currentPliid);
  return true;
}

// The live offset as the wanted start time; an unset (negative) offset
// means no jump, not a jump to the end of the video.
void takeOffset(StreamSession& s) {
  if (!s.headerSent) s.liveJumpSec = s.timeline->offset > 0 ? static_cast<uint32_t>(s.timeline->offset) : 0;
}

// Moves entryIndex to the first entry from there on whose pliid differs
// from currentPliid and whose video this stream has not passed over; false,
// never looking past the last entry, when there is none.
bool passOverRepeats(StreamSession& s) {
  const int32_t count = s.timeline->entryCount();
  for (; s.entryIndex <= count; ++s.entryIndex) {
    const TimelineEntry& entry = s.timeline->entries[static_cast<size_t>(s.entryIndex - 1)];
    Log(DEBUG, "%s: Video number: %d of %d, new pliid: %d, current pliid: %d, url: %s", kName, s.entryIndex,
        count, entry.pliid, s.currentPliid, entry.url.c_str());
    if (entry.pliid != s.currentPliid && !wasPassedOver(s, entry.url.view())) return true;
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
