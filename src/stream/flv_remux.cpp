#include "stream/flv_remux.h"

#include <stdio.h>
#include <string.h>
#include <time.h>

#include "base/bytes.h"
#include "log/log.h"
#include "stream/flv_block.h"
#include "stream/keyframe_index.h"
#include "stream/pace.h"
#include "stream/video_select.h"

namespace {

constexpr const char* kName = "getFLVPacket";

constexpr uint32_t kFileHeaderSize = 9;
constexpr uint8_t kKeyframe = 1;  // frame type in the upper four bits of a video body

// A step forward in a source's timestamps longer than this is no step of a
// video (a picture held longer than the player's whole buffer) but a clock
// that jumped, as a recorder's does when its clock is set: it is passed over
// like a join, so that the player sees no gap and the pacing does not wait
// for it. Shorter steps (a slide show, a still picture over music) are kept.
constexpr uint32_t kLongestStepMs = ZTV_PACE_LEAD_MS;

// Signature "FLV", version 1, audio and video present, header size 9.
constexpr uint8_t kFileHeader[kFileHeaderSize] = {0x46, 0x4C, 0x56, 0x01, 0x05, 0x00, 0x00, 0x00, 0x09};

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

// Ends the stream after a failure: the source is dropped; always false.
bool failed(StreamSession& s, const char* what) {
  Log(ERROR, "%s, %s", kName, what);
  s.source.reset();
  return false;
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
  if (s.seekTime != 0) LogPrintf("Seek time: %d sec.\n", static_cast<int>(s.seekTime));
  s.metaDecoded = false;
}

// The URL of the next connection: the video itself, or after a seek the
// video from the keyframe's byte position on.
// False when memory is short.
bool connectUrl(StreamSession& s, HeapText* url) {
  if (!s.seekPending) return copyText(url, s.videoUrl.view());
  s.seekPending = false;
  s.sourceAtSeek = true;
  s.seekLandingMs = s.seekTime > UINT32_MAX / 1000 ? UINT32_MAX : s.seekTime * 1000;
  const uint32_t position = s.seekFilePos;
  s.seekTime = 0;
  s.seekFilePos = 0;
  // A URL that has a query already (a signed one: ?token=...) gets the
  // position as a parameter of its own.
  const char* separator = findChar(s.videoUrl.view(), '?') == kNotFound ? "?" : "&";
  return formatText(url, "%s%sstart=%u", s.videoUrl.c_str(), separator, static_cast<unsigned>(position));
}

// A host that knows no "?start=" (a plain web server or content network)
// answers it with the whole file. The same bytes are then asked for by
// range, from the PreviousTagSize in front of the keyframe's tag on: a range
// comes without the file's header. A host that ignores the range too sends
// the whole file again, which plays from its beginning.
bool reopenByRange(StreamSession& s, uint32_t position) {
  Log(ERROR, "%s, the host sent the whole file for start=%u; asking for its bytes from there", kName,
      static_cast<unsigned>(position));
  s.source.reset(webFileParseUrl(s.videoUrl.c_str()));
  if (s.source && formatText(&s.source->range, "bytes=%u-", static_cast<unsigned>(position - 4))) {
    s.source->contentLength = webFileConnect(s.source.get());
  }
  if (!s.source || s.source->fd == -1) {
    s.source.reset();
    Log(ERROR, "%s, connecting to %s", kName, s.videoUrl.c_str());
    return false;
  }
  s.sourceHeaderRead = s.source->status == 206;
  return true;
}

// Step 2.
bool connectSource(StreamSession& s) {
  const bool seeking = s.seekPending;
  const uint32_t position = s.seekFilePos;
  HeapText url;
  if (!connectUrl(s, &url)) {
    Log(ERROR, "%s, connecting to %s", kName, s.videoUrl.c_str());
    return false;
  }
  Log(DEBUG, "%s, connecting to %s", kName, url.c_str());
  s.audioOffsetSet = false;  // a new source: its audio follows its own video
  s.sourceVideoSeen = false;
  s.source.reset(webFileOpen(url.c_str()));
  if (!s.source) {
    Log(ERROR, "%s, connecting to %s", kName, url.c_str());
    return false;
  }
  if (!seeking) {
    s.videoLength = s.source->contentLength;
    return true;
  }
  const bool wholeFile = s.videoLength > 0 && s.source->contentLength == s.videoLength;
  return wholeFile && position >= kFileHeaderSize + 4 ? reopenByRange(s, position) : true;
}

// Step 3: checks the source's 9-byte header; false (logged, the source
// dropped) when it is not one. Only the session's first is sent on.
bool readSourceHeader(StreamSession& s) {
  uint8_t header[kFileHeaderSize];
  if (readSource(s, header, kFileHeaderSize) < static_cast<int>(kFileHeaderSize)) return failed(s, "read FLV header.");
  if (memcmp(header, "FLV", 3) != 0) return failed(s, "bad FLV header.");
  s.sourceHeaderRead = true;
  if (s.headerSent) Log(DEBUG, "%s, Skip FLV header.", kName);
  return true;
}

// Step 3: the synthesized header of the output, a unit of its own.
Outcome sendFileHeader(StreamSession& s, ByteBuffer* buffer, uint32_t capacity) {
  Log(DEBUG, "%s, Send FLV header.", kName);
  if (!makeRoom(buffer, capacity, kFileHeaderSize)) {
    failed(s, "Couldn't reallocate memory!");
    return kStreamOver;
  }
  s.headerSent = true;
  memcpy(buffer->get(), kFileHeader, kFileHeaderSize);
  return unit(kFileHeaderSize);
}

// Step 4: at most 15 bytes left (the final PreviousTagSize) means the file
// is done. The next source's first PreviousTagSize must then carry the size
// of the last tag the player actually got.
bool finishedSource(StreamSession& s) {
  if (s.source->bytesRead + kBlockSize < s.source->contentLength) return false;
  s.source.reset();
  s.sourceHeaderRead = false;
  s.keyframesSeen = 0;
  s.patchPrevTagSize = true;
  putBigEndian32(s.lastPrevTagSize, s.lastTagSize);
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

// Step 7: video timestamps keep rising across joins; returns the step
// added to outTimestamp for this tag.
uint32_t rebaseVideo(StreamSession& s, uint8_t* block) {
  const uint32_t in = readTimestamp(block);
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

// Audio goes out with the offset of its source's video. Audio that comes
// before the source's first video tag takes the offset that tag is about
// to get (as if it stood at the audio's time), or continues from the last
// audio sent when that would go back (a source without video); so does
// audio whose clock jumped ahead of its video's. Where one source's audio
// outlasted its video, the next source's first audio tags are held at the
// last audio timestamp instead of going back.
void rebaseAudio(StreamSession& s, uint8_t* block) {
  const uint32_t in = readTimestamp(block);
  if (s.audioOffsetSet && audioJumped(s, in + s.audioOffset)) s.audioOffsetSet = false;
  if (!s.audioOffsetSet) {
    uint32_t first = s.outTimestamp + videoStep(s, in);
    if (earlier(first, s.lastAudioTimestamp)) first = s.lastAudioTimestamp;
    s.audioOffset = first - in;
    s.audioOffsetSet = true;
  }
  uint32_t out = in + s.audioOffset;
  if (earlier(out, s.lastAudioTimestamp)) out = s.lastAudioTimestamp;
  s.lastAudioTimestamp = out;
  writeTimestamp(block, out);
}

// Step 7: audio and video onto one rising timeline; script tags (and any
// other type) keep their source timestamps. Returns the video step (0 for
// other tags).
uint32_t rebaseTimestamp(StreamSession& s, uint8_t* block) {
  if (block[4] == kVideoTag) return rebaseVideo(s, block);
  if (block[4] == kAudioTag) rebaseAudio(s, block);
  return 0;
}

// Steps 5 to 9: the next tag of the source into `tag`, its body (if any)
// read straight into the buffer behind the block's place, with one zero byte
// of room behind it that ends the data for the index decoder: a tag costs no
// allocation of its own and no copy. False (logged, the source dropped)
// when it cannot be read.
bool readTag(StreamSession& s, ByteBuffer* buffer, uint32_t capacity, Tag* tag) {
  if (readSource(s, tag->block, kBlockSize) < static_cast<int>(kBlockSize)) return failed(s, "read packet header.");
  chainPrevTagSize(s, tag->block);
  tag->step = rebaseTimestamp(s, tag->block);
  tag->dataSize = readBigEndian24(tag->block + 5);
  // A body beyond the end of the file would come back short: fail as that
  // read would, without first allocating what a broken size field announces.
  if (s.source->bytesRead + tag->dataSize > s.source->contentLength) return failed(s, "read FLV packet.");
  const uint32_t room = tag->dataSize == 0 ? kBlockSize : kBlockSize + tag->dataSize + 1;
  if (!makeRoom(buffer, capacity, room)) return failed(s, "Couldn't reallocate memory!");
  if (tag->dataSize == 0) return true;
  uint8_t* body = buffer->get() + kBlockSize;
  if (readSource(s, body, tag->dataSize) < static_cast<int>(tag->dataSize)) return failed(s, "read FLV packet.");
  body[tag->dataSize] = 0;
  return true;
}

// Step 11 applies to a keyframe while a start time is wanted.
bool seekLooksAt(const StreamSession& s, const Tag& tag, const uint8_t* body) {
  return tag.block[4] == kVideoTag && tag.dataSize != 0 && (body[0] >> 4) == kKeyframe && s.seekTime != 0;
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
  // Step 1: no source and no seek pending: the next video of the timeline.
  if (!s.source && !s.seekPending) {
    if (getNewVideoToStream(session) == -1) return kStreamOver;
    announceVideo(s);
  }
  if (!s.source && !connectSource(s)) return kStreamOver;
  if (!s.sourceHeaderRead) {
    if (!readSourceHeader(s)) return kStreamOver;
    if (!s.headerSent) return sendFileHeader(s, buffer, capacity);
  }
  if (finishedSource(s)) return kNextSource;
  Tag tag;
  if (!readTag(s, buffer, capacity, &tag)) return kStreamOver;
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
  for (;;) {
    const Outcome outcome = nextUnit(session, buffer, capacity);
    if (outcome.pass == Pass::kUnit) return outcome.length;
    if (outcome.pass == Pass::kStreamOver) return 0;
    // kNextSource: another pass from the top.
  }
}
