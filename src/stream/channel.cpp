#include "stream/channel.h"

#include <string.h>
#include <time.h>

#include "base/bytes.h"
#include "base/clock.h"
#include "base/wait.h"
#include "log/log.h"
#include "net/socket.h"
#include "stream/flv_block.h"
#include "stream/flv_remux.h"
#include "stream/ts_writer.h"

namespace {

constexpr uint32_t kFileHeaderSize = 9;
// Signature "FLV", version 1, audio and video present, header size 9.
constexpr uint8_t kFileHeader[kFileHeaderSize] = {0x46, 0x4C, 0x56, 0x01, 0x05, 0x00, 0x00, 0x00, 0x09};

constexpr uint32_t kFeedCapacity = 1048576;  // the feeder's unit buffer; a larger tag grows it
constexpr uint32_t kLeastStore = 65536;      // the store's first size
constexpr uint32_t kGuessedStepMs = 40;      // a picture's time when a player has seen no step yet

enum Stage : uint8_t { kHeaderDue, kStartDue, kRunning };

// Whether unit `a` comes before unit `b` (sequence numbers wrap).
bool before(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) < 0; }

HeldUnit& unitAt(ChannelSession* c, uint32_t seq) { return c->units[seq % kHeldUnits]; }

// The ring's bytes at store position `at`: how many of `size` lie before its end.
uint32_t firstRun(const ChannelSession* c, uint32_t at, uint32_t size) {
  const uint32_t offset = at & (c->capacity - 1);
  return size < c->capacity - offset ? size : c->capacity - offset;
}

void ringWrite(ChannelSession* c, uint32_t at, const uint8_t* from, uint32_t size) {
  const uint32_t first = firstRun(c, at, size);
  memcpy(c->bytes.get() + (at & (c->capacity - 1)), from, first);
  memcpy(c->bytes.get(), from + first, size - first);
}

void ringRead(const ChannelSession* c, uint32_t at, uint8_t* into, uint32_t size) {
  const uint32_t first = firstRun(c, at, size);
  memcpy(into, c->bytes.get() + (at & (c->capacity - 1)), first);
  memcpy(into + first, c->bytes.get(), size - first);
}

uint32_t heldBytes(ChannelSession* c) { return c->firstSeq == c->endSeq ? 0 : c->endAt - unitAt(c, c->firstSeq).at; }

// Lets the oldest unit go.
void evictOldest(ChannelSession* c) {
  if (c->keyHeld && c->firstSeq == c->newestKey) c->keyHeld = false;
  ++c->firstSeq;
}

// Room in the ring for `size` more bytes, growing it (doubling) up to the
// cap: the store takes memory only as the stream's rate needs it.
bool makeRoom(ChannelSession* c, uint32_t size) {
  const uint32_t need = heldBytes(c) + size;
  if (need <= c->capacity) return true;
  uint32_t capacity = c->capacity == 0 ? kLeastStore : c->capacity;
  while (capacity < need) capacity *= 2;
  HeapArray<uint8_t> grown = allocZeroed<uint8_t>(capacity);
  if (!grown) return false;
  // The held bytes move from the old ring's layout to the new one's, in
  // the runs the old one holds them in.
  const uint32_t held = heldBytes(c);
  const uint32_t firstAt = c->endAt - held;
  const uint32_t oldCapacity = c->capacity;
  HeapArray<uint8_t> old(c->bytes.release());
  c->bytes.reset(grown.release());
  c->capacity = capacity;
  for (uint32_t done = 0; done < held;) {
    const uint32_t from = (firstAt + done) & (oldCapacity - 1);
    const uint32_t run = held - done < oldCapacity - from ? held - done : oldCapacity - from;
    ringWrite(c, firstAt + done, old.get() + from, run);
    done += run;
  }
  return true;
}

// The set-up a unit is, if any: the metadata, or a decoder configuration
// (AVC's sequence header, AAC's AudioSpecificConfig).
int setUpOf(const uint8_t* unit, uint32_t size) {
  const uint8_t type = unit[4];
  const uint8_t* body = unit + kBlockSize;
  if (type == kScriptTag) return kMetadataSetUp;
  if (size < kBlockSize + 2) return kSetUps;
  if (type == kVideoTag && (body[0] & 0x0F) == 7 && body[1] == 0) return kVideoSetUp;
  if (type == kAudioTag && (body[0] >> 4) == 10 && body[1] == 0) return kAudioSetUp;
  return kSetUps;
}

