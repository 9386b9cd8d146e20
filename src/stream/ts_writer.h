#ifndef ZTV_STREAM_TS_WRITER_H
#define ZTV_STREAM_TS_WRITER_H

// The channel's units (the FLV file header, then one tag per unit as the
// re-muxer hands them out) as an MPEG transport stream for one player:
// tsWriterOpen, then tsWriteUnit for every unit in order, tsWriterClose.
// H.264 video and AAC or MP3 audio are carried; the stream begins with PAT,
// PMT and a keyframe, and its clock is the units' (rising) timestamps.

#include <stddef.h>
#include <stdint.h>

constexpr uint32_t kTsPacketSize = 188;
constexpr uint32_t kTsPacketsPerSend = 32;  // 6016 bytes: a typical frame in one send
// How far the PCR runs behind the DTS: DTS = (timestamp + delay) * 90 and
// PCR = timestamp * 90, so that a player has this much buffered before a
// frame is due.
constexpr uint32_t kTsDecodeDelayMs = 700;
// Room for the H.264 parameter sets kept in Annex B form; a decoder
// configuration with more is refused.
constexpr uint32_t kTsParameterSetRoom = 512;

// The codecs tsWriteUnit carries, as bits of the FLV video codec id (low four
// bits of a video body's first byte, without the extended header's top bit)
// and of the sound format (high four bits of an audio body's): H.264; MP3, AAC.
constexpr uint16_t kTsVideoCodecs = 1u << 7;
constexpr uint16_t kTsSoundFormats = 1u << 2 | 1u << 10;

// Sends `length` bytes (whole packets) to the player; false when it cannot.
using TsSend = bool (*)(void* context, const uint8_t* bytes, size_t length);
struct TsSink {
  TsSend send = nullptr;
  void* context = nullptr;  // handed to `send`, not owned
};

enum class TsResult : uint8_t {
  kOk,                  // whatever the unit carries went out: nothing for the file header,
                        // a script tag, a decoder configuration, a unit before the first
                        // keyframe or one whose body does not parse
  kVideoNotCarried,     // video of a codec other than H.264: nothing written
  kAudioNotCarried,     // audio other than AAC and MP3: nothing written
  kConfigUnusable,      // an H.264 or AAC decoder configuration that does not parse (or
                        // has no ADTS form): nothing written, the one kept stays
  kSinkFailed,          // the sink refused bytes, now or before: the stream is over
};

// One player's transport stream: only its own small state, nothing that
// grows with a tag (6560 bytes on the 32- and 64-bit targets alike, the
// packet buffer 6016 of them).
struct TsWriter {
  uint8_t packets[kTsPacketsPerSend][kTsPacketSize];  // whole packets not yet sent
  uint32_t packetCount = 0;        // filled entries of `packets`
  uint8_t continuity[4] = {};      // next continuity counter of PAT, PMT, video, audio
  bool sinkFailed = false;         // the sink refused once: nothing more is sent
  bool started = false;            // the first keyframe went out; units before it are dropped
  bool pcrSent = false;            // lastPcrMs holds the last PCR
  bool tablesSent = false;         // PAT and PMT went out at least once
  bool tablesDue = false;          // the PMT changed: PAT and PMT go out before the next unit
  uint8_t pmtVersion = 0;          // 5 bits, bumped when the audio stream type changes
  uint8_t audioStreamType = 0;     // 0x0F AAC, 0x03/0x04 MPEG audio, 0 before any audio
  uint8_t refusedCodec = 0;        // FLV codec id (or sound format) of the last unit not carried
  uint32_t lastPcrMs = 0;          // stream time of the last PCR (ms, wraps with the timestamps)
  uint32_t lastTablesMs = 0;       // stream time of the last PAT and PMT
  // H.264: the decoder configuration kept, its parameter sets as start-code NAL units.
  uint8_t nalLengthSize = 0;       // 1-4 bytes; 0 while no configuration is known
  uint16_t parameterSetsLength = 0;
  uint8_t parameterSets[kTsParameterSetRoom];
  // AAC: the AudioSpecificConfig kept, as ADTS wants it.
  bool aacKnown = false;
  uint8_t aacProfile = 0;          // object type - 1 (0 main, 1 LC, 2 SSR, 3 LTP)
  uint8_t aacRateIndex = 0;        // sampling frequency index 0-12
  uint8_t aacChannels = 0;         // channel configuration 1-7
};

// A new writer, or null when memory is short.
[[nodiscard]] TsWriter* tsWriterOpen();
void tsWriterClose(TsWriter* writer);  // accepts null

// Turns one unit of `length` bytes into whole packets handed to `sink`: in
// pieces of at most kTsPacketsPerSend packets, all of them before the call
// returns. Never reads beyond `length` bytes, whatever the unit's lengths say.
[[nodiscard]] TsResult tsWriteUnit(TsWriter* writer, const uint8_t* unit, size_t length, TsSink sink);

#endif  // ZTV_STREAM_TS_WRITER_H
