#include "stream/ts_writer.h"

#include <string.h>

#include "base/bytes.h"
#include "base/heap.h"
#include "base/language.h"
#include "stream/flv_block.h"

namespace {

// The PIDs, in the order of TsWriter::continuity.
enum Slot : uint8_t { kPatSlot, kPmtSlot, kVideoSlot, kAudioSlot };
constexpr uint16_t kPids[] = {0x0000, 0x1000, 0x0100, 0x0101};

constexpr uint8_t kStreamTypeH264 = 0x1B;
constexpr uint8_t kStreamTypeAac = 0x0F;  // ADTS
constexpr uint8_t kStreamTypeMpeg1Audio = 0x03;
constexpr uint8_t kStreamTypeMpeg2Audio = 0x04;

constexpr uint8_t kFlvAvc = 7;  // video codec ids and sound formats
constexpr uint8_t kFlvMp3 = 2;
constexpr uint8_t kFlvAac = 10;
static_assert(kTsVideoCodecs == 1u << kFlvAvc && kTsSoundFormats == (1u << kFlvMp3 | 1u << kFlvAac));
constexpr uint8_t kFlvKeyFrame = 1;  // video frame types
constexpr uint8_t kFlvCommandFrame = 5;
constexpr size_t kAvcHeaderSize = 5;  // codec byte, packet type, composition time
constexpr size_t kAdtsSize = 7;
constexpr uint32_t kAdtsMaxFrame = 8191;  // 13 bits of frame length

// No two PCRs further apart than kPcrStepMs. They ride in the first packet
// of a video PES (8 bytes there, where a packet of its own costs 188): a
// video unit carries one once kPcrSoonMs have passed. PCR-only packets
// fill in where the units leave a longer gap: before an audio unit up to
// kPcrStepMs behind it, before a video unit up to twice that (its own PCR
// closes the rest), so the PCR never lags the units by more than
// kPcrStepMs; at most kPcrFillMax of them (a second) for one unit.
constexpr uint32_t kPcrStepMs = 40;
constexpr uint32_t kPcrSoonMs = 20;
constexpr uint32_t kPcrFillMax = 25;
// Below the 500 ms a player may wait for them, leaving room for the unit spacing.
constexpr uint32_t kTablesEveryMs = 400;

constexpr uint64_t kClockMask = (uint64_t{1} << 33) - 1;
constexpr uint8_t kStartCode[] = {0, 0, 0, 1};
constexpr uint8_t kAccessUnitDelimiter[] = {0, 0, 0, 1, 0x09, 0xF0};  // any slice types

// 33 bits of the 90 kHz clock. 90 * 2^32 is a multiple of 2^33, so the
// clock runs on smoothly where the 32-bit FLV timestamp wraps.
uint64_t clock90(int64_t ms) { return static_cast<uint64_t>(ms * 90) & kClockMask; }

// `ms` is at least `span` after `since` on the wrapping stream clock.
bool reached(uint32_t ms, uint32_t since, uint32_t span) {
  return static_cast<int32_t>(ms - since) >= static_cast<int32_t>(span);
}

uint32_t crc32Mpeg(const uint8_t* bytes, size_t length) {
  uint32_t crc = 0xFFFFFFFF;
  for (size_t i = 0; i < length; ++i) {
    crc ^= uint32_t{bytes[i]} << 24;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x80000000) != 0 ? (crc << 1) ^ 0x04C11DB7 : crc << 1;
  }
  return crc;
}

// --- Packets

bool flush(TsWriter& w, TsSink sink) {
  const uint32_t count = w.packetCount;
  w.packetCount = 0;
  if (count > 0 && !w.sinkFailed && !sink.send(sink.context, w.packets[0], count * kTsPacketSize)) {
    w.sinkFailed = true;
  }
  return !w.sinkFailed;
}