// A keyframe that carries a picture (not AVC's set-up or end of sequence).
bool isKeyframe(const uint8_t* unit, uint32_t size) {
  const uint8_t* body = unit + kBlockSize;
  if (unit[4] != kVideoTag || size <= kBlockSize || (body[0] >> 4) != 1) return false;
  return (body[0] & 0x0F) != 7 || (size > kBlockSize + 1 && body[1] == 1);
}

void keepSetUp(ChannelSession* c, int kind, const uint8_t* unit, uint32_t size) {
  HeldSetUp& setUp = c->setUps[kind];
  setUp.size = 0;
  if (!resizeArray(setUp.unit, size)) return;  // memory short: a joiner goes without it
  memcpy(setUp.unit.get(), unit, size);
  setUp.size = size;
  setUp.seq = c->endSeq;
}

// Holds one unit of the re-muxer for the players, letting go of the oldest
// ones beyond the store's bounds. Under the lock.
void hold(ChannelSession* c, const uint8_t* unit, uint32_t size) {
  if (unit[4] == kVideoTag || unit[4] == kAudioTag) c->clock = readTimestamp(unit);
  const uint32_t clock = c->clock;
  if (size > kHeldBytesMost / 2) {
    Log(ERROR, "%s, a tag of %u bytes is too large to hold; left out", "channelFeed", static_cast<unsigned>(size));
    return;
  }
  while (c->firstSeq != c->endSeq &&
         (c->endSeq - c->firstSeq == kHeldUnits || heldBytes(c) + size > kHeldBytesMost ||
          static_cast<int32_t>(clock - unitAt(c, c->firstSeq).clock) > static_cast<int32_t>(kHeldMs))) {
    evictOldest(c);
  }
  if (!makeRoom(c, size)) {
    Log(ERROR, "%s, no memory to hold a tag; left out", "channelFeed");
    return;
  }
  ringWrite(c, c->endAt, unit, size);
  HeldUnit& held = unitAt(c, c->endSeq);
  held = {c->endAt, size, clock, isKeyframe(unit, size)};
  const int setUp = setUpOf(unit, size);
  if (setUp != kSetUps) keepSetUp(c, setUp, unit, size);
  if (held.keyframe) {
    c->newestKey = c->endSeq;
    c->keyHeld = true;
  }
  c->endAt += size;
  ++c->endSeq;
}

// The video on air, for the status page. Under the lock.
void publishVideo(ChannelSession* c) {
  if (c->feed == nullptr) return;
  const StreamSession& s = *c->feed;
  if (c->videoPliid == s.currentPliid && c->video[0] != '\0') return;
  const size_t length = s.videoUrl.size() < sizeof c->video - 1 ? s.videoUrl.size() : sizeof c->video - 1;
  memcpy(c->video, s.videoUrl.c_str(), length);
  c->video[length] = '\0';
  c->videoPliid = s.currentPliid;
}

// The newest keyframe a player may start at: one the kept set-ups come
// before, so that they are the ones its pictures need. False when none is
// held yet.
bool startingKey(ChannelSession* c, uint32_t* key) {
  if (!c->keyHeld) return false;
  for (const HeldSetUp& setUp : c->setUps) {
    if (setUp.size != 0 && !before(setUp.seq, c->newestKey)) return false;
  }
  *key = c->newestKey;
  return true;
}

// Room for `size` bytes in the player's unit buffer.
bool placeRoom(ChannelPlace* p, uint32_t size) {
  if (size <= p->room && p->unit) return true;
  if (!resizeArray(p->unit, size)) return false;
  p->room = size;
  return true;
}

// The channel's timestamp `in` of a tag of `type` on the player's clock:
// from its base on, never going back.
uint32_t playerTime(ChannelPlace* p, uint8_t type, uint32_t in) {
  uint32_t out = in - p->base;
  if (static_cast<int32_t>(out) < 0) out = 0;
  uint32_t& last = type == kVideoTag ? p->lastVideo : p->lastAudio;
  if (before(out, last)) out = last;
  if (type == kVideoTag && out - last <= 1000 && out != last) p->videoStep = out - last;
  last = out;
  return out;
}

