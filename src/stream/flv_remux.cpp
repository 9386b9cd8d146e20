#include "stream/flv_remux.h"

#include <stdio.h>
#include <string.h>
#include <time.h>

#include "base/bytes.h"
#include "base/clock.h"
#include "log/log.h"
#include "net/socket.h"
#include "stream/flv_block.h"
#include "stream/keyframe_index.h"
#include "stream/pace.h"
#include "stream/tries.h"
#include "stream/video_select.h"

namespace {

constexpr const char* kName = "getFLVPacket";


// A step forward in a source's timestamps longer than this is no step of a
// video (a picture held longer than the player's whole buffer) but a clock
// that jumped, as a recorder's does when its clock is set: it is passed over
// like a join, so that the player sees no gap and the pacing does not wait
// for it. Shorter steps (a slide show, a still picture over music) are kept.
constexpr uint32_t kLongestStepMs = ZTV_PACE_LEAD_MS;

// No sound frame lasts longer (AAC at 8 kHz: 128 ms); a longer step between
// sounds is a pause in them, not the length of one.
constexpr uint32_t kLongestSoundMs = 250;

// The longest a source's sound is held back behind its picture at a join,
// so that it does not begin inside the last source's sound: lip sync
// stays within what viewers notice.
constexpr uint32_t kLongestSoundWaitMs = 100;

// Where one pass of the steps has come to.
enum class Pass : uint8_t {
  kUnit,        // a unit of `length` bytes is at the start of the buffer
  kStreamOver,  // ended or failed: 0 to the caller
  kNextSource,  // the source is done, or dropped for the seek: another pass from the top
};
struct Outcome {
  Pass pass;
  int32_t length;  // of the unit; 0 otherwise
};
constexpr Outcome kStreamOver{Pass::kStreamOver, 0};
constexpr Outcome kNextSource{Pass::kNextSource, 0};
constexpr Outcome unit(int32_t length) { return Outcome{Pass::kUnit, length}; }

// One tag of the source on its way out: its block is kept aside until the
// body is in the buffer (behind the block's place) and the seek has had its look.
struct Tag {
  uint8_t block[kBlockSize];  // PreviousTagSize and tag header, already chained and rebased
  uint32_t dataSize;          // body bytes
  uint32_t step;              // the video step added to outTimestamp (0 for other tags)
};

// Ends the stream after a failure: the source is dropped.
Outcome failed(StreamSession& s, const char* what) {
  Log(ERROR, "%s, %s", kName, what);
  s.source.reset();
  return kStreamOver;
}

// The source is closed; the next one's first PreviousTagSize must carry the
// size of the last tag the player actually got.
void dropSource(StreamSession& s) {
  s.source.reset();
  s.sourceHeaderRead = false;
  s.keyframesSeen = 0;
  s.patchPrevTagSize = true;
  putBigEndian32(s.lastPrevTagSize, s.lastTagSize);
}

// The current video is given up: the stream goes on with the next entry of
// the timeline, and this video is not tried again.
Outcome passOver(StreamSession& s, const char* why) {
  Log(ERROR, "%s, passed over %s: %s", kName, s.videoUrl.c_str(), why);
  rememberPassedOver(s, s.videoUrl.view());
  dropSource(s);
  s.seekPending = false;
  s.retryPending = false;
  s.sourceAtSeek = false;
  s.liveJumpSec = 0;  // the jump to the live position was into this video
  s.reopenSec = 0;
  s.seekFilePos = 0;
  return stillOnAir(s) ? kNextSource : kStreamOver;
}

// A try of the current video failed in a way that may pass: after the
// pause, the next pass connects again, at seekFilePos when a seek is
// pending, else from the start. A video whose tries are used up, or would
// outlast the lead, is passed over.
Outcome tryAgain(StreamSession& s, const char* what) {
  if (!s.seekPending) s.retryPending = true;
  ++s.failedTries;
  if (s.failedTries >= kMostFailures) return passOver(s, "its tries are used up");
  switch (pauseBeforeTry(s, s.failedTries, tryTimes.longestSilenceMs / 2, what)) {
    case TryAgain::kYes:
      return kNextSource;
    case TryAgain::kNo:
      return passOver(s, "another try would take longer than the lead");
    case TryAgain::kStopped:
      break;
  }
  return kStreamOver;
}

// Where a video that broke off goes on. No picture of the connection yet
// after a seek: the same position again. No picture of the video yet, or
// the jump to the live position still to come: from its start. Else from
// the keyframe at or before the last picture sent, found in the index, so
// that the player sees again at most one keyframe interval. False when
// there is no index to find it in.
bool findResumePoint(StreamSession& s) {
  if (s.sourceAtSeek) {
    s.seekPending = true;
    s.seekFilePos = s.connectedAt;
    s.reopenSec = s.seekLandingMs / 1000;
    return true;
  }
  if (!s.videoShown || s.liveJumpSec != 0) {
    s.retryPending = true;
    return true;
  }
  if (s.keyframeCount == 0 || !s.keyframeTimes || !s.keyframeFilePositions) return false;
  if (s.lastInTimestamp > s.cutAtMs) s.cutAtMs = s.lastInTimestamp;
  uint32_t at = 0;
  while (at + 1 < s.keyframeCount && uint64_t{s.keyframeTimes[at + 1]} * 1000 <= s.lastInTimestamp) ++at;
  s.seekPending = true;
  s.seekFilePos = s.keyframeFilePositions[at];
  s.reopenSec = s.keyframeTimes[at];
  return true;
}

// The source ended or stalled before its Content-Length: the same video
// again, from where findResumePoint says; one without an index is passed over.
Outcome brokeOff(StreamSession& s, const char* what) {
  Log(ERROR, "%s, %s", kName, what);
  Log(ERROR, "%s, %s broke off at byte %lld of %lld", kName, s.videoUrl.c_str(),
      static_cast<long long>(s.source->bytesRead), static_cast<long long>(s.source->contentLength));
  dropSource(s);
  if (!findResumePoint(s)) return passOver(s, "it broke off, and has no keyframe index to go on from");
  return tryAgain(s, "reading it");
}

// Makes room for `size` bytes at the start of the caller's buffer: only a
// unit beyond `capacity` (or a missing buffer) reallocates, to exactly `size`.
bool makeRoom(ByteBuffer* buffer, uint32_t capacity, uint32_t size) {
  if (buffer == nullptr) return false;
  if (size <= capacity && *buffer) return true;
  return resizeArray(*buffer, size);
}

int readSource(StreamSession& s, void* into, uint32_t size) {
  return webFileRead(s.source.get(), into, static_cast<int>(size));
}

// Step 1, once getNewVideoToStream has chosen the next video: its log lines.
void announceVideo(StreamSession& s) {
  LogPrintf("Open video: %s\n", s.videoUrl.c_str());
  if (s.liveJumpSec != 0) LogPrintf("Seek time: %d sec.\n", static_cast<int>(s.liveJumpSec));
  s.metaDecoded = false;
  s.failedTries = 0;
  s.videoShown = false;
  s.cutAtMs = 0;
}

// The URL of a connection to the video, or with `seeking` to the video from
// byte `position` on. False when memory is short.
bool connectUrl(const StreamSession& s, bool seeking, uint32_t position, HeapText* url) {
  if (!seeking) return copyText(url, s.videoUrl.view());
  // A URL that has a query already (a signed one: ?token=...) gets the
  // position as a parameter of its own.
  const char* separator = findChar(s.videoUrl.view(), '?') == kNotFound ? "?" : "&";
  return formatText(url, "%s%sstart=%u", s.videoUrl.c_str(), separator, static_cast<unsigned>(position));
}

// The source is there, with `seeking` from byte `position` on: a seek's
// wanted time and position become where it landed; a new source's audio
// follows its own video.
void connected(StreamSession& s, bool seeking, uint32_t position) {
  s.connectedAt = position;
  s.retryPending = false;
  s.audioOffsetSet = false;
  s.sourceVideoSeen = false;
  s.sourceAudioSeen = false;
  s.sourceVideoJudged = false;
  if (!seeking) return;  // from the start: a jump to the live position still to come stays wanted
  s.seekPending = false;
  s.sourceAtSeek = true;
  s.seekLandingMs = s.reopenSec > UINT32_MAX / 1000 ? UINT32_MAX : s.reopenSec * 1000;
  s.liveJumpSec = 0;  // the jump to the live position, if this was it, is done
  s.reopenSec = 0;
  s.seekFilePos = 0;
}

// A host that knows no "?start=" (a plain web server or content network)
// answers it with the whole file. The same bytes are then asked for by
// range, from the PreviousTagSize in front of the keyframe's tag on: a range
// comes without the file's header. A host that ignores the range too sends
// the whole file again, which plays from its beginning.
FetchFailure reopenByRange(StreamSession& s, uint32_t position) {
  Log(ERROR, "%s, the host sent the whole file for start=%u; asking for its bytes from there", kName,
      static_cast<unsigned>(position));
  s.source.reset(webFileParseUrl(s.videoUrl.c_str()));
  FetchFailure failure = FetchFailure::kMayPass;  // memory short
  if (s.source && formatText(&s.source->range, "bytes=%u-", static_cast<unsigned>(position - 4))) {
    s.source->contentLength = webFileConnect(s.source.get());
    failure = s.source->failure;
  }
  if (!s.source || s.source->fd == -1) {
    s.source.reset();
    Log(ERROR, "%s, connecting to %s", kName, s.videoUrl.c_str());
    return failure;
  }
  s.sourceHeaderRead = s.source->status == 206;
  return FetchFailure::kNone;
}

// Step 2: the current video, or with seekPending from seekFilePos on. What
// failed, if anything; the seek stays pending until a connection is there.
FetchFailure connectSource(StreamSession& s) {
  // A try that is not answered within the lead is given up: a trickling
  // answer must not hold the stream past what the player has in hand.
  const WaitsBoundedBy withinTheLead(tryEndsMs(s, tryTimes.longestSilenceMs / 2));
  const bool seeking = s.seekPending;
  const uint32_t position = s.seekFilePos;
  HeapText url;
  if (!connectUrl(s, seeking, position, &url)) {
    Log(ERROR, "%s, connecting to %s", kName, s.videoUrl.c_str());
    return FetchFailure::kMayPass;
  }
  Log(DEBUG, "%s, connecting to %s", kName, url.c_str());
  FetchFailure failure;
  s.source.reset(webFileOpen(url.c_str(), &failure));
  if (!s.source) {
    Log(ERROR, "%s, connecting to %s", kName, url.c_str());
    return failure;
  }
  if (!seeking) {
    s.videoLength = s.source->contentLength;
  } else if (s.videoLength > 0 && s.source->contentLength == s.videoLength && position >= kFileHeaderSize + 4) {
    failure = reopenByRange(s, position);
    if (failure != FetchFailure::kNone) return failure;
  }
  connected(s, seeking, position);
  return FetchFailure::kNone;
}

// Step 2 failed: a video that is gone (or otherwise refused for good) is
// passed over, one that may come back is tried again.
Outcome openFailed(StreamSession& s, FetchFailure failure) {
  if (failure == FetchFailure::kFinal) return passOver(s, "the service's answer was final");
  return tryAgain(s, "opening it");
}

// Step 3: checks the source's 9-byte header; false, with what the stream
// does instead in `*instead`, when it has none. Only the session's first is
// sent on.
bool readSourceHeader(StreamSession& s, Outcome* instead) {
  uint8_t header[kFileHeaderSize];
  if (readSource(s, header, kFileHeaderSize) < static_cast<int>(kFileHeaderSize)) {
    *instead = brokeOff(s, "read FLV header.");
    return false;
  }
  if (memcmp(header, "FLV", 3) != 0) {
    Log(ERROR, "%s, bad FLV header.", kName);
    *instead = passOver(s, "it is not an FLV file");
    return false;
  }
  s.sourceHeaderRead = true;
  if (s.headerSent) Log(DEBUG, "%s, Skip FLV header.", kName);
  return true;
}

// Step 3: the synthesized header of the output, a unit of its own.
Outcome sendFileHeader(StreamSession& s, ByteBuffer* buffer, uint32_t capacity) {
  Log(DEBUG, "%s, Send FLV header.", kName);
  if (!makeRoom(buffer, capacity, kFileHeaderSize)) return failed(s, "Couldn't reallocate memory!");
  s.headerSent = true;
  memcpy(buffer->get(), kFileHeader, kFileHeaderSize);
  return unit(kFileHeaderSize);
}

// Step 4: at most 15 bytes left (the final PreviousTagSize) means the file
// is done. The next source's first PreviousTagSize must then carry the size
// of the last tag the player actually got.
bool finishedSource(StreamSession& s) {
  if (s.source->bytesRead + kBlockSize < s.source->contentLength) return false;
  dropSource(s);
  return true;
}

// Step 6.
void chainPrevTagSize(StreamSession& s, uint8_t* block) {
  if (s.patchPrevTagSize) {
    s.patchPrevTagSize = false;
    memcpy(block, s.lastPrevTagSize, 4);
  }
  memcpy(s.lastPrevTagSize, block, 4);
}

// Whether a video tag with source timestamp `in` steps forward as the
// source's own clock does: not at a join or a repeat (it does not rise), nor
// where the clock jumped within one source. The first picture of a source
// steps on as it says (a join), but after the jump to the live position
// only up to the keyframe's time in the index (whole seconds) and a step.
bool ownStep(const StreamSession& s, uint32_t in) {
  if (in <= s.lastInTimestamp) return false;
  if (s.sourceAtSeek) return uint64_t{in} <= uint64_t{s.seekLandingMs} + kLongestStepMs;
  return !s.sourceVideoSeen || in - s.lastInTimestamp <= kLongestStepMs;
}

// The step a video tag with source timestamp `in` adds to outTimestamp:
// the source's own step, else (a join, a repeat, a jumped clock) the last one.
uint32_t videoStep(const StreamSession& s, uint32_t in) {
  return ownStep(s, in) ? in - s.lastInTimestamp : s.lastDelta;
}

// A video tag that carries no picture: the AVC decoder's set-up (sequence
// header) or end of sequence. It does not move the clock: at a join the old
// video's end and the new one's set-up would each add a frame's time, a
// frozen picture and a silence the player shows.
bool carriesNoPicture(const uint8_t* body, uint32_t dataSize) {
  return dataSize >= 2 && (body[0] & 0x0F) == kAvc && body[1] != kAvcFrame;
}

// An audio tag that carries no sound: the AAC decoder's set-up.
bool carriesNoSound(const uint8_t* body, uint32_t dataSize) {
  return dataSize >= 2 && (body[0] >> 4) == kAac && body[1] == kAacSetUp;
}

// Step 7: video timestamps keep rising across joins; returns the step
// added to outTimestamp for this tag. A picture past where the video last
// broke off is progress: its tries start anew.
uint32_t rebaseVideo(StreamSession& s, uint8_t* block, const uint8_t* body, uint32_t dataSize) {
  if (carriesNoPicture(body, dataSize)) {
    writeTimestamp(block, s.outTimestamp);
    return 0;
  }
  const uint32_t in = readTimestamp(block);
  if (!s.videoShown || in > s.cutAtMs) s.failedTries = 0;
  s.videoShown = true;
  const uint32_t step = videoStep(s, in);
  if (ownStep(s, in)) s.lastDelta = step;
  s.sourceAtSeek = false;
  s.sourceVideoSeen = true;
  s.lastInTimestamp = in;
  s.outTimestamp += step;
  s.audioOffset = s.outTimestamp - in;
  s.audioOffsetSet = true;
  writeTimestamp(block, s.outTimestamp);
  return step;
}

// True when timestamp `a` lies before `b` on the wrapping 32-bit clock.
bool earlier(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) < 0; }