// A new packet with its header at the end of the buffer (sent first when
// full); null once the sink has failed.
uint8_t* newPacket(TsWriter& w, TsSink sink, Slot slot, bool unitStart, bool payload) {
  if (w.packetCount == kTsPacketsPerSend && !flush(w, sink)) return nullptr;
  if (w.sinkFailed) return nullptr;
  uint8_t* p = w.packets[w.packetCount++];
  const uint16_t pid = kPids[slot];
  // A packet without payload repeats the counter of the one before it.
  const uint8_t counter = payload ? w.continuity[slot] : (w.continuity[slot] - 1) & 0x0F;
  if (payload) w.continuity[slot] = (counter + 1) & 0x0F;
  p[0] = 0x47;
  p[1] = static_cast<uint8_t>((unitStart ? 0x40 : 0) | (pid >> 8));
  p[2] = static_cast<uint8_t>(pid);
  p[3] = static_cast<uint8_t>((payload ? 0x10 : 0x20) | counter);
  return p;
}

void putPcr(uint8_t* at, uint32_t ms) {
  const uint64_t base = clock90(ms);
  at[0] = static_cast<uint8_t>(base >> 25);
  at[1] = static_cast<uint8_t>(base >> 17);
  at[2] = static_cast<uint8_t>(base >> 9);
  at[3] = static_cast<uint8_t>(base >> 1);
  at[4] = static_cast<uint8_t>(((base & 1) << 7) | 0x7E);  // reserved bits, extension 0
  at[5] = 0;
}

bool putPcrOnly(TsWriter& w, TsSink sink, uint32_t ms) {
  uint8_t* p = newPacket(w, sink, kVideoSlot, false, false);
  if (p == nullptr) return false;
  p[4] = kTsPacketSize - 5;
  p[5] = 0x10;
  putPcr(p + 6, ms);
  memset(p + 12, 0xFF, kTsPacketSize - 12);
  w.lastPcrMs = ms;
  w.pcrSent = true;
  return true;
}

// --- PAT and PMT, each a section in a packet of its own

bool putSection(TsWriter& w, TsSink sink, Slot slot, const uint8_t* section, uint32_t length) {
  uint8_t* p = newPacket(w, sink, slot, true, true);
  if (p == nullptr) return false;
  p[4] = 0;  // pointer field: the section starts at once
  memcpy(p + 5, section, length);
  putBigEndian32(p + 5 + length, crc32Mpeg(section, length));
  memset(p + 9 + length, 0xFF, kTsPacketSize - 9 - length);
  return true;
}

bool putTables(TsWriter& w, TsSink sink, uint32_t ms) {
  static constexpr uint8_t kPat[] = {0x00, 0xB0, 0x0D, 0x00, 0x01, 0xC1, 0x00, 0x00,
                                     0x00, 0x01, 0xF0, 0x00};  // program 1 at PID 0x1000
  uint8_t pmt[22] = {0x02, 0xB0, 0, 0x00, 0x01, static_cast<uint8_t>(0xC1 | w.pmtVersion << 1), 0x00, 0x00,
                     0xE1, 0x00, 0xF0, 0x00,  // PCR on the video PID, no program descriptors
                     kStreamTypeH264, 0xE1, 0x00, 0xF0, 0x00,
                     w.audioStreamType, 0xE1, 0x01, 0xF0, 0x00};
  const uint8_t length = w.audioStreamType != 0 ? 22 : 17;
  pmt[2] = static_cast<uint8_t>(length - 3 + 4);  // what follows the length field, CRC included
  if (!putSection(w, sink, kPatSlot, kPat, sizeof kPat) || !putSection(w, sink, kPmtSlot, pmt, length)) {
    return false;
  }
  w.tablesSent = true;
  w.tablesDue = false;
  w.lastTablesMs = ms;
  return true;
}

// What goes before a unit's PES: the tables when due, PCR-only packets
// where PCRs would be too far apart.
bool prepareUnit(TsWriter& w, TsSink sink, uint32_t ms, bool video, bool keyframe) {
  if ((keyframe || w.tablesDue || !w.tablesSent || reached(ms, w.lastTablesMs, kTablesEveryMs)) &&
      !putTables(w, sink, ms)) {
    return false;
  }
  const uint32_t lagAllowed = video ? 2 * kPcrStepMs : kPcrStepMs;
  for (uint32_t n = 0; w.pcrSent && n < kPcrFillMax && reached(ms, w.lastPcrMs, lagAllowed + 1); ++n) {
    if (!putPcrOnly(w, sink, w.lastPcrMs + kPcrStepMs)) return false;
  }
  return true;
}