// The unit in place->unit made the player's own: its PreviousTagSize is the
// size of the tag the player got last, and audio and video run on its clock.
int32_t ownUnit(ChannelPlace* p, uint32_t size) {
  uint8_t* block = p->unit.get();
  putBigEndian32(block, p->lastTagSize);
  if (block[4] == kVideoTag || block[4] == kAudioTag) {
    writeTimestamp(block, playerTime(p, block[4], readTimestamp(block)));
  }
  p->lastTagSize = size - 4;
  return static_cast<int32_t>(size);
}

// A set-up the player is due, before its first unit or after a skip; it goes
// out at the player's current time.
int32_t nextSetUp(ChannelSession* c, ChannelPlace* p) {
  for (int kind = 0; kind < kSetUps; ++kind) {
    if ((p->setUpsDue & (1u << kind)) == 0) continue;
    p->setUpsDue &= ~(1u << kind);
    const HeldSetUp& setUp = c->setUps[kind];
    if (setUp.size == 0) continue;
    if (!placeRoom(p, setUp.size)) return -1;
    memcpy(p->unit.get(), setUp.unit.get(), setUp.size);
    if (kind != kMetadataSetUp) writeTimestamp(p->unit.get(), p->base + p->lastVideo);
    return ownUnit(p, setUp.size);
  }
  return 0;
}

// A player behind what the channel holds (or whose due set-ups were
// replaced) goes on at its newest keyframe, its clock rising on by a
// picture's time, with the decoder's set-ups again (the skipped part may
// have changed them). False while there is no keyframe to go on at.
bool skipAhead(ChannelSession* c, ChannelPlace* p) {
  uint32_t key;
  if (!startingKey(c, &key)) return false;
  const uint32_t keyClock = unitAt(c, key).clock;
  const uint32_t step = p->videoStep != 0 ? p->videoStep : kGuessedStepMs;
  const uint32_t skipped = keyClock - p->base - p->lastVideo;
  p->base = keyClock - (p->lastVideo + step);
  p->next = key;
  p->setUpsDue = (p->setUpsDue & 1u << kMetadataSetUp) | 1u << kVideoSetUp | 1u << kAudioSetUp;
  Log(INFO, "%s, a player of channel %d fell behind what the channel holds: it goes on at the newest keyframe, %u ms skipped",
      "channelRead", static_cast<int>(c->channelId), static_cast<unsigned>(skipped));
  return true;
}

// Whether a set-up the player is due was replaced by one that comes after
// its next unit: the pictures from there on need the one that is gone.
bool setUpReplaced(const ChannelSession* c, const ChannelPlace* p) {
  for (int kind = 0; kind < kSetUps; ++kind) {
    const HeldSetUp& setUp = c->setUps[kind];
    if ((p->setUpsDue & (1u << kind)) != 0 && setUp.size != 0 && !before(setUp.seq, p->next)) return true;
  }
  return false;
}

// The player's next unit if the channel has it: > 0 its length, 0 none yet, -1 memory short. Under the lock.
int32_t nextFor(ChannelSession* c, ChannelPlace* p) {
  if (p->stage == kHeaderDue) {
    // Nothing at all until the channel has a tag: one that cannot start ends with the answer alone.
    if (c->endSeq == 0) return 0;
    if (!placeRoom(p, kFileHeaderSize)) return -1;
    memcpy(p->unit.get(), kFileHeader, kFileHeaderSize);
    p->stage = kStartDue;
    return kFileHeaderSize;
  }
  if (p->stage == kStartDue) {
    // The player that opened the channel takes it from its first unit, as
    // if it were alone; a joiner from the newest keyframe, set-ups first.
    if (p->fromStart) {
      p->next = 0;
    } else {
      if (!startingKey(c, &p->next)) return 0;
      p->base = unitAt(c, p->next).clock;
      p->setUpsDue = 1u << kMetadataSetUp | 1u << kVideoSetUp | 1u << kAudioSetUp;
    }
    p->stage = kRunning;
  }
  for (;;) {
    if (!setUpReplaced(c, p)) {
      const int32_t setUp = nextSetUp(c, p);
      if (setUp != 0) return setUp;
      if (!before(p->next, c->firstSeq)) break;
    }
    if (!skipAhead(c, p)) return 0;
  }
  if (p->next == c->endSeq) return 0;
  const HeldUnit& held = unitAt(c, p->next);
  if (!placeRoom(p, held.size)) return -1;
  ringRead(c, held.at, p->unit.get(), held.size);
  ++p->next;
  return ownUnit(p, held.size);
}

