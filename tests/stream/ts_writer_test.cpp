#include "stream/ts_writer.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "base/heap.h"
#include "stream/ts_reader.h"
#include "support/flv.h"

namespace {

using namespace testsupport;
using namespace tsread;
using Bytes = std::string;

// --- Units as the re-muxer hands them out

Bytes unitOf(uint8_t type, uint32_t timestamp, const Bytes& body) {
  TagPlan plan;
  plan.type = type;
  plan.timestamp = timestamp;
  plan.body = body;
  return tagBytes(plan, 0);
}

Bytes big(uint32_t value, size_t count) {
  Bytes out;
  putBig(out, value, count);
  return out;
}

const Bytes kSps1("\x67\x42\xC0\x1E\xAB", 5), kPps1("\x68\xCE\x3C\x80", 4);
const Bytes kSps2("\x67\x64\x00\x28\xAC\xD9", 6), kPps2("\x68\xEB\xE3\xCB", 4);
const Bytes kStart("\0\0\0\1", 4);
const Bytes kAud = kStart + Bytes("\x09\xF0", 2);

Bytes avcConfig(uint32_t timestamp, int lengthSize, const Bytes& sps, const Bytes& pps) {
  Bytes record = Bytes("\x01\x42\xC0\x1E", 4) + static_cast<char>(0xFC | (lengthSize - 1)) + "\xE1" +
                 big(uint32_t(sps.size()), 2) + sps + "\x01" + big(uint32_t(pps.size()), 2) + pps;
  return unitOf(kFlvVideo, timestamp, Bytes("\x17\x00\0\0\0", 5) + record);
}

// A picture of NAL units `nals`, each behind a `lengthSize`-byte length.
Bytes avcFrame(uint32_t timestamp, bool key, int32_t cts, const std::vector<Bytes>& nals, int lengthSize = 4) {
  Bytes body = Bytes(1, key ? '\x17' : '\x27') + '\x01' + big(uint32_t(cts) & 0xFFFFFF, 3);
  for (const Bytes& nal : nals) body += big(uint32_t(nal.size()), lengthSize) + nal;
  return unitOf(kFlvVideo, timestamp, body);
}

Bytes slice(bool key, size_t size, uint32_t seed) {
  Bytes nal(size, '\0');
  for (size_t i = 0; i < size; ++i) nal[i] = static_cast<char>((i * 13 + seed) % 251 + 1);
  nal[0] = key ? '\x65' : '\x41';
  return nal;
}

Bytes aacConfig(const Bytes& config) { return unitOf(kFlvAudio, 0, "\xAF" + Bytes(1, '\0') + config); }
Bytes aacFrame(uint32_t timestamp, size_t size) {
  return unitOf(kFlvAudio, timestamp, Bytes("\xAF\x01", 2) + Bytes(size, '\x21'));
}

// --- A player: what the sink was handed, and a sink that fails on cue.

struct Player {
  std::vector<Bytes> sends;
  int failAt = -1;  // the index of the send that fails, -1: none

  static bool send(void* context, const uint8_t* bytes, size_t length) {
    auto* player = static_cast<Player*>(context);
    if (static_cast<int>(player->sends.size()) == player->failAt) return false;
    player->sends.emplace_back(reinterpret_cast<const char*>(bytes), length);
    return true;
  }
  Bytes stream() const {
    Bytes all;
    for (const Bytes& s : sends) all += s;
    return all;
  }
};

struct Writer {
  Owned<TsWriter, tsWriterClose> writer{tsWriterOpen()};
  Player player;