// Audio that would go out further ahead of the stream's clock (the later of
// the last picture and the last sound) than any step of a video: the
// source's clock jumped, and its video has not yet shown it.
bool audioJumped(const StreamSession& s, uint32_t out) {
  const uint32_t clock = earlier(s.outTimestamp, s.lastAudioTimestamp) ? s.lastAudioTimestamp : s.outTimestamp;
  return static_cast<int32_t>(out - clock) > static_cast<int32_t>(kLongestStepMs);
}

// How long the first sound of a source, due at `out`, waits for the last
// sound to end: that one's time, a sound's length (the last step between
// two sounds of one source) and a ms, as timestamps are whole ms and a
// sound's length is not. A source's sound often outlasts its picture by a
// little, and the next source's picture goes on a frame after the last.
uint32_t soundWait(const StreamSession& s, uint32_t out) {
  if (s.lastAudioStep == 0) return 0;
  const uint32_t soundEnds = s.lastAudioTimestamp + s.lastAudioStep + 1;
  if (!earlier(out, soundEnds)) return 0;
  return soundEnds - out < kLongestSoundWaitMs ? soundEnds - out : kLongestSoundWaitMs;
}

// Audio goes out with the offset of its source's video. Audio that comes
// before the source's first video tag takes the offset that tag is about
// to get (as if it stood at the audio's time), or continues from the last
// audio sent when that would go back (a source without video); so does
// audio whose clock jumped ahead of its video's. Where one source's audio
// outlasted its video, the next source's sound waits for the last one to
// end (soundWait), and what still would go back is held at the last audio
// timestamp.
void rebaseAudio(StreamSession& s, uint8_t* block, const uint8_t* body, uint32_t dataSize) {
  // Without a sound it stays at the last sound's time and moves nothing.
  if (carriesNoSound(body, dataSize)) {
    writeTimestamp(block, s.lastAudioTimestamp);
    return;
  }
  const uint32_t in = readTimestamp(block);
  if (s.audioOffsetSet && audioJumped(s, in + s.audioOffset)) s.audioOffsetSet = false;
  if (!s.audioOffsetSet) {
    uint32_t first = s.outTimestamp + videoStep(s, in);
    if (earlier(first, s.lastAudioTimestamp)) first = s.lastAudioTimestamp;
    s.audioOffset = first - in;
    s.audioOffsetSet = true;
  }
  uint32_t out = in + s.audioOffset;
  if (!s.sourceAudioSeen) s.audioWaitMs = soundWait(s, out);
  out += s.audioWaitMs;
  if (earlier(out, s.lastAudioTimestamp)) out = s.lastAudioTimestamp;
  if (s.sourceAudioSeen && in > s.lastAudioIn && in - s.lastAudioIn <= kLongestSoundMs) {
    s.lastAudioStep = in - s.lastAudioIn;
  }
  s.sourceAudioSeen = true;
  s.lastAudioIn = in;
  s.lastAudioTimestamp = out;
  writeTimestamp(block, out);
}

