#include "stream/channel.h"

#include <string.h>

#include "base/bytes.h"
#include "base/clock.h"
#include "base/wait.h"
#include "log/log.h"
#include "net/socket.h"
#include "stream/flv_block.h"
#include "stream/flv_remux.h"
#include "stream/ts_writer.h"

namespace {

constexpr uint32_t kFeedCapacity = 1048576;  // the feeder's unit buffer; a larger tag grows it
constexpr uint32_t kLeastStore = 65536;      // the store's first size
constexpr uint32_t kGuessedStepMs = 40;      // a picture's time when a player has seen no step yet
// The feeder runs at most this far ahead of its fastest player: the
// service's bytes wait in the socket, not in the store, while every player
// is paused or slower than the clock, as they would for a player alone.
constexpr uint32_t kAheadMost = 65536;

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

uint32_t heldBytes(ChannelSession* c) {
  return c->firstSeq == c->endSeq ? 0 : c->endAt - unitAt(c, c->firstSeq).at;
}

// Whether a player still needs unit `seq`: it reads there or before, or
// it opened the channel and has yet to start at its first unit.
bool needed(const ChannelSession* c, uint32_t seq) {
  for (const ChannelPlace* p : c->places) {
    if (p != nullptr && (p->stage == kRunning ? !before(seq, p->next) : p->fromStart)) return true;
  }
  return false;
}

// Whether the oldest unit goes before one of `size` bytes comes: beyond the
// bounds, or needed neither by a joiner (it is older than the newest
// keyframe) nor by a player.
bool evictable(ChannelSession* c, uint32_t size, uint32_t nowMs) {
  if (c->firstSeq == c->endSeq) return false;
  if (c->endSeq - c->firstSeq == kHeldUnits || heldBytes(c) + size > kHeldBytesMost ||
      nowMs - unitAt(c, c->firstSeq).heldMs > kHeldMs) {
    return true;
  }
  return before(c->firstSeq, c->keyHeld ? c->newestKey : c->endSeq) && !needed(c, c->firstSeq);
}

// Where a player reads for the feeder's look: its next unit; for the one
// that opened the channel and has yet to start, the first; for a joiner
// yet to start, the newest keyframe. False when it wants the head at once:
// a joiner with no keyframe held, or a player that has fallen behind what
// is held and goes on at the newest keyframe, which may be still to come.
bool readsAt(const ChannelSession* c, const ChannelPlace* p, uint32_t* seq) {
  if (p->stage == kRunning) {
    *seq = p->next;
    return !before(p->next, c->firstSeq);
  }
  *seq = p->fromStart ? c->firstSeq : c->newestKey;
  return p->fromStart || c->keyHeld;
}

// Whether every player reads further behind the head than kAheadMost: the
// feeder waits for them, as it would in its socket for a player alone.
bool playersBehind(ChannelSession* c) {
  bool anyone = false;
  for (const ChannelPlace* p : c->places) {
    if (p == nullptr) continue;
    uint32_t seq;
    if (!readsAt(c, p, &seq) || seq == c->endSeq || c->endAt - unitAt(c, seq).at <= kAheadMost) return false;
    anyone = true;
  }
  return anyone;
}

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

// The set-up a unit is, if any: the metadata (a script tag named
// onMetaData, not a cue point), or a decoder configuration (AVC's sequence
// header, AAC's AudioSpecificConfig).
int setUpOf(const uint8_t* unit, uint32_t size) {
  static constexpr uint8_t kMetadataName[] = {0x02, 0x00, 0x0A, 'o', 'n', 'M', 'e', 't', 'a', 'D', 'a', 't', 'a'};
  const uint8_t type = unit[4];
  const uint8_t* body = unit + kBlockSize;
  if (type == kScriptTag) {
    const bool named = size >= kBlockSize + sizeof kMetadataName &&
                       memcmp(body, kMetadataName, sizeof kMetadataName) == 0;
    return named ? kMetadataSetUp : kSetUps;
  }
  if (size < kBlockSize + 2) return kSetUps;
  if (type == kVideoTag && (body[0] & 0x0F) == kAvc && body[1] == 0) return kVideoSetUp;
  if (type == kAudioTag && (body[0] >> 4) == kAac && body[1] == kAacSetUp) return kAudioSetUp;
  return kSetUps;
}

// A keyframe that carries a picture (not AVC's set-up or end of sequence).
bool isKeyframe(const uint8_t* unit, uint32_t size) {
  const uint8_t* body = unit + kBlockSize;
  if (unit[4] != kVideoTag || size <= kBlockSize || (body[0] >> 4) != kKeyframe) return false;
  return (body[0] & 0x0F) != kAvc || (size > kBlockSize + 1 && body[1] == kAvcFrame);
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
  const uint32_t nowMs = static_cast<uint32_t>(monotonicMs());
  if (size > kHeldBytesMost / 2) {
    Log(ERROR, "%s, a tag of %u bytes is too large to hold; left out", "channelFeed", static_cast<unsigned>(size));
    return;
  }
  while (evictable(c, size, nowMs)) evictOldest(c);
  if (!makeRoom(c, size)) {
    Log(ERROR, "%s, no memory to hold a tag; left out", "channelFeed");
    return;
  }
  ringWrite(c, c->endAt, unit, size);
  HeldUnit& held = unitAt(c, c->endSeq);
  held = {c->endAt, size, nowMs, isKeyframe(unit, size)};
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

// The channel's timestamp of held unit `seq`.
uint32_t timestampOf(ChannelSession* c, uint32_t seq) {
  uint8_t block[kBlockSize];
  ringRead(c, unitAt(c, seq).at, block, kBlockSize);
  return readTimestamp(block);
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
  const uint32_t keyClock = timestampOf(c, key);
  const uint32_t step = p->videoStep != 0 ? p->videoStep : kGuessedStepMs;
  const uint32_t skipped = keyClock - p->base - p->lastVideo;
  p->base = keyClock - (p->lastVideo + step);
  p->next = key;
  p->setUpsDue = (p->setUpsDue & 1u << kMetadataSetUp) | 1u << kVideoSetUp | 1u << kAudioSetUp;
  Log(INFO, "%s, a player of channel %d fell behind what the channel holds: it goes on at the newest keyframe, "
      "%u ms skipped", "channelRead", static_cast<int>(c->channelId), static_cast<unsigned>(skipped));
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

// The player's next unit if the channel has it: > 0 its length, 0 none
// yet, -1 memory short. Under the lock.
int32_t nextFor(ChannelSession* c, ChannelPlace* p) {
  if (p->stage == kHeaderDue) {
    // Nothing at all until the channel has a tag: one that cannot start
    // ends with the answer alone.
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
      p->base = timestampOf(c, p->next);
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

// One step of waiting while the players are all behind; false when they are not.
bool waitForPlayers(ChannelSession* c) {
  pthread_mutex_lock(&c->lock);
  const bool behind = playersBehind(c);
  pthread_mutex_unlock(&c->lock);
  if (behind) (void)socket_sleepUntil(monotonicMs() + kChannelLookMs);
  return behind;
}

}  // namespace

ChannelSession* channelOpen(int32_t channelId) {
  ChannelSession* c = newRecord<ChannelSession>();
  if (c == nullptr) return nullptr;
  c->feed = openFLVStream();
  c->units = allocZeroed<HeldUnit>(kHeldUnits);
  pthread_mutex_init(&c->lock, nullptr);
  if (c->feed == nullptr || !c->units) {
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
  pthread_mutex_destroy(&c->lock);
  freeRecord(c);
}

void channelFeed(ChannelSession* c) {
  socket_cancelOn(&c->abandoned);
  ByteBuffer buffer = allocZeroed<uint8_t>(kFeedCapacity);
  while (buffer && socket_interrupted() == 0) {  // a stop, or no player left
    if (waitForPlayers(c)) continue;
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
  if (c->abandoned.load() != 0) {
    Log(INFO, "%s, channel %d closed: its last player has left", "channelFeed", static_cast<int>(c->channelId));
  }
  socket_cancelOn(nullptr);
  pthread_mutex_lock(&c->lock);
  c->over = true;
  pthread_mutex_unlock(&c->lock);
}

bool channelEnter(ChannelSession* c, ChannelPlace* place) {
  pthread_mutex_lock(&c->lock);
  ChannelPlace** free = nullptr;
  for (ChannelPlace*& entry : c->places) {
    if (entry == nullptr) free = &entry;
  }
  if (free != nullptr) *free = place;
  pthread_mutex_unlock(&c->lock);
  return free != nullptr;
}

void channelLeave(ChannelSession* c, ChannelPlace* place) {
  pthread_mutex_lock(&c->lock);
  for (ChannelPlace*& entry : c->places) {
    if (entry == place) entry = nullptr;
  }
  pthread_mutex_unlock(&c->lock);
}

void channelHold(ChannelSession* c, const uint8_t* unit, uint32_t size) {
  pthread_mutex_lock(&c->lock);
  hold(c, unit, size);
  publishVideo(c);
  pthread_mutex_unlock(&c->lock);
}

int32_t channelRead(ChannelSession* c, ChannelPlace* p, int64_t untilMs) {
  for (;;) {
    pthread_mutex_lock(&c->lock);
    int32_t size = nextFor(c, p);
    if (size == 0 && c->over) size = -1;
    pthread_mutex_unlock(&c->lock);
    if (size != 0 || passed(untilMs)) return size;
    const int64_t lookMs = monotonicMs() + kChannelLookMs;
    (void)waitStep(-1, 0, lookMs < untilMs ? lookMs : untilMs);
  }
}