// Whether a video unit at `ms` carries a PCR, and its value in `*pcrMs`.
bool videoPcr(const TsWriter& w, uint32_t ms, uint32_t* pcrMs) {
  if (w.pcrSent && !reached(ms, w.lastPcrMs, kPcrSoonMs)) return false;
  *pcrMs = w.pcrSent && reached(ms, w.lastPcrMs, kPcrStepMs + 1) ? w.lastPcrMs + kPcrStepMs : ms;
  return true;
}

// --- PES

void putTimestamp(uint8_t* at, uint8_t prefix, uint64_t t) {
  at[0] = static_cast<uint8_t>(prefix << 4 | ((t >> 29) & 0x0E) | 1);
  at[1] = static_cast<uint8_t>(t >> 22);
  at[2] = static_cast<uint8_t>(((t >> 14) & 0xFE) | 1);
  at[3] = static_cast<uint8_t>(t >> 7);
  at[4] = static_cast<uint8_t>(((t << 1) & 0xFE) | 1);
}

// The PES header; `payloadLength` 0 leaves the PES unbounded (video).
uint32_t pesHeader(uint8_t* at, uint8_t streamId, uint32_t payloadLength, uint64_t pts, uint64_t dts) {
  const bool both = pts != dts;
  const uint32_t dataLength = both ? 10 : 5;
  const uint32_t pesLength = payloadLength == 0 ? 0 : payloadLength + 3 + dataLength;
  const uint8_t fixed[] = {0, 0, 1, streamId, static_cast<uint8_t>(pesLength >> 8), static_cast<uint8_t>(pesLength),
                           0x84,  // data aligned: each PES begins with an access unit
                           static_cast<uint8_t>(both ? 0xC0 : 0x80), static_cast<uint8_t>(dataLength)};
  memcpy(at, fixed, sizeof fixed);
  putTimestamp(at + 9, both ? 3 : 2, pts);
  if (both) putTimestamp(at + 14, 1, dts);
  return 9 + dataLength;
}

// One PES being cut into packets; it is finished within the call that
// began it, so the open packet is still in the buffer when it ends.
struct PesOut {
  TsWriter& w;
  TsSink sink;
  Slot slot;
  uint8_t* packet = nullptr;   // the packet being filled
  uint32_t at = 0;             // the next byte's offset in it
  bool ok = true;              // false once the sink failed
};

bool pesBegin(PesOut& out, bool pcr, uint32_t pcrMs, bool randomAccess) {
  uint8_t* p = newPacket(out.w, out.sink, out.slot, true, true);
  out.packet = p;
  out.ok = p != nullptr;
  if (!out.ok) return false;
  out.at = 4;
  if (!pcr && !randomAccess) return true;
  p[3] |= 0x20;
  p[5] = static_cast<uint8_t>((randomAccess ? 0x40 : 0) | (pcr ? 0x10 : 0));
  out.at = 6;
  if (pcr) {
    putPcr(p + 6, pcrMs);
    out.w.lastPcrMs = pcrMs;
    out.w.pcrSent = true;
    out.at = 12;
  }
  p[4] = static_cast<uint8_t>(out.at - 5);
  return true;
}

void pesPut(PesOut& out, const uint8_t* bytes, size_t length) {
  while (length > 0 && out.ok) {
    if (out.at == kTsPacketSize) {
      out.packet = newPacket(out.w, out.sink, out.slot, false, true);
      out.at = 4;
      out.ok = out.packet != nullptr;
      if (!out.ok) return;
    }
    const size_t n = minOf(length, size_t{kTsPacketSize - out.at});
    memcpy(out.packet + out.at, bytes, n);
    out.at += static_cast<uint32_t>(n);
    bytes += n;
    length -= n;
  }
}

