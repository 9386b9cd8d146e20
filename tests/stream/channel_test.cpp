#include "stream/channel.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "support/flv.h"
#include "support/log_capture.h"

// A channel driven without its feeder: the test holds the units a re-muxer
// would make and reads them as the channel's players.

namespace {

using testsupport::kFlvAudio;
using testsupport::kFlvScript;
using testsupport::kFlvVideo;

const std::string kHeader(testsupport::kStreamHeader);
constexpr uint32_t kStepMs = 40;  // between pictures; each picture has two sounds, 20 ms apart

struct Held {
  uint8_t type;
  uint32_t ms;
  std::string body;
  std::string bytes;  // the block, with the re-muxer's PreviousTagSize chain, and the body
};

// Bytes that differ with their position and their unit, so that a body cut,
// shifted or mixed with another in the store shows.
std::string patterned(std::string head, uint32_t size, size_t unit) {
  std::string body = std::move(head);
  for (size_t i = body.size(); i < size; ++i) body.push_back(static_cast<char>((i * 131 + (i >> 8) * 7 + unit * 29) & 0xFF));
  return body;
}

// The units of a channel's re-muxer, held in the channel one by one.
class Feed {
 public:
  explicit Feed(ChannelSession* channel) : channel_(channel) {}

  size_t hold(uint8_t type, uint32_t ms, std::string body) {
    testsupport::FlvTag tag;
    tag.prevTagSize = lastTagSize_;
    tag.type = type;
    tag.dataSize = static_cast<uint32_t>(body.size());
    tag.timestamp = ms;
    std::string bytes = testsupport::blockBytes(tag) + body;
    lastTagSize_ = tag.size();
    channelHold(channel_, reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<uint32_t>(bytes.size()));
    units.push_back({type, ms, std::move(body), std::move(bytes)});
    if (afterHold) afterHold();
    return units.size() - 1;
  }
  size_t metadata() { return hold(kFlvScript, 0, std::string("\x02\x00\x0aonMetaData\x08\x00\x00\x00\x00\x00\x00\x09", 21)); }
  size_t avcSetUp(char version) {
    return hold(kFlvVideo, ms, std::string("\x17\x00\x00\x00\x00\x01\x64\x00\x1f", 9) + version);
  }
  size_t aacSetUp() { return hold(kFlvAudio, ms, std::string("\xAF\x00\x12\x10", 4)); }
  size_t sound(uint32_t at, uint32_t size) { return hold(kFlvAudio, at, patterned("\xAF\x01", size, units.size())); }

  // `count` pictures from `ms` on, a keyframe first and every tenth, each
  // with its two sounds.
  void pictures(int count, uint32_t keySize, uint32_t pictureSize, uint32_t soundSize) {
    for (int i = 0; i < count; ++i, ms += kStepMs) {
      const bool key = i % 10 == 0;
      const std::string head = key ? std::string("\x17\x01\x00\x00\x00", 5) : std::string("\x27\x01\x00\x00\x00", 5);
      const size_t at = hold(kFlvVideo, ms, patterned(head, key ? keySize : pictureSize, units.size()));
      if (key) newestKey = at;
      sound(ms, soundSize);
      sound(ms + kStepMs / 2, soundSize);
    }
  }

  std::string allBytes() const {
    std::string all = kHeader;
    for (const Held& unit : units) all += unit.bytes;
    return all;
  }

  std::vector<Held> units;
  uint32_t ms = 0;        // the next picture's timestamp
  size_t newestKey = 0;
  std::function<void()> afterHold;

 private:
  ChannelSession* channel_;
  uint32_t lastTagSize_ = 0;
};

struct Player {
  // Enters `channel`: from now on what it has still to read is kept for it.
  Player(ChannelSession* channel, bool fromStart) : channel_(channel) {
    place.fromStart = fromStart;
    EXPECT_TRUE(channelEnter(channel, &place));
  }
  ~Player() { channelLeave(channel_, &place); }

  // Reads what the channel has for the player (at most `most` units), not
  // waiting; the units read.
  size_t read(ChannelSession* channel, size_t most = SIZE_MAX) {
    size_t count = 0;
    while (count < most && (last = channelRead(channel, &place, monotonicMs())) > 0) {
      got.append(reinterpret_cast<const char*>(place.unit.get()), static_cast<size_t>(last));
      ++count;
    }
    return count;
  }

  ChannelPlace place;
  std::string got;
  int32_t last = 0;