// Step 7: audio and video onto one rising timeline; script tags (and any
// other type) keep their source timestamps. Returns the video step (0 for
// other tags).
uint32_t rebaseTimestamp(StreamSession& s, uint8_t* block, const uint8_t* body, uint32_t dataSize) {
  if (block[4] == kVideoTag) return rebaseVideo(s, block, body, dataSize);
  if (block[4] == kAudioTag) rebaseAudio(s, block, body, dataSize);
  return 0;
}

// The codec of an audio or video tag's body, as the player's form knows it:
// false, with the reason in `why`, when the form cannot carry it. Looked at
// before the tag moves the chain or the clocks, so that nothing of a source
// the player's form refuses goes out.
bool carried(const StreamSession& s, uint8_t type, const uint8_t* body, uint32_t dataSize, char* why,
             size_t whySize) {
  if (dataSize == 0 || (type != kVideoTag && type != kAudioTag)) return true;
  const bool video = type == kVideoTag;
  const uint16_t codecs = video ? s.videoCodecs : s.soundFormats;
  if (codecs == kAllCodecs) return true;
  // A video body's top bit marks the extended header, whose codecs are named otherwise.
  const unsigned codec = video ? body[0] & 0x0F : body[0] >> 4;
  if ((!video || (body[0] & 0x80) == 0) && ((codecs >> codec) & 1) != 0) return true;
  snprintf(why, whySize, "the player's form carries no %s of FLV %s %u%s", video ? "video" : "audio",
           video ? "codec" : "sound format", codec, video && (body[0] & 0x80) != 0 ? " (extended)" : "");
  return false;
}