// A short last packet is filled by growing its adaptation field (a PES
// payload may not be padded), the payload moved to the packet's end.
void pesEnd(PesOut& out) {
  if (!out.ok || out.at == kTsPacketSize) return;
  uint8_t* p = out.packet;
  const uint32_t gap = kTsPacketSize - out.at;
  const bool hasField = (p[3] & 0x20) != 0;
  const uint32_t payloadAt = hasField ? 5 + p[4] : 4;
  memmove(p + payloadAt + gap, p + payloadAt, out.at - payloadAt);
  if (hasField) {
    memset(p + payloadAt, 0xFF, gap);
    p[4] = static_cast<uint8_t>(p[4] + gap);
  } else {
    p[3] |= 0x20;
    p[4] = static_cast<uint8_t>(gap - 1);
    if (gap > 1) p[5] = 0;
    if (gap > 2) memset(p + 6, 0xFF, gap - 2);
  }
  out.at = kTsPacketSize;
}

// --- H.264

// The parameter sets of an AVCDecoderConfigurationRecord as start-code NAL
// units into `out` (when not null); their size, or -1 when the record does
// not parse, lacks SPS or PPS, or holds more than kTsParameterSetRoom.
int32_t parameterSets(const uint8_t* data, size_t length, uint8_t* out) {
  size_t at = 5;
  uint32_t total = 0;
  for (int list = 0; list < 2; ++list) {  // the SPS, then the PPS
    if (at >= length) return -1;
    uint32_t count = list == 0 ? data[at] & 0x1F : data[at];
    ++at;
    if (count == 0) return -1;
    for (; count > 0; --count) {
      if (length - at < 2) return -1;
      const uint32_t n = uint32_t{data[at]} << 8 | data[at + 1];
      at += 2;
      if (n == 0 || n > length - at || total + 4 + n > kTsParameterSetRoom) return -1;
      if (out != nullptr) {
        memcpy(out + total, kStartCode, 4);
        memcpy(out + total + 4, data + at, n);
      }
      total += 4 + n;
      at += n;
    }
  }
  return static_cast<int32_t>(total);
}

// Replaces the configuration kept; a join to an item of another size or
// profile sends its own before its first keyframe.
bool keepAvcConfig(TsWriter& w, const uint8_t* data, size_t length) {
  if (length < 5 || data[0] != 1 || parameterSets(data, length, nullptr) < 0) return false;
  w.parameterSetsLength = static_cast<uint16_t>(parameterSets(data, length, w.parameterSets));
  w.nalLengthSize = static_cast<uint8_t>((data[4] & 3) + 1);
  return true;
}

uint32_t readLength(const uint8_t* at, uint32_t size) {
  uint32_t n = 0;
  for (uint32_t i = 0; i < size; ++i) n = n << 8 | at[i];
  return n;
}

// Delimiters and end-of-sequence NAL units are the writer's business: it
// puts its own delimiter first, and the stream goes on across joins.
bool keptInFrame(uint8_t nalHeader) {
  const uint8_t type = nalHeader & 0x1F;
  return type != 9 && type != 10 && type != 11;
}

void putNalUnits(PesOut& out, uint32_t lengthSize, const uint8_t* data, size_t length) {
  size_t at = 0;
  while (length - at >= lengthSize) {
    const uint32_t n = readLength(data + at, lengthSize);
    at += lengthSize;
    // A length past the tag's end ends the frame: what follows it cannot
    // be told from garbage.
    if (n > length - at) return;
    if (n > 0 && keptInFrame(data[at])) {
      pesPut(out, kStartCode, sizeof kStartCode);
      pesPut(out, data + at, n);
    }
    at += n;
  }
}

TsResult writeAccessUnit(TsWriter& w, TsSink sink, const uint8_t* body, size_t length, uint32_t ms, bool key) {
  if (!prepareUnit(w, sink, ms, true, key)) return TsResult::kSinkFailed;
  uint32_t pcrMs = 0;
  const bool pcr = videoPcr(w, ms, &pcrMs);
  const int32_t cts = static_cast<int32_t>(readBigEndian24(body + 2) << 8) >> 8;
  uint8_t header[19];
  const uint32_t headerLength = pesHeader(header, 0xE0, 0, clock90(int64_t{ms} + cts + kTsDecodeDelayMs),
                                          clock90(int64_t{ms} + kTsDecodeDelayMs));
  PesOut out{w, sink, kVideoSlot};
  if (pesBegin(out, pcr, pcrMs, key)) {
    pesPut(out, header, headerLength);
    pesPut(out, kAccessUnitDelimiter, sizeof kAccessUnitDelimiter);
    if (key) pesPut(out, w.parameterSets, w.parameterSetsLength);
    putNalUnits(out, w.nalLengthSize, body + kAvcHeaderSize, length - kAvcHeaderSize);
    pesEnd(out);
  }
  return out.ok && flush(w, sink) ? TsResult::kOk : TsResult::kSinkFailed;
}