 private:
  ChannelSession* channel_;
};

// A tag as a player should get it.
struct Want {
  uint8_t type;
  uint32_t ms;
  std::string body;
};

// The units [first, end) with audio and video `shift` ms earlier.
std::vector<Want> shifted(const Feed& feed, size_t first, size_t end, uint32_t shift) {
  std::vector<Want> out;
  for (size_t i = first; i < end; ++i) {
    const Held& unit = feed.units[i];
    out.push_back({unit.type, unit.type == kFlvScript ? unit.ms : unit.ms - shift, unit.body});
  }
  return out;
}

void append(std::vector<Want>& to, const std::vector<Want>& more) { to.insert(to.end(), more.begin(), more.end()); }

// `got` is a channel stream (its own header and PreviousTagSize chain,
// timestamps never going back) of exactly these tags.
void expectStream(const std::string& got, const std::vector<Want>& want) {
  EXPECT_EQ(testsupport::FlvShape().checkStream(got), "");
  const testsupport::FlvStream stream = testsupport::parseFlv(got);
  EXPECT_EQ(stream.header, kHeader);
  EXPECT_EQ(stream.trailing, "");
  ASSERT_EQ(stream.tags.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    const testsupport::FlvTag& tag = stream.tags[i];
    EXPECT_EQ(tag.type, want[i].type) << testsupport::describe(tag, i);
    EXPECT_EQ(tag.timestamp, want[i].ms) << testsupport::describe(tag, i);
    EXPECT_TRUE(tag.body == want[i].body) << testsupport::describe(tag, i);
  }
}

class ChannelTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(channel_, nullptr); }
  void TearDown() override { channelClose(channel_); }

  uint32_t heldBytes() const {
    if (channel_->firstSeq == channel_->endSeq) return 0;
    return channel_->endAt - channel_->units[channel_->firstSeq % kHeldUnits].at;
  }
  // What a joiner gets first: the kept metadata and the set-ups at its 0.
  std::vector<Want> joinerSetUps(size_t metadata, size_t video, size_t audio) const {
    const std::vector<Held>& units = feed_.units;
    return {{kFlvScript, units[metadata].ms, units[metadata].body},
            {kFlvVideo, 0, units[video].body},
            {kFlvAudio, 0, units[audio].body}};
  }
  void end() {
    pthread_mutex_lock(&channel_->lock);
    channel_->over = true;
    pthread_mutex_unlock(&channel_->lock);
  }

  testsupport::LogCapture log_{INFO};
  ChannelSession* channel_ = channelOpen(7);
  Feed feed_{channel_};
};

TEST_F(ChannelTest, TheOpenerGetsTheUnitsAsHeldAndJoinersStartAtTheNewestKeyframe) {
  Player opener(channel_, true), early(channel_, false);
  EXPECT_EQ(early.read(channel_), 0u);  // nothing held: not even the header
  const size_t metadata = feed_.metadata();
  const size_t avc1 = feed_.avcSetUp(1);
  const size_t aac = feed_.aacSetUp();
  for (uint32_t at = 0; at < 200; at += 20) feed_.sound(at, 100);
  EXPECT_EQ(early.read(channel_), 1u);  // no keyframe yet: the header alone
  EXPECT_EQ(early.got, kHeader);

  feed_.ms = 200;
  const size_t key1 = feed_.units.size();
  feed_.pictures(10, 3000, 700, 100);
  early.read(channel_);
  const size_t key2 = feed_.units.size();
  feed_.pictures(10, 3000, 700, 100);
  Player late(channel_, false);
  late.read(channel_);

  Player interrupted(channel_, false);  // has its header and the metadata when the new set-up comes
  EXPECT_EQ(interrupted.read(channel_, 2), 2u);

  // A new set-up after the newest keyframe: that keyframe's pictures are
  // not for it, so a joiner waits for the next one.
  const size_t avc2 = feed_.avcSetUp(2);
  Player waiting(channel_, false);
  EXPECT_EQ(waiting.read(channel_), 1u);
  EXPECT_EQ(waiting.got, kHeader);
  const size_t key3 = feed_.units.size();
  feed_.pictures(5, 3000, 700, 100);
  const size_t end = feed_.units.size();
  for (Player* player : {&opener, &early, &late, &waiting}) player->read(channel_);
  EXPECT_FALSE(log_.contains("fell behind"));
  interrupted.read(channel_);

  EXPECT_TRUE(opener.got == feed_.allBytes());
  std::vector<Want> want = joinerSetUps(metadata, avc1, aac);
  append(want, shifted(feed_, key1, end, 200));
  expectStream(early.got, want);
  want = joinerSetUps(metadata, avc1, aac);
  append(want, shifted(feed_, key2, end, 600));  // the new set-up among them, on the joiner's clock
  expectStream(late.got, want);
  want = joinerSetUps(metadata, avc2, aac);
  append(want, shifted(feed_, key3, end, 1000));
  expectStream(waiting.got, want);
  // The set-ups it was due went with the keyframe they were for: it goes on
  // at the next one, a picture's step on.
  want = joinerSetUps(metadata, avc2, aac);
  append(want, shifted(feed_, key3, end, 1000 - kStepMs));
  expectStream(interrupted.got, want);
}