// A form that carries only some codecs judges a source by its video too:
// its sound before its first video tag (a picture's or the decoder's
// set-up) is dropped, so that nothing of a source passed over for its video
// goes out. A decoder set-up for the sound goes on, as it carries no sound.
bool soundBeforeJudged(StreamSession& s, uint8_t type, const uint8_t* body, uint32_t dataSize) {
  if (s.videoCodecs == kAllCodecs || dataSize == 0) return false;
  if (type == kVideoTag) s.sourceVideoJudged = true;
  return type == kAudioTag && !s.sourceVideoJudged && !carriesNoSound(body, dataSize);
}

// Steps 5 to 9: the next tag of the source into `tag`, its body (if any)
// read straight into the buffer behind the block's place, with one zero byte
// of room behind it that ends the data for the index decoder: a tag costs no
// allocation of its own and no copy. The chain and the clocks move only for
// a tag read whole. False, with what the stream does instead in `*instead`,
// when it cannot be read.
bool readTag(StreamSession& s, ByteBuffer* buffer, uint32_t capacity, Tag* tag, Outcome* instead) {
  if (readSource(s, tag->block, kBlockSize) < static_cast<int>(kBlockSize)) {
    *instead = brokeOff(s, "read packet header.");
    return false;
  }
  tag->dataSize = readBigEndian24(tag->block + 5);
  // A body beyond the end of the file is a broken file, not a broken
  // connection: it is not read, nor is what its size field announces allocated.
  if (s.source->bytesRead + tag->dataSize > s.source->contentLength) {
    Log(ERROR, "%s, read FLV packet.", kName);
    *instead = passOver(s, "a tag runs past the end of the file");
    return false;
  }
  const uint32_t room = tag->dataSize == 0 ? kBlockSize : kBlockSize + tag->dataSize + 1;
  if (!makeRoom(buffer, capacity, room)) {
    *instead = failed(s, "Couldn't reallocate memory!");
    return false;
  }
  uint8_t* body = buffer->get() + kBlockSize;
  if (tag->dataSize != 0) {
    if (readSource(s, body, tag->dataSize) < static_cast<int>(tag->dataSize)) {
      *instead = brokeOff(s, "read FLV packet.");
      return false;
    }
    body[tag->dataSize] = 0;
  }
  char why[80];
  if (!carried(s, tag->block[4], body, tag->dataSize, why, sizeof why)) {
    *instead = passOver(s, why);
    return false;
  }
  if (soundBeforeJudged(s, tag->block[4], body, tag->dataSize)) {
    *instead = kNextSource;  // the tag is dropped: the next pass reads on
    return false;
  }
  chainPrevTagSize(s, tag->block);
  tag->step = rebaseTimestamp(s, tag->block, body, tag->dataSize);
  return true;
}