TsResult refuse(TsWriter& w, uint8_t codec, TsResult result) {
  w.refusedCodec = codec;
  return result;
}

TsResult writeVideo(TsWriter& w, TsSink sink, const uint8_t* body, size_t length, uint32_t ms) {
  if (length == 0) return TsResult::kOk;
  // The top bit marks the extended header, whose codecs are named otherwise.
  const uint8_t codec = body[0] & 0x0F;
  if ((body[0] & 0x80) != 0 || codec != kFlvAvc) return refuse(w, codec, TsResult::kVideoNotCarried);
  if (length < kAvcHeaderSize) return TsResult::kOk;
  if (body[1] == 0) {
    return keepAvcConfig(w, body + kAvcHeaderSize, length - kAvcHeaderSize) ? TsResult::kOk
                                                                           : TsResult::kConfigUnusable;
  }
  const uint8_t frameType = body[0] >> 4;
  // Packet type 2 ends a sequence, where the channel goes on; a command
  // frame holds no picture; without a configuration nothing can be decoded.
  if (body[1] != 1 || frameType == kFlvCommandFrame || w.nalLengthSize == 0) return TsResult::kOk;
  const bool key = frameType == kFlvKeyFrame;
  if (!w.started && !key) return TsResult::kOk;
  w.started = true;
  return writeAccessUnit(w, sink, body, length, ms, key);
}

// --- Audio

// A change after the PMT went out is announced by a new PMT version at once.
void noteAudioType(TsWriter& w, uint8_t streamType) {
  if (streamType == w.audioStreamType) return;
  w.audioStreamType = streamType;
  if (!w.tablesSent) return;
  w.pmtVersion = (w.pmtVersion + 1) & 0x1F;
  w.tablesDue = true;
}

// AudioSpecificConfig: object type (5 bits), frequency index (4),
// channels (4); for explicit HE-AAC a frequency index and the core's
// object type follow, and ADTS carries the core (the decoder finds SBR).
bool keepAacConfig(TsWriter& w, const uint8_t* data, size_t length) {
  if (length < 2) return false;
  const uint32_t bits = uint32_t{data[0]} << 24 | uint32_t{data[1]} << 16 |
                        (length > 2 ? uint32_t{data[2]} << 8 : 0);
  uint32_t objectType = bits >> 27;
  const uint32_t rate = bits >> 23 & 0x0F, channels = bits >> 19 & 0x0F;
  if (objectType == 5 || objectType == 29) {
    if (length < 3 || (bits >> 15 & 0x0F) == 0x0F) return false;
    objectType = bits >> 10 & 0x1F;
  }
  if (objectType < 1 || objectType > 4 || rate > 12 || channels < 1 || channels > 7) return false;
  w.aacProfile = static_cast<uint8_t>(objectType - 1);
  w.aacRateIndex = static_cast<uint8_t>(rate);
  w.aacChannels = static_cast<uint8_t>(channels);
  w.aacKnown = true;
  return true;
}

void putAdts(uint8_t* at, const TsWriter& w, uint32_t frameLength) {
  at[0] = 0xFF;
  at[1] = 0xF1;  // MPEG-4, no CRC
  at[2] = static_cast<uint8_t>(w.aacProfile << 6 | w.aacRateIndex << 2 | w.aacChannels >> 2);
  at[3] = static_cast<uint8_t>((w.aacChannels & 3) << 6 | frameLength >> 11);
  at[4] = static_cast<uint8_t>(frameLength >> 3);
  at[5] = static_cast<uint8_t>((frameLength & 7) << 5 | 0x1F);  // buffer fullness 0x7FF: variable rate
  at[6] = 0xFC;
}

