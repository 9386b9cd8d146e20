#include "stream/flv_remux.h"

#include <stdio.h>
#include <string.h>
#include <time.h>

#include "base/bytes.h"
#include "log/log.h"
#include "stream/flv_block.h"
#include "stream/keyframe_index.h"
#include "stream/video_select.h"

namespace {

constexpr const char* kName = "getFLVPacket";

constexpr uint32_t kFileHeaderSize = 9;
constexpr uint8_t kKeyframe = 1;  // frame type in the upper four bits of a video body

// Signature "FLV", version 1, audio and video present, header size 9.
constexpr uint8_t kFileHeader[kFileHeaderSize] = {0x46, 0x4C, 0x56, 0x01, 0x05, 0x00, 0x00, 0x00, 0x09};

// What one pass of the steps ends in: a unit of `length` bytes (0 = the
// stream is over), or another pass.
struct Outcome {
  bool again = false;
  int32_t length = 0;
};
constexpr Outcome kStartOver{true, 0};
constexpr Outcome kGoOn{true, 0};  // from the header check on to the tags, in the same pass
constexpr Outcome unit(int32_t length) { return Outcome{false, length}; }

// Ends the stream after a failure: the source is dropped, 0 is returned.
Outcome fail(StreamSession& s, const char* what) {
  Log(ERROR, "%s, %s", kName, what);
  s.source.reset();
  return unit(0);
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

// Step 1: no source and no seek pending: the next video of the timeline.
bool selectVideo(StreamSession** session) {
  StreamSession& s = **session;
  if (getNewVideoToStream(session) == -1) return false;
  LogPrintf("Open video: %s\n", s.videoUrl.c_str());
  if (s.seekTime != 0) LogPrintf("Seek time: %d sec.\n", static_cast<int>(s.seekTime));
  s.metaDecoded = false;
  return true;
}

// The URL of the next connection: the video itself, or after a seek the
// video from the keyframe's byte position on.
// False when memory is short.
bool connectUrl(StreamSession& s, HeapText* url) {
  if (!s.seekPending) return copyText(url, s.videoUrl.view());
  s.seekPending = false;
  const uint32_t position = s.seekFilePos;
  s.seekTime = 0;
  s.seekFilePos = 0;
  return formatText(url, "%s?start=%u", s.videoUrl.c_str(), static_cast<unsigned>(position));
}

// Step 2.
bool connectSource(StreamSession& s) {
  HeapText url;
  if (!connectUrl(s, &url)) {
    Log(ERROR, "%s, connecting to %s", kName, s.videoUrl.c_str());
    return false;
  }
  Log(DEBUG, "%s, connecting to %s", kName, url.c_str());
  s.audioOffsetSet = false;  // a new source: its audio follows its own video
  s.source.reset(webFileOpen(url.c_str()));
  if (!s.source) {
    Log(ERROR, "%s, connecting to %s", kName, url.c_str());
    return false;
  }
  return true;
}

// Step 3: checks the source's 9-byte header; the first one of the session
// becomes the synthesized header of the output.
Outcome readSourceHeader(StreamSession& s, ByteBuffer* buffer, uint32_t capacity) {
  uint8_t header[kFileHeaderSize];
  if (readSource(s, header, kFileHeaderSize) < static_cast<int>(kFileHeaderSize)) return fail(s, "read FLV header.");
  if (memcmp(header, "FLV", 3) != 0) return fail(s, "bad FLV header.");
  s.sourceHeaderRead = true;
  if (s.headerSent) {
    Log(DEBUG, "%s, Skip FLV header.", kName);
    return kGoOn;
  }
  Log(DEBUG, "%s, Send FLV header.", kName);
  if (!makeRoom(buffer, capacity, kFileHeaderSize)) return fail(s, "Couldn't reallocate memory!");
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

// The step a video tag with source timestamp `in` adds to outTimestamp:
// the source's own step while it rises, else (a join, a repeat) the last one.
uint32_t videoStep(const StreamSession& s, uint32_t in) {
  return in > s.lastInTimestamp ? in - s.lastInTimestamp : s.lastDelta;
}

// Step 7: video timestamps keep rising across joins; returns the step
// added to outTimestamp for this tag.
uint32_t rebaseVideo(StreamSession& s, uint8_t* block) {
  const uint32_t in = readTimestamp(block);
  const uint32_t step = videoStep(s, in);
  if (in > s.lastInTimestamp) s.lastDelta = step;
  s.lastInTimestamp = in;
  s.outTimestamp += step;
  s.audioOffset = s.outTimestamp - in;
  s.audioOffsetSet = true;
  writeTimestamp(block, s.outTimestamp);
  return step;
}

// True when timestamp `a` lies before `b` on the wrapping 32-bit clock.
bool earlier(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) < 0; }

// Audio goes out with the offset of its source's video. Audio that comes
// before the source's first video tag takes the offset that tag is about
// to get (as if it stood at the audio's time), or continues from the last
// audio sent when that would go back (a source without video). Where one
// source's audio outlasted its video, the next source's first audio tags
// are held at the last audio timestamp instead of going back.
void rebaseAudio(StreamSession& s, uint8_t* block) {
  const uint32_t in = readTimestamp(block);
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

// Records that a tag of `dataSize` body bytes goes out now.
int32_t tagSent(StreamSession& s, uint32_t dataSize) {
  s.lastTagSize = kTagHeaderSize + dataSize;
  s.timelineLoadsSinceTag = 0;
  return static_cast<int32_t>(kBlockSize + dataSize);
}

// Steps 9 to 12: the body, the index, the keyframe hook, the unit. The body
// is read straight into the buffer behind its block, with one zero byte of
// room behind it that ends the data for the index decoder: a tag costs no
// allocation of its own and no copy.
Outcome readBody(StreamSession** session, ByteBuffer* buffer, uint32_t capacity, const uint8_t* block,
                 uint32_t dataSize, uint32_t step) {
  StreamSession& s = **session;
  if (!makeRoom(buffer, capacity, kBlockSize + dataSize + 1)) return fail(s, "Couldn't reallocate memory!");
  uint8_t* body = buffer->get() + kBlockSize;
  if (readSource(s, body, dataSize) < static_cast<int>(dataSize)) return fail(s, "read FLV packet.");
  body[dataSize] = 0;

  if (block[4] == kScriptTag && !s.metaDecoded) {
    Log(DEBUG, "Receive META data.\n");
    decodeFLVMetaPacket(session, body, dataSize);
    s.metaDecoded = true;
  }
  if (block[4] == kVideoTag && (body[0] >> 4) == kKeyframe && s.seekTime != 0 &&
      flvLiveSeek(session, step, time(nullptr))) {
    return kStartOver;  // the seek dropped this tag and the source
  }
  memcpy(buffer->get(), block, kBlockSize);
  return unit(tagSent(s, dataSize));
}

// Steps 5 to 12: one tag of the open source.
Outcome readTag(StreamSession** session, ByteBuffer* buffer, uint32_t capacity) {
  StreamSession& s = **session;
  uint8_t block[kBlockSize];
  if (readSource(s, block, kBlockSize) < static_cast<int>(kBlockSize)) return fail(s, "read packet header.");
  chainPrevTagSize(s, block);
  const uint32_t step = rebaseTimestamp(s, block);
  const uint32_t dataSize = readBigEndian24(block + 5);
  // A body beyond the end of the file would come back short: fail as that
  // read would, without first allocating what a broken size field announces.
  if (s.source->bytesRead + dataSize > s.source->contentLength) return fail(s, "read FLV packet.");
  if (dataSize != 0) return readBody(session, buffer, capacity, block, dataSize, step);
  if (!makeRoom(buffer, capacity, kBlockSize)) return fail(s, "Couldn't reallocate memory!");
  memcpy(buffer->get(), block, kBlockSize);
  return unit(tagSent(s, 0));
}

// One pass of the steps, from video selection to a unit.
Outcome nextUnit(StreamSession** session, ByteBuffer* buffer, uint32_t capacity) {
  StreamSession& s = **session;
  if (!s.source && !s.seekPending && !selectVideo(session)) return unit(0);
  if (!s.source && !connectSource(s)) return unit(0);
  if (!s.sourceHeaderRead) {
    Outcome header = readSourceHeader(s, buffer, capacity);
    if (!header.again) return header;
  }
  if (finishedSource(s)) return kStartOver;
  return readTag(session, buffer, capacity);
}

}  // namespace

int32_t getFLVPacket(StreamSession** session, ByteBuffer* buffer, uint32_t capacity) {
  for (;;) {
    const Outcome outcome = nextUnit(session, buffer, capacity);
    if (!outcome.again) return outcome.length;
  }
}