// Step 11 applies to a keyframe while a start time is wanted.
bool seekLooksAt(const StreamSession& s, const Tag& tag, const uint8_t* body) {
  return tag.block[4] == kVideoTag && tag.dataSize != 0 && (body[0] >> 4) == kKeyframe && s.liveJumpSec != 0;
}

// Step 12: the block goes in front of its body; the tag goes out now.
Outcome tagUnit(StreamSession& s, ByteBuffer* buffer, const Tag& tag) {
  memcpy(buffer->get(), tag.block, kBlockSize);
  s.lastTagSize = kTagHeaderSize + tag.dataSize;
  s.timelineLoadsSinceTag = 0;
  return unit(static_cast<int32_t>(kBlockSize + tag.dataSize));
}

// One pass of the steps, from video selection to a unit.
Outcome nextUnit(StreamSession** session, ByteBuffer* buffer, uint32_t capacity) {
  StreamSession& s = **session;
  // Step 1: no source and no connection pending: the next video of the timeline.
  if (!s.source && !s.seekPending && !s.retryPending) {
    if (getNewVideoToStream(session) == -1) return kStreamOver;
    announceVideo(s);
  }
  if (!s.source) {
    const FetchFailure failure = connectSource(s);
    if (failure != FetchFailure::kNone) return openFailed(s, failure);
  }
  Outcome instead = kStreamOver;
  if (!s.sourceHeaderRead) {
    if (!readSourceHeader(s, &instead)) return instead;
    if (!s.headerSent) return sendFileHeader(s, buffer, capacity);
  }
  if (finishedSource(s)) return kNextSource;
  Tag tag;
  if (!readTag(s, buffer, capacity, &tag, &instead)) return instead;
  const uint8_t* body = buffer->get() + kBlockSize;
  // Step 10: the keyframe index, from the video's first script tag.
  if (tag.block[4] == kScriptTag && tag.dataSize != 0 && !s.metaDecoded) {
    Log(DEBUG, "Receive META data.\n");
    decodeFLVMetaPacket(session, body, tag.dataSize);
    s.metaDecoded = true;
  }
  // Step 11: the jump to the live position drops this keyframe and the source.
  if (seekLooksAt(s, tag, body) && flvLiveSeek(session, tag.step, time(nullptr))) return kNextSource;
  return tagUnit(s, buffer, tag);
}

}  // namespace

int32_t getFLVPacket(StreamSession** session, ByteBuffer* buffer, uint32_t capacity) {
  (*session)->unitWantedMs = monotonicMs();
  for (;;) {
    const Outcome outcome = nextUnit(session, buffer, capacity);
    if (outcome.pass == Pass::kUnit) return outcome.length;
    if (outcome.pass == Pass::kStreamOver) return 0;
    // kNextSource: another pass from the top.
  }
}