// Waits for the feeder's next unit until `untilMs`; false when it has come.
bool waitMoved(ChannelSession* c, int64_t untilMs) {
  const int64_t left = msLeft(untilMs);
  if (left <= 0) return false;
  timespec until;
  clock_gettime(CLOCK_MONOTONIC, &until);
  until.tv_sec += static_cast<time_t>(left / 1000);
  until.tv_nsec += static_cast<long>(left % 1000) * 1000000L;
  if (until.tv_nsec >= 1000000000L) {
    ++until.tv_sec;
    until.tv_nsec -= 1000000000L;
  }
  (void)pthread_cond_timedwait(&c->moved, &c->lock, &until);
  return true;
}

}  // namespace

ChannelSession* channelOpen(int32_t channelId) {
  ChannelSession* c = newRecord<ChannelSession>();
  if (c == nullptr) return nullptr;
  c->feed = openFLVStream();
  c->units = allocZeroed<HeldUnit>(kHeldUnits);
  pthread_condattr_t attributes;
  pthread_condattr_init(&attributes);
  (void)pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
  const bool ready = pthread_cond_init(&c->moved, &attributes) == 0;
  pthread_condattr_destroy(&attributes);
  pthread_mutex_init(&c->lock, nullptr);
  if (!ready || c->feed == nullptr || !c->units) {
    if (ready) pthread_cond_destroy(&c->moved);
    pthread_mutex_destroy(&c->lock);
    closeFLVStream(c->feed);
    freeRecord(c);
    return nullptr;
  }
  c->channelId = channelId;
  c->feed->channelId = channelId;
  return c;
}

void channelClose(ChannelSession* c) {
  if (c == nullptr) return;
  closeFLVStream(c->feed);
  pthread_cond_destroy(&c->moved);
  pthread_mutex_destroy(&c->lock);
  freeRecord(c);
}

void channelFeed(ChannelSession* c) {
  socket_cancelOn(&c->abandoned);
  ByteBuffer buffer = allocZeroed<uint8_t>(kFeedCapacity);
  while (buffer && c->abandoned.load() == 0) {
    // A source is judged by the forms of the players there when it opens.
    if (!c->feed->source) {
      const bool ts = c->tsPlayers.load() > 0;
      c->feed->videoCodecs = ts ? kTsVideoCodecs : kAllCodecs;
      c->feed->soundFormats = ts ? kTsSoundFormats : kAllCodecs;
    }
    const int32_t size = getFLVPacket(&c->feed, &buffer, kFeedCapacity);
    if (size <= 0 || !buffer) break;
    paceChannelUnit(c->feed, buffer.get(), size);
    if (size < static_cast<int32_t>(kBlockSize)) continue;  // the file header: each player has its own
    channelHold(c, buffer.get(), static_cast<uint32_t>(size));
  }
  closeFLVStream(c->feed);  // the upstream goes at once, whoever still reads what is held
  c->feed = nullptr;
  if (c->abandoned.load() != 0) Log(INFO, "%s, channel %d closed: its last player has left", "channelFeed", static_cast<int>(c->channelId));
  socket_cancelOn(nullptr);
  pthread_mutex_lock(&c->lock);
  c->over = true;
  pthread_cond_broadcast(&c->moved);
  pthread_mutex_unlock(&c->lock);
}

void channelHold(ChannelSession* c, const uint8_t* unit, uint32_t size) {
  pthread_mutex_lock(&c->lock);
  hold(c, unit, size);
  publishVideo(c);
  pthread_cond_broadcast(&c->moved);
  pthread_mutex_unlock(&c->lock);
}

int32_t channelRead(ChannelSession* c, ChannelPlace* p, int64_t untilMs) {
  pthread_mutex_lock(&c->lock);
  int32_t size = 0;
  for (;;) {
    size = nextFor(c, p);
    if (size != 0) break;
    if (c->over) {
      size = -1;
      break;
    }
    if (!waitMoved(c, untilMs)) break;
  }
  pthread_mutex_unlock(&c->lock);
  return size;
}