// Left behind first by the count of units (small ones, more than
// kHeldUnits), then by the byte cap (keyframes of 200 KiB), while another
// player, reading after every 64 units, gets each of them across the
// store's growth and wrap-around.
TEST_F(ChannelTest, APlayerLeftBehindGoesOnAtTheNewestKeyframeWithItsClockRising) {
  Player slow(channel_, true), steady(channel_, true);
  feed_.afterHold = [&] {
    if (feed_.units.size() % 64 == 0) steady.read(channel_);
    EXPECT_LE(heldBytes(), kHeldBytesMost);
    EXPECT_LE(channel_->capacity, kHeldBytesMost);
  };
  feed_.metadata();
  const size_t avc = feed_.avcSetUp(1);
  const size_t aac = feed_.aacSetUp();
  feed_.pictures(3, 2000, 500, 100);
  slow.read(channel_);
  std::vector<Want> want = shifted(feed_, 0, feed_.units.size(), 0);
  uint32_t base = 0;  // the channel's timestamp that is the slow player's 0

  // The slow player misses `count` pictures, then reads on: the set-ups
  // again at its last time, then the newest keyframe a picture's step on.
  const auto leftBehind = [&](int count, uint32_t keySize, uint32_t pictureSize) {
    const uint32_t lastVideo = feed_.ms - kStepMs - base;
    feed_.pictures(count, keySize, pictureSize, 100);
    const size_t key = feed_.newestKey;
    const uint32_t skipped = feed_.units[key].ms - base - lastVideo;
    base = feed_.units[key].ms - (lastVideo + kStepMs);
    slow.read(channel_);
    append(want, {{kFlvVideo, lastVideo, feed_.units[avc].body},
                  {kFlvAudio, lastVideo + kStepMs / 2, feed_.units[aac].body}});
    append(want, shifted(feed_, key, feed_.units.size(), base));
    EXPECT_TRUE(log_.contains("a player of channel 7 fell behind what the channel holds: it goes on at the newest keyframe, " +
                              std::to_string(skipped) + " ms skipped"));
  };
  leftBehind(1500, 2000, 500);  // 4500 units
  EXPECT_LT(heldBytes(), kHeldBytesMost / 2);
  EXPECT_EQ(channel_->endSeq - channel_->firstSeq, kHeldUnits);
  leftBehind(400, 200 << 10, 20 << 10);             // 16 s
  EXPECT_EQ(channel_->capacity, kHeldBytesMost);   // grown to the cap
  EXPECT_GT(channel_->endAt, 3 * kHeldBytesMost);  // and gone round it
  expectStream(slow.got, want);

  steady.read(channel_);
  EXPECT_TRUE(steady.got == feed_.allBytes()) << steady.got.size() << " bytes read of " << feed_.allBytes().size();
}

TEST_F(ChannelTest, ReadsEndOnceTheChannelIsOverAndWhatItHeldIsRead) {
  Player opener(channel_, true);  // the one that opened it enters before anything is held
  feed_.metadata();
  feed_.avcSetUp(1);
  feed_.aacSetUp();
  feed_.sound(0, 100);
  Player joiner(channel_, false);
  EXPECT_EQ(joiner.read(channel_), 1u);  // the header, then no keyframe to start at
  EXPECT_EQ(joiner.last, 0);

  // The opener, waiting on the channel, gets each unit and then its end.
  std::thread reader([&] {
    while ((opener.last = channelRead(channel_, &opener.place, monotonicMs() + 60000)) > 0) {
      opener.got.append(reinterpret_cast<const char*>(opener.place.unit.get()), static_cast<size_t>(opener.last));
    }
  });
  const size_t key = feed_.units.size();
  feed_.pictures(3, 500, 200, 100);
  end();
  reader.join();
  EXPECT_EQ(opener.last, -1);
  EXPECT_TRUE(opener.got == feed_.allBytes());
  EXPECT_EQ(channelRead(channel_, &opener.place, monotonicMs() + 60000), -1);

  joiner.read(channel_);
  EXPECT_EQ(joiner.last, -1);
  std::vector<Want> want = joinerSetUps(0, 1, 2);
  append(want, shifted(feed_, key, feed_.units.size(), 0));
  expectStream(joiner.got, want);
}

}  // namespace
