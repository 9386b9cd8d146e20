#ifndef ZTV_STREAM_CHANNEL_H
#define ZTV_STREAM_CHANNEL_H

// One channel on air for all of its players. Its feeder (a thread of its
// own, see channelFeed) runs the one re-muxer of the channel (timeline,
// source, retries, pace clock) and keeps the units it makes in the channel's
// store; each player reads the store at a place of its own (ChannelPlace),
// so that the service sees one upstream however many watch, and a player
// that pauses or lags holds no one back.
//
// Ownership: the record is shared by the feeder and the players. What is
// under `lock` (the store and what the status page shows) is written by the
// feeder alone and read by the players; the players enter and leave
// `places` under it, and move their own place only under it, as the feeder
// looks at what they still need. `feed` is the feeder's alone. Who is on
// the channel (players, refs) belongs to the server's channel table, which
// frees the record when its last holder lets go.

#include <pthread.h>
#include <stdint.h>

#include "base/atomic_word.h"
#include "base/heap.h"
#include "stream/pace.h"
#include "stream/session.h"

// What a channel holds: from its newest keyframe on for joiners, and from
// there back to where its slowest player reads, but at most kHeldBytesMost
// bytes (the lead of a stream of 3 Mbit/s twice over, and allocated only as
// the players' lag needs it), kHeldUnits tags, and tags that came in the
// last kHeldMs: a player at clock pace lags by the lead at most, and the
// rest lets one that stalled a while catch up without a skip.
constexpr uint32_t kHeldBytesMost = 4u << 20;
constexpr uint32_t kHeldUnits = 4096;  // a power of two: 20 s of 60 pictures and 50 sounds a second fit
constexpr uint32_t kHeldMs = 2 * ZTV_PACE_LEAD_MS;

// Players on one channel at most.
constexpr int kChannelPlaces = 16;

// How often a player that waits for the channel's next unit looks, and a
// feeder that waits for its players: a unit a player gets this much later
// is nothing to a stream that runs seconds ahead of the picture, and the
// looks cost a small box nothing worth counting.
constexpr int64_t kChannelLookMs = 20;

struct ChannelPlace;

// The decoder set-ups a joiner gets before its first picture, the last of each kind.
enum SetUp : uint8_t { kMetadataSetUp, kVideoSetUp, kAudioSetUp, kSetUps };

// One held unit (a tag: its 15-byte block and body) of the store.
struct HeldUnit {
  uint32_t at;         // byte position in the store's stream (modulo 2^32)
  uint32_t size;       // bytes
  uint32_t heldMs;     // monotonicMs when it came (modulo 2^32): timestamps jump at a live jump
  bool keyframe;       // a video keyframe carrying a picture: a player may start here
};

// The last unit of one set-up kind, kept whole.
struct HeldSetUp {
  HeapArray<uint8_t> unit;
  uint32_t size = 0;   // 0: none seen yet
  uint32_t seq = 0;    // where it stood among the units
};

struct ChannelSession {
  int32_t channelId = 0;
  // The server's channel table's: players on it, and holders of the record
  // (the players and the feeder while it runs).
  int32_t players = 0;
  int32_t refs = 0;
  AtomicWord tsPlayers;  // players of the MPEG-TS form: new sources are judged by it
  AtomicWord abandoned;  // no player is left: the feeder's waits end and it closes the upstream

  pthread_mutex_t lock;  // guards what follows down to `feed`
  bool over = false;     // the feeder has ended: no unit comes any more
  HeapArray<uint8_t> bytes;     // the held units' bytes, a ring
  uint32_t capacity = 0;        // of `bytes`, a power of two up to kHeldBytesMost
  HeapArray<HeldUnit> units;    // kHeldUnits entries, unit `seq` at seq % kHeldUnits
  uint32_t firstSeq = 0;        // the oldest unit held
  uint32_t endSeq = 0;          // the next unit to come; firstSeq == endSeq: none held
  uint32_t endAt = 0;           // its byte position
  uint32_t newestKey = 0;       // the newest keyframe held, when keyHeld
  bool keyHeld = false;
  ChannelPlace* places[kChannelPlaces] = {};  // the players' places: what they still need is kept
  HeldSetUp setUps[kSetUps];
  char video[160] = {};         // the video being streamed, for the status page
  int32_t videoPliid = 0;

  StreamSession* feed = nullptr;  // the re-muxer: the feeder's alone
};

// A new channel record with its re-muxer and store, or null when memory is short.
[[nodiscard]] ChannelSession* channelOpen(int32_t channelId);

// Frees the record and all it holds. Accepts null.
void channelClose(ChannelSession* channel);

// The feeder's body: runs the re-muxer until the channel ends, no player is
// left (abandoned) or a stop comes, holding each unit for the players; the
// upstream is closed when it returns, and the channel is over.
void channelFeed(ChannelSession* channel);

// Holds one unit of the re-muxer (a tag: its 15-byte block and body, as
// getFLVPacket makes it) for the players, letting go of the oldest beyond
// the store's bounds. The feeder's step.
void channelHold(ChannelSession* channel, const uint8_t* unit, uint32_t size);

// One player's place in a channel: its own stream, made of the channel's
// units with its own header, timestamps from 0 and PreviousTagSize chain.
struct ChannelPlace {
  ByteBuffer unit;           // the unit handed out last
  uint32_t room = 0;         // bytes `unit` has
  bool fromStart = false;    // it opened the channel: it takes it from its first unit
  uint8_t stage = 0;         // header, a start, units
  uint8_t setUpsDue = 0;     // bits of SetUp still to go out before `next`
  uint32_t next = 0;         // the unit it reads next
  uint32_t base = 0;         // ms: the channel's timestamp that is its 0
  uint32_t lastTagSize = 0;  // of the tag it got last: the next one's PreviousTagSize
  uint32_t lastVideo = 0;    // ms, its last video and audio timestamps
  uint32_t lastAudio = 0;
  uint32_t videoStep = 0;    // ms, its last step between pictures
};

// The player at `place` enters the channel: from now on what it has still to
// read is kept for it, within the bounds. The player that opens the channel
// enters before the feeder starts. False when it has room for no more.
[[nodiscard]] bool channelEnter(ChannelSession* channel, ChannelPlace* place);

// The player leaves the channel: nothing is kept for it any more.
void channelLeave(ChannelSession* channel, ChannelPlace* place);

// Places the player's next unit in place->unit and returns its length; 0
// when none came before `untilMs` (monotonicMs; a player that waits looks
// every kChannelLookMs), -1 when the channel is over or memory is short. A
// player that lags behind what the channel holds goes on at its newest
// keyframe (logged).
int32_t channelRead(ChannelSession* channel, ChannelPlace* place, int64_t untilMs);

#endif  // ZTV_STREAM_CHANNEL_H