  // Every unit's result.
  std::vector<TsResult> write(const std::vector<Bytes>& units) {
    std::vector<TsResult> results;
    for (const Bytes& unit : units) {
      // An exact-size copy, so that a read past the unit is caught.
      std::vector<uint8_t> exact(unit.begin(), unit.end());
      results.push_back(tsWriteUnit(writer.get(), exact.data(), exact.size(), {Player::send, &player}));
    }
    return results;
  }
  TsResult write(const Bytes& unit) { return write(std::vector<Bytes>{unit})[0]; }
};

constexpr uint64_t at90(int64_t ms) { return static_cast<uint64_t>((ms + kTsDecodeDelayMs) * 90); }

// --- The stream's shape: a channel of two items of other parameter sets and
// length sizes, video 25 frames a second with a keyframe each second, AAC
// every 23 ms, and a stretch of 300 ms without a unit.
TEST(TsWriterTest, ChannelIsWholePacketsFromAKeyframeOnWithClockAndTablesInBounds) {
  Writer w;
  std::vector<Bytes> units = {Bytes(kStreamHeader), unitOf(kFlvScript, 0, "\x02\x00\x0AonMetaData"),
                              aacConfig("\x12\x10"), avcConfig(0, 4, kSps1, kPps1),
                              aacFrame(0, 50),                                      // before the keyframe: dropped
                              avcFrame(0, false, 0, {slice(false, 300, 0)})};       // so is this
  std::vector<uint32_t> videoTimes, audioTimes;
  int lengthSize = 4;
  uint32_t audio = 20;
  for (uint32_t t = 40; t <= 3400; t += 40) {
    if (t > 2000 && t < 2300) continue;  // a gap: neither audio nor video
    if (t == 2400) {  // the join: the next item's configuration, the old one's end first
      units.push_back(unitOf(kFlvVideo, t, Bytes("\x17\x02\0\0\0", 5)));
      units.push_back(avcConfig(t, 2, kSps2, kPps2));
      lengthSize = 2;
    }
    const bool key = (t - 40) % 1000 == 0 || t == 2400;
    // Sizes that end packets at every offset, some frames bigger than a send.
    const size_t size = key ? 9000 : 200 + (t * 7) % 1500;
    units.push_back(avcFrame(t, key, key ? 0 : 80, {Bytes("\x06\x05\x01\x80", 4), slice(key, size, t)}, lengthSize));
    videoTimes.push_back(t);
    for (; audio < t + 40; audio += 23) {
      if (audio > 2000 && audio < 2300) continue;
      units.push_back(aacFrame(audio, 100 + audio % 300));
      audioTimes.push_back(audio);
    }
  }
  for (TsResult r : w.write(units)) ASSERT_EQ(r, TsResult::kOk);

  for (const Bytes& send : w.player.sends) {
    EXPECT_TRUE(send.size() % 188 == 0 && send.size() <= 188 * kTsPacketsPerSend) << send.size();
  }
  const TsDump ts = readTs(w.player.stream());
  ASSERT_EQ(ts.fault, "");

  // PAT, PMT, then the keyframe with the decoder configuration; no unit before it.
  ASSERT_TRUE(ts.opensWithTables());
  EXPECT_EQ(ts.tables[1].pid, 0x1000);
  EXPECT_EQ(ts.tables[1].streams, (std::map<uint16_t, uint8_t>{{kVideoPid, 0x1B}, {kAudioPid, 0x0F}}));
  const auto video = ts.of(kVideoPid), sound = ts.of(kAudioPid);
  ASSERT_EQ(video.size(), videoTimes.size());
  ASSERT_EQ(sound.size(), audioTimes.size());
  EXPECT_EQ(ts.pes[0].packet, 2u);
  EXPECT_EQ(video[0]->es.substr(0, 6 + 2 * 4 + kSps1.size() + kPps1.size()), kAud + kStart + kSps1 + kStart + kPps1);

  // Timestamps: DTS from the tag, PTS with the composition offset.
  for (size_t i = 0; i < video.size(); ++i) {
    const bool key = video[i]->randomAccess;
    EXPECT_EQ(video[i]->dts.value_or(video[i]->pts), at90(videoTimes[i])) << i;
    EXPECT_EQ(video[i]->pts, at90(videoTimes[i] + (key ? 0 : 80))) << i;
    EXPECT_EQ(key, (videoTimes[i] - 40) % 1000 == 0 || videoTimes[i] == 2400) << i;
    // Every keyframe: PAT and PMT right before it, the parameter sets kept at the time.
    if (key) {
      ASSERT_GE(video[i]->packet, 2u);
      bool pat = false, pmt = false;
      for (const Table& t : ts.tables) {
        pat = pat || t.packet == video[i]->packet - 2;
        pmt = pmt || t.packet == video[i]->packet - 1;
      }
      EXPECT_TRUE(pat && pmt) << "keyframe " << i;
      const Bytes sets = videoTimes[i] >= 2400 ? kStart + kSps2 + kStart + kPps2 : kStart + kSps1 + kStart + kPps1;
      EXPECT_EQ(video[i]->es.substr(0, 6 + sets.size()), kAud + sets) << i;
    }
    const Bytes picture = slice(key, key ? 9000 : 200 + (videoTimes[i] * 7) % 1500, videoTimes[i]);
    EXPECT_EQ(video[i]->es.substr(video[i]->es.size() - picture.size() - 12),
              kStart + Bytes("\x06\x05\x01\x80", 4) + kStart + picture) << i;
  }
  for (size_t i = 0; i < sound.size(); ++i) EXPECT_EQ(sound[i]->pts, at90(audioTimes[i])) << i;

  // PCRs: rising, at most 40 ms apart, always behind what is due next.
  ASSERT_FALSE(ts.pcrs.empty());
  EXPECT_EQ(ts.pcrs[0].first, 2u);
  size_t nextPcr = 0;
  uint64_t pcr = 0;
  for (const Pes& pes : ts.pes) {
    while (nextPcr < ts.pcrs.size() && ts.pcrs[nextPcr].first <= pes.packet) pcr = ts.pcrs[nextPcr++].second;
    EXPECT_LE(pcr + 600 * 90, pes.dts.value_or(pes.pts)) << pes.packet;
  }
  // Where the video comes at least every 40 ms its packets carry them;
  // packets of their own (188 bytes each) fill the 300 ms gap alone.
  EXPECT_LE(ts.pcrOnly, 300u / 40);
  for (size_t i = 1; i < ts.pcrs.size(); ++i) {
    EXPECT_GT(ts.pcrs[i].second, ts.pcrs[i - 1].second) << i;
    EXPECT_LE(ts.pcrs[i].second - ts.pcrs[i - 1].second, 40u * 90) << i;
  }
  // The tables at least every 500 ms of stream time: the stream times of the
  // units since the last PAT never span more.
  uint64_t tablesAt = 0;
  size_t nextTable = 0;
  for (const Pes& pes : ts.pes) {
    const size_t before = nextTable;
    while (nextTable < ts.tables.size() && ts.tables[nextTable].packet < pes.packet) ++nextTable;
    const uint64_t t = pes.dts.value_or(pes.pts);
    if (nextTable != before) tablesAt = t;
    EXPECT_LE(static_cast<int64_t>(t - tablesAt), 500 * 90) << pes.packet;
  }
}

// NAL units of 1- to 4-byte lengths become start-code units; the writer's
// own delimiter replaces the frame's; a length that runs past the tag ends
// the frame there, and nothing past the unit is read (the units are
// exact-size heap copies for the sanitizer build).
TEST(TsWriterTest, NalUnitsBecomeStartCodeUnitsAndALyingLengthEndsTheFrame) {
  const Bytes a("\x41\x9A\x02", 3), b("\x01\xBB", 2), eos("\x0A", 1), aud("\x09\x10", 2);
  struct Case {
    const char* name;
    int lengthSize;
    Bytes frame;  // what follows the 5-byte AVC header
    Bytes want;   // what follows the delimiter and the parameter sets
  };
  const std::vector<Case> cases = {
      {"1-byte lengths", 1, "\x03" + a + "\x02" + b, kStart + a + kStart + b},
      {"2-byte lengths", 2, big(3, 2) + a + big(2, 2) + b, kStart + a + kStart + b},
      {"3-byte lengths", 3, big(3, 3) + a + big(2, 3) + b, kStart + a + kStart + b},
      {"4-byte lengths", 4, big(3, 4) + a + big(2, 4) + b, kStart + a + kStart + b},
      {"empty, delimiter and end units dropped", 4,
       big(0, 4) + big(2, 4) + aud + big(3, 4) + a + big(1, 4) + eos, kStart + a},
      {"a length past the end", 4, big(3, 4) + a + big(200, 4) + b, kStart + a},
      {"the largest length", 4, big(3, 4) + a + big(0xFFFFFFFF, 4) + b, kStart + a},
      {"a length cut by the end", 4, big(3, 4) + a + Bytes("\0\0", 2), kStart + a},
      {"a first length past the end", 2, big(4, 2) + a, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Writer w;
    const Bytes key = unitOf(kFlvVideo, 0, Bytes("\x17\x01\0\0\0", 5) + c.frame);
    EXPECT_EQ(w.write({avcConfig(0, c.lengthSize, kSps1, kPps1), key}),
              (std::vector<TsResult>{TsResult::kOk, TsResult::kOk}));
    const TsDump ts = readTs(w.player.stream());
    ASSERT_EQ(ts.fault, "");
    ASSERT_EQ(ts.of(kVideoPid).size(), 1u);
    EXPECT_EQ(ts.of(kVideoPid)[0]->es, kAud + kStart + kSps1 + kStart + kPps1 + c.want);
  }
}

// Each AAC frame behind an ADTS header made from the AudioSpecificConfig
// (for HE-AAC the core's), in a PES of its own at the tag's time.
TEST(TsWriterTest, AacFramesGetAdtsHeadersFromTheAudioSpecificConfig) {
  struct Case {
    const char* name;
    Bytes config;
    size_t frame;
    Bytes adts;  // empty: the configuration is refused
  };
  const std::vector<Case> cases = {
      {"LC 44.1 kHz stereo", "\x12\x10", 100, Bytes("\xFF\xF1\x50\x80\x0D\x7F\xFC", 7)},
      {"LC 48 kHz mono, longest frame", "\x11\x88", 8184, Bytes("\xFF\xF1\x4C\x43\xFF\xFF\xFC", 7)},
      {"main 8 kHz 5.1", "\x0D\xB0", 1, Bytes("\xFF\xF1\x2D\x80\x01\x1F\xFC", 7)},
      {"HE-AAC: 22.05 kHz LC core", Bytes("\x2B\x92\x08\x00", 4), 10, Bytes("\xFF\xF1\x5C\x80\x02\x3F\xFC", 7)},
      {"no channel configuration", Bytes("\x12\x00", 2), 10, ""},
      {"an explicit frequency", Bytes("\x17\x80\x00\x00\x00", 5), 10, ""},
      {"an escaped object type", Bytes("\xF8\x12\x10", 3), 10, ""},
      {"HE-AAC cut short", Bytes("\x2B\x92", 2), 10, ""},
      {"one byte", Bytes("\x12", 1), 10, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Writer w;
    const std::vector<TsResult> results = w.write({aacConfig(c.config), avcConfig(0, 4, kSps1, kPps1),
                                                   avcFrame(0, true, 0, {slice(true, 50, 0)}), aacFrame(1000, c.frame)});
    EXPECT_EQ(results[0], c.adts.empty() ? TsResult::kConfigUnusable : TsResult::kOk);
    const TsDump ts = readTs(w.player.stream());
    ASSERT_EQ(ts.fault, "");
    if (c.adts.empty()) {
      EXPECT_TRUE(ts.of(kAudioPid).empty());
      continue;
    }
    ASSERT_EQ(ts.of(kAudioPid).size(), 1u);
    const Pes& pes = *ts.of(kAudioPid)[0];
    EXPECT_EQ(pes.pts, at90(1000));
    EXPECT_FALSE(pes.dts);
    EXPECT_EQ(pes.es, c.adts + Bytes(c.frame, '\x21'));
  }
  // A frame ADTS cannot measure is dropped, not cut.
  Writer w;
  w.write({aacConfig("\x12\x10"), avcConfig(0, 4, kSps1, kPps1), avcFrame(0, true, 0, {slice(true, 50, 0)})});
  EXPECT_EQ(w.write(aacFrame(40, 8185)), TsResult::kOk);
  EXPECT_TRUE(readTs(w.player.stream()).of(kAudioPid).empty());
}

// What a transport stream cannot carry is reported and writes nothing; a
// join to another audio codec renews the PMT at once; a sink that fails
// ends the stream.
TEST(TsWriterTest, OtherCodecsAreReportedAudioCodecChangesRenewThePmtAndASinkFailureEnds) {
  struct Refusal {
    const char* name;
    Bytes unit;
    TsResult result;
    uint8_t codec;
  };
  const std::vector<Refusal> refusals = {
      {"Sorenson H.263", unitOf(kFlvVideo, 0, Bytes("\x12\x00\x84\x00", 4)), TsResult::kVideoNotCarried, 2},
      {"VP6", unitOf(kFlvVideo, 0, Bytes("\x14\x00\x00", 3)), TsResult::kVideoNotCarried, 4},
      {"an extended video header", unitOf(kFlvVideo, 0, Bytes("\x90hvc1\x00", 6)), TsResult::kVideoNotCarried, 0},
      {"Nellymoser", unitOf(kFlvAudio, 0, Bytes("\x6E\x01\x02", 3)), TsResult::kAudioNotCarried, 6},
      {"PCM", unitOf(kFlvAudio, 0, Bytes("\x3E\x01\x02", 3)), TsResult::kAudioNotCarried, 3},
      {"an SPS longer than the tag", unitOf(kFlvVideo, 0, Bytes("\x17\0\0\0\0\x01\x42\xC0\x1E\xFF\xE1\x00\x40\x67", 14)),
       TsResult::kConfigUnusable, 0},
      {"no PPS", unitOf(kFlvVideo, 0, Bytes("\x17\0\0\0\0\x01\x42\xC0\x1E\xFF\xE1\x00\x01\x67\x00", 15)),
       TsResult::kConfigUnusable, 0},
  };
  for (const Refusal& r : refusals) {
    SCOPED_TRACE(r.name);
    Writer w;
    // Started on an H.264 item, so that the refused unit would otherwise go out.
    w.write({avcConfig(0, 4, kSps1, kPps1), avcFrame(0, true, 0, {slice(true, 50, 0)})});
    const size_t sent = w.player.sends.size();
    EXPECT_EQ(w.write(r.unit), r.result);
    if (r.result != TsResult::kConfigUnusable) {
      EXPECT_EQ(w.writer->refusedCodec, r.codec);
    }
    EXPECT_EQ(w.player.sends.size(), sent);
  }

  // AAC, then a join to MPEG-1 audio, then to its MPEG-2 extension.
  Writer w;
  const Bytes mpeg1 = unitOf(kFlvAudio, 100, Bytes("\x2F\xFF\xFB\x90\x64", 5) + Bytes(200, '\x55'));
  const Bytes mpeg2 = unitOf(kFlvAudio, 200, Bytes("\x2A\xFF\xF3\x90\x64", 5) + Bytes(100, '\x55'));
  for (TsResult r : w.write({aacConfig("\x12\x10"), avcConfig(0, 4, kSps1, kPps1),
                             avcFrame(0, true, 0, {slice(true, 50, 0)}), aacFrame(20, 30), mpeg1, mpeg2})) {
    EXPECT_EQ(r, TsResult::kOk);
  }
  const TsDump ts = readTs(w.player.stream());
  ASSERT_EQ(ts.fault, "");
  const auto sound = ts.of(kAudioPid);
  ASSERT_EQ(sound.size(), 3u);
  EXPECT_EQ(sound[1]->es, mpeg1.substr(16));
  EXPECT_EQ(sound[1]->pts, at90(100));
  std::vector<std::pair<uint8_t, uint8_t>> pmts;  // version, audio stream type
  for (const Table& t : ts.tables) {
    if (t.tableId == 2) pmts.push_back({t.version, t.streams.at(kAudioPid)});
  }
  EXPECT_EQ(pmts, (std::vector<std::pair<uint8_t, uint8_t>>{{0, 0x0F}, {1, 0x03}, {2, 0x04}}));
  // Each new PMT goes out before the first PES of the new codec.
  EXPECT_LT(sound[1]->packet, ts.tables.back().packet);
  EXPECT_LT(ts.tables.back().packet, sound[2]->packet);

  // The player is gone half-way through a frame of several sends.
  Writer gone;
  gone.player.failAt = 1;
  EXPECT_EQ(gone.write({avcConfig(0, 4, kSps1, kPps1), avcFrame(0, true, 0, {slice(true, 20000, 0)}),
                        avcFrame(40, false, 0, {slice(false, 50, 0)})}),
            (std::vector<TsResult>{TsResult::kOk, TsResult::kSinkFailed, TsResult::kSinkFailed}));
  EXPECT_EQ(gone.player.sends.size(), 1u);
}

}  // namespace