TsResult writeAudioPes(TsWriter& w, TsSink sink, uint32_t ms, const uint8_t* prefix, uint32_t prefixLength,
                       const uint8_t* data, size_t length) {
  if (!prepareUnit(w, sink, ms, false, false)) return TsResult::kSinkFailed;
  uint8_t header[14];
  const uint64_t pts = clock90(int64_t{ms} + kTsDecodeDelayMs);
  const uint32_t headerLength = pesHeader(header, 0xC0, static_cast<uint32_t>(prefixLength + length), pts, pts);
  PesOut out{w, sink, kAudioSlot};
  if (pesBegin(out, false, 0, false)) {
    pesPut(out, header, headerLength);
    pesPut(out, prefix, prefixLength);
    pesPut(out, data, length);
    pesEnd(out);
  }
  return out.ok && flush(w, sink) ? TsResult::kOk : TsResult::kSinkFailed;
}

TsResult writeAac(TsWriter& w, TsSink sink, const uint8_t* body, size_t length, uint32_t ms) {
  if (length < 2) return TsResult::kOk;
  if (body[1] == 0) {
    if (!keepAacConfig(w, body + 2, length - 2)) return TsResult::kConfigUnusable;
    noteAudioType(w, kStreamTypeAac);
    return TsResult::kOk;
  }
  const size_t frameLength = kAdtsSize + length - 2;
  // ADTS cannot say a longer frame's length.
  if (!w.aacKnown || !w.started || frameLength > kAdtsMaxFrame) return TsResult::kOk;
  noteAudioType(w, kStreamTypeAac);
  uint8_t adts[kAdtsSize];
  putAdts(adts, w, static_cast<uint32_t>(frameLength));
  return writeAudioPes(w, sink, ms, adts, kAdtsSize, body + 2, length - 2);
}

// MPEG-1 audio (32-48 kHz) or its lower-rate MPEG-2 extension, as the first
// frame header's version bits say.
uint8_t mpegAudioType(const uint8_t* data, size_t length) {
  const bool synced = length >= 2 && data[0] == 0xFF && (data[1] & 0xE0) == 0xE0;
  return synced && (data[1] & 0x18) != 0x18 ? kStreamTypeMpeg2Audio : kStreamTypeMpeg1Audio;
}

TsResult writeMp3(TsWriter& w, TsSink sink, const uint8_t* body, size_t length, uint32_t ms) {
  noteAudioType(w, mpegAudioType(body + 1, length - 1));
  // A PES of bounded length must say it in 16 bits.
  if (!w.started || length < 2 || length - 1 > 0xFFFF - 8) return TsResult::kOk;
  return writeAudioPes(w, sink, ms, nullptr, 0, body + 1, length - 1);
}

TsResult writeAudio(TsWriter& w, TsSink sink, const uint8_t* body, size_t length, uint32_t ms) {
  if (length == 0) return TsResult::kOk;
  const uint8_t format = body[0] >> 4;
  if (format == kFlvAac) return writeAac(w, sink, body, length, ms);
  if (format == kFlvMp3) return writeMp3(w, sink, body, length, ms);
  return refuse(w, format, TsResult::kAudioNotCarried);
}

}  // namespace

TsWriter* tsWriterOpen() { return newRecord<TsWriter>(); }

void tsWriterClose(TsWriter* writer) { freeRecord(writer); }

TsResult tsWriteUnit(TsWriter* writer, const uint8_t* unit, size_t length, TsSink sink) {
  if (writer->sinkFailed) return TsResult::kSinkFailed;
  // The file header (or anything shorter than a tag's block) carries nothing for the stream.
  if (length < kBlockSize) return TsResult::kOk;
  const uint8_t* body = unit + kBlockSize;
  const size_t bodyLength = minOf(length - kBlockSize, size_t{readBigEndian24(unit + 5)});
  const uint32_t ms = readTimestamp(unit);
  if (unit[4] == kVideoTag) return writeVideo(*writer, sink, body, bodyLength, ms);
  if (unit[4] == kAudioTag) return writeAudio(*writer, sink, body, bodyLength, ms);
  return TsResult::kOk;
}
