#include "timeline/playlist.h"

#include "base/language.h"
#include "log/log.h"

namespace {

constexpr const char* kParseOp = "openEPGData";

// The walk's state: where in the document the scanner stands and the best
// source of the vod being read.
struct ParseState {
  bool inSemiLive = false;
  bool inVod = false;  // inside a vod that started inside SemiLive
  int32_t pendingPliid = 0;
  HeapText chosenUrl;     // empty when none: an attribute value is never empty
  int32_t bestQuality = -1;
  bool stop = false;
};

// Room for one more entry, doubling the array; false when memory is short.
// The entries are moved into the new block one by one (their texts are owned).
bool makeRoomForEntry(Timeline* timeline) {
  if (timeline->count < timeline->capacity) return true;
  const int32_t grown = timeline->capacity == 0 ? 4 : timeline->capacity * 2;
  HeapArray<TimelineEntry> block = allocZeroed<TimelineEntry>(static_cast<size_t>(grown));
  if (!block) return false;
  for (size_t i = 0; i < static_cast<size_t>(timeline->count); ++i) {
    new (RecordPlacement{}, &block[i]) TimelineEntry{moved(timeline->entries[i])};
    timeline->entries[i].~TimelineEntry();
  }
  timeline->entries = moved(block);
  timeline->capacity = grown;
  return true;
}

// Moves the chosen URL into a new entry; false when memory is short.
bool addEntry(Timeline* timeline, ParseState* state) {
  Log(DEBUG, "%s: Add url: %s, pliid: %d", kParseOp, state->chosenUrl.c_str(), state->pendingPliid);
  if (!makeRoomForEntry(timeline)) return false;
  new (RecordPlacement{}, &timeline->entries[static_cast<size_t>(timeline->count)])
      TimelineEntry{moved(state->chosenUrl), state->pendingPliid};
  ++timeline->count;
  return true;
}

// A URL holds no space and no control character; one that does (after its
// references are decoded) would break the request line it goes into.
bool isPlainUrl(TextView url) {
  for (size_t i = 0; i < url.size; ++i) {
    const unsigned char c = static_cast<unsigned char>(url[i]);
    if (c <= ' ' || c == 0x7F) return false;
  }
  return true;
}

void chooseSource(TextView tag, ParseState* state) {
  int32_t quality = getXMLParam_i(tag, "quality=");
  bool taken = getXMLParam_i(tag, "format=") == 3 && quality > state->bestQuality &&
               getXMLParam_i(tag, "drmtype=") == 0;
  if (!taken) return;
  HeapText url = getXMLParam_c(tag, "url=");
  if (!isPlainUrl(url.view())) {
    Log(ERROR, "%s: (SRCREQ) url with a space or control character passed over (pliid %d)", kParseOp,
        state->pendingPliid);
    return;
  }
  // A taken source without a url drops the one chosen before it.
  state->chosenUrl = moved(url);
  Log(DEBUG, "%s: (SRCREQ) url: %s, quality: %d", kParseOp,
      state->chosenUrl.empty() ? "(null)" : state->chosenUrl.c_str(), quality);
  state->bestQuality = quality;
}

// Applies one tag to the walk; false when an entry could not be stored.
bool applyTag(TextView tag, Timeline* timeline, ParseState* state) {
  switch (getXMLTagType(tag)) {
    case RespEnd:
      state->stop = true;
      break;
    case SemiLiveStart:
      state->inSemiLive = true;
      timeline->offset = getXMLParam_i(tag, "offset=");
      Log(DEBUG, "%s: Offset: %d \n", kParseOp, timeline->offset);
      break;
    case SemiLiveEnd:
      state->inSemiLive = false;
      state->stop = true;
      break;
    case VodStart:
      if (!state->inSemiLive) break;
      state->pendingPliid = getXMLParam_i(tag, "pliid=");
      state->inVod = true;
      state->bestQuality = -1;
      break;
    case VodEnd:
      if (!state->inVod) break;
      if (!state->chosenUrl.empty() && !addEntry(timeline, state)) return false;
      state->pendingPliid = 0;
      state->inVod = false;
      state->bestQuality = -1;
      state->chosenUrl.clear();
      break;
    case SrcReq:
      if (state->inVod) chooseSource(tag, state);
      break;
    case Other:
      break;
  }
  return true;
}

// Walks `xml` into `timeline`; false when memory ran short.
bool walkDocument(TimelineXml* xml, Timeline* timeline) {
  Log(DEBUG, "%s: Parse EPG data.", kParseOp);
  timeline->offset = 0;
  timeline->fetchTime = xml->fetchTime;
  ParseState state;
  while (!state.stop) {
    const HeapText tag = getXMLTag(xml);
    if (tag.empty()) break;
    if (!applyTag(tag.view(), timeline, &state)) {
      Log(ERROR, "%s, Couldn't allocate memory!", kParseOp);
      return false;
    }
  }
  return true;
}

Timeline* newTimeline() {
  Timeline* timeline = newRecord<Timeline>();
  if (timeline == nullptr) Log(ERROR, "%s, Couldn't allocate memory!", kParseOp);
  return timeline;
}

// The walked timeline, or null (and the record released) when the walk
// failed or found no playable video.
Timeline* finishParse(TimelinePtr timeline, TimelineXml* xml) {
  if (!walkDocument(xml, timeline.get()) || timeline->count == 0) return nullptr;
  return timeline.release();
}

}  // namespace

Timeline* openEPGData(const char* url, FetchFailure* failure) {
  FetchFailure ignored;
  if (failure == nullptr) failure = &ignored;
  *failure = FetchFailure::kFinal;
  TimelinePtr timeline(newTimeline());
  if (!timeline) return nullptr;
  XmlPtr xml(openChannelXML(url, failure));
  if (!xml) {
    Log(ERROR, "%s, open Channel XML.", kParseOp);
    return nullptr;
  }
  Timeline* parsed = finishParse(moved(timeline), xml.get());
  *failure = parsed != nullptr ? FetchFailure::kNone : FetchFailure::kFinal;  // had, but nothing to play
  return parsed;
}

Timeline* parseEPGData(TimelineXml* xml) {
  if (xml == nullptr) return nullptr;
  TimelinePtr timeline(newTimeline());
  if (!timeline) return nullptr;
  return finishParse(moved(timeline), xml);
}

void closeEPGData(Timeline* timeline) {
  if (timeline == nullptr) return;
  // The array frees its block only: the entries' texts go first.
  for (int32_t i = 0; i < timeline->count; ++i) timeline->entries[static_cast<size_t>(i)].~TimelineEntry();
  freeRecord(timeline);
}
