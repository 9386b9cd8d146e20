#ifndef ZTV_STREAM_SESSION_H
#define ZTV_STREAM_SESSION_H

// The state of one upstream: a channel's re-muxer (id=: its timeline,
// source, index, retries and pace clock, run by the channel's feeder for
// all of its players, see stream/channel.h) or one player's relay (li=).
// Its owner opens it, sets channelId or videoUrl, hands the address of its
// pointer to the chunk source of its mode again and again, and closes it;
// closing releases everything the session owns. What belongs to a player
// (its socket, form, place and pause) is not here.

#include <stdint.h>

#include "base/heap.h"
#include "base/heap_text.h"
#include "net/web_file.h"
#include "timeline/playlist.h"

constexpr uint8_t kPassedOverKept = 16;  // URLs a stream remembers having passed over
constexpr uint16_t kAllCodecs = 0xFFFF;   // a form that carries whatever FLV does

struct StreamSession {
  bool headerSent = false;        // channel: the FLV file header went out
  bool relayLive = false;         // relay: the source is open and its body is being passed on
  bool sourceHeaderRead = false;  // the current source's 9-byte FLV header has been consumed
  bool patchPrevTagSize = false;  // the next block's PreviousTagSize becomes lastPrevTagSize
  bool metaDecoded = false;       // the current video's first script tag went to the index decoder
  bool seekPending = false;       // the next connection re-opens videoUrl at seekFilePos
  bool retryPending = false;      // the next connection re-opens videoUrl from its start
  bool sourceAtSeek = false;      // the source was re-opened at seekFilePos; no video tag of it yet
  uint32_t seekLandingMs = 0;     // ms, the time in the index of the keyframe it was re-opened at
  bool sourceVideoSeen = false;   // a video tag of the current source connection has been rebased
  uint32_t liveJumpSec = 0;       // the jump to the live position still to come: its wanted time
                                  // in the current video, seconds; 0 none (or done)
  uint32_t reopenSec = 0;         // with seekPending: index time (s) of the keyframe at seekFilePos
  uint32_t seekFilePos = 0;       // byte position sent as "?start="
  int64_t videoLength = 0;        // Content-Length of the current video from its beginning; 0 unknown
  HeapArray<uint32_t> keyframeFilePositions;  // keyframe byte positions; keyframeCount + 1 entries or null
  HeapArray<uint32_t> keyframeTimes;          // keyframe times in seconds, entry for entry
  uint32_t keyframeCount = 0;                 // valid entries in both arrays; 0 = no index
  uint8_t lastPrevTagSize[4] = {};  // PreviousTagSize bytes of the block read last, big-endian as sent
  HeapText videoUrl;                // channel: the current video; relay: the URL to relay; empty = none
  uint32_t outTimestamp = 0;        // ms, last timestamp written into an outgoing video tag
  uint32_t lastInTimestamp = 0;     // ms, source timestamp of the last video tag
  uint32_t lastDelta = 0;           // ms, last positive step between source video timestamps
  TimelinePtr timeline;             // the channel's current timeline, or null
  int32_t entryIndex = 0;           // 1-based entry of timeline being streamed; 0 before the first
  int32_t currentPliid = 0;         // pliid of the video being streamed; 0 before the first
  int32_t channelId = 0;            // channel number of the request
  bool playerElsewhere = false;     // relay: the player is not on this box; a source on this box is refused
  bool headOnly = false;            // relay: the player sent HEAD; the source is asked with HEAD, no body follows
  // Channel: the codecs the player's form carries, as bits of FLV video codec
  // ids and sound formats (kAllCodecs: any); a source with another is passed over.
  uint16_t videoCodecs = kAllCodecs;
  uint16_t soundFormats = kAllCodecs;
  bool sourceVideoJudged = false;   // a video tag of the current source connection was found carried
  HeapText playerRange;             // relay: the player's Range, asked of the source as it stands; empty none
  uint32_t keyframesSeen = 0;       // video keyframes seen on this source while liveJumpSec != 0
  WebFilePtr source;                // the open connection to the current source, or null

  // Beyond the stream state proper: what keeps the joins right and the selection bounded.
  uint32_t lastTagSize = 0;            // 11 + DataSize of the tag returned last; 0 before the first
  uint32_t timelineLoadsSinceTag = 0;  // timeline downloads since a tag was last returned

  // Audio rides on the video's timeline: FLV timestamps are one clock for
  // every tag, so audio is moved by the same amount as the video of its own
  // source, and never goes back where one source's audio outlasts its video.
  uint32_t audioOffset = 0;         // ms added to an audio source timestamp (modulo 2^32)
  bool audioOffsetSet = false;      // audioOffset belongs to the current source connection
  uint32_t lastAudioTimestamp = 0;  // ms, timestamp last written into an outgoing audio tag
  uint32_t lastAudioIn = 0;         // ms, source timestamp of the last audio tag
  uint32_t lastAudioStep = 0;       // ms, last step between two sounds of one source: a sound's length
  bool sourceAudioSeen = false;     // an audio tag of the current source connection has gone out
  uint32_t audioWaitMs = 0;         // ms the current source's sound waits behind its picture

  // Riding out the service's hiccups: how the current video fared, and since when nothing went out.
  int64_t unitWantedMs = 0;         // clock time (ms, monotonic) the stream began to wait for its next unit
  uint8_t failedTries = 0;          // tries of the current video that failed since it last went on
  bool videoShown = false;          // a picture of the current video has gone out
  uint32_t cutAtMs = 0;             // ms, source time of its last picture sent before it last broke off
  uint32_t connectedAt = 0;         // byte position the current connection was asked to start at; 0 whole
  uint32_t passedOver[kPassedOverKept] = {};  // hashes of the video URLs passed over, a ring
  uint8_t passedOverCount = 0;      // entries of it in use
  uint8_t passedOverNext = 0;       // where the next goes

  // The channel keeps pace with the clock from its first picture at the live position on.
  bool paceStarted = false;         // that picture has gone out; the two fields below are set
  int64_t paceStartMs = 0;          // clock time (ms, monotonic) it went out at
  uint32_t paceStartTimestamp = 0;  // ms, its outgoing timestamp
};

// A new session with every field 0 or empty; null when memory is short.
[[nodiscard]] StreamSession* openFLVStream();

// Closes the source, frees the URL, index and timeline, then the record. Accepts null.
void closeFLVStream(StreamSession* session);

#endif  // ZTV_STREAM_SESSION_H
