#include "stream/keyframe_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "log/log.h"
#include "net/web_file.h"
#include "support/flv.h"
#include "support/log_capture.h"
#include "timeline/playlist.h"

namespace {

// One element of an AMF0 strict array: a number (marker 00) unless another
// marker is given, in which case the element is a short string.
struct Element {
  double value = 0;
  uint8_t marker = 0x00;
};

using Bytes = std::vector<uint8_t>;

void putName(Bytes& out, const std::string& name) {
  testsupport::putBig(out, name.size(), 2);
  out.insert(out.end(), name.begin(), name.end());
}

void putNumber(Bytes& out, double value) {
  uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  out.push_back(0x00);
  testsupport::putBig(out, bits, 8);
}

void putElement(Bytes& out, const Element& e) {
  if (e.marker == 0x00) return putNumber(out, e.value);
  out.push_back(e.marker);
  putName(out, "x");
}

// A property holding a strict array; `count` is the announced element count.
void putStrictArray(Bytes& out, const std::string& name, const std::vector<Element>& elements,
                    uint32_t count) {
  putName(out, name);
  out.push_back(0x0A);
  testsupport::putBig(out, count, 4);
  for (const Element& e : elements) putElement(out, e);
}

struct IndexLayout {
  std::vector<Element> positions;
  std::vector<Element> times;
  bool timesFirst = false;
  int64_t positionsCount = -1;  // -1: the number of elements
  int64_t timesCount = -1;
};

uint32_t announced(int64_t count, size_t elements) {
  return count < 0 ? static_cast<uint32_t>(elements) : static_cast<uint32_t>(count);
}

// An onMetaData script tag body as an encoder writes it: the string
// "onMetaData", then an ECMA array with a duration and a "keyframes" object
// holding the two strict arrays.
Bytes metaBody(const IndexLayout& layout) {
  Bytes out;
  out.push_back(0x02);
  putName(out, "onMetaData");
  out.push_back(0x08);
  testsupport::putBig(out, 2, 4);
  putName(out, "duration");
  putNumber(out, 60.0);
  putName(out, "keyframes");
  out.push_back(0x03);
  auto positions = [&] {
    putStrictArray(out, "filepositions", layout.positions,
                   announced(layout.positionsCount, layout.positions.size()));
  };
  auto times = [&] {
    putStrictArray(out, "times", layout.times, announced(layout.timesCount, layout.times.size()));
  };
  if (layout.timesFirst) {
    times();
    positions();
  } else {
    positions();
    times();
  }
  const uint8_t objectEnd[] = {0x00, 0x00, 0x09};
  out.insert(out.end(), objectEnd, objectEnd + 3);  // end of "keyframes"
  out.insert(out.end(), objectEnd, objectEnd + 3);  // end of the ECMA array
  return out;
}

std::vector<Element> numbers(std::initializer_list<double> values) {
  std::vector<Element> out;
  for (double v : values) out.push_back({v});
  return out;
}

struct Entry {
  uint32_t position;
  uint32_t time;
  bool operator==(const Entry&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Entry& e) {
  return os << "(" << e.position << ", " << e.time << ")";
}

std::vector<Entry> indexOf(const StreamSession& s) {
  std::vector<Entry> out;
  for (uint32_t i = 0; i < s.keyframeCount; ++i) {
    out.push_back({s.keyframeFilePositions[i], s.keyframeTimes[i]});
  }
  return out;
}

// Hands the decoder a heap copy of `body` with one zero byte behind it, as
// the re-muxer does.
int decode(StreamSession& s, const Bytes& body) {
  Bytes copy(body);
  copy.push_back(0);
  StreamSession* p = &s;
  return decodeFLVMetaPacket(&p, copy.data(), static_cast<uint32_t>(body.size()));
}

class KeyframeLogTest : public ::testing::Test {
 protected:
  testsupport::LogCapture log_{DEBUG};
};

const std::vector<Entry> kExampleIndex = {{13, 0}, {5000, 4}, {9000, 9}};

IndexLayout exampleLayout() {
  return {numbers({13, 5000, 9000}), numbers({0, 4.5, 9.2})};
}

TEST(DecodeFLVMetaPacket, IndexFromBody) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    const char* name;
    IndexLayout layout;
    int result;
    std::vector<Entry> index;
  };
  const Case cases[] = {
      {"example", exampleLayout(), 0, kExampleIndex},
      {"times array first", {numbers({13, 5000, 9000}), numbers({0, 4.5, 9.2}), true}, 0, kExampleIndex},
      {"counts differ", {numbers({13, 5000, 9000}), numbers({0, 4, 8, 12})}, -1, {}},
      {"counts differ, elements agree", {numbers({13, 5000}), numbers({0, 4}), false, 2, 3}, -1, {}},
      {"string as second position", {{{13}, {0, 0x02}, {9000}}, numbers({0, 4, 9})}, 0, {{13, 0}}},
      {"string as third time", {numbers({13, 5000, 9000}), {{0}, {4}, {0, 0x02}}}, 0, {{13, 0}, {5000, 4}}},
      {"boolean as first time", {numbers({13}), {{1, 0x01}}}, 0, {}},
      {"empty arrays", {{}, {}}, 0, {}},
      {"count smaller than elements", {numbers({13, 5000, 9000}), numbers({0, 4, 9}), false, 2, 2},
       0, {{13, 0}, {5000, 4}}},
      {"out-of-range values",
       {numbers({-5, nan, 4294967296.0, 4294967295.9, inf, -inf, 0.99}),
        numbers({nan, -0.5, 1e300, 7.9, -1e300, 3, 1e-9})},
       0,
       {{0, 0}, {0, 0}, {4294967295u, 4294967295u}, {4294967295u, 7}, {4294967295u, 0}, {0, 3}, {0, 0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StreamSession s;
    EXPECT_EQ(decode(s, metaBody(c.layout)), c.result);
    EXPECT_EQ(indexOf(s), c.index);
    if (c.result == 0) {
      // Room for the entries and one more, as the session record promises.
      ASSERT_NE(s.keyframeFilePositions, nullptr);
      ASSERT_NE(s.keyframeTimes, nullptr);
      EXPECT_EQ(s.keyframeFilePositions[s.keyframeCount], 0u);
      EXPECT_EQ(s.keyframeTimes[s.keyframeCount], 0u);
    }
  }
}

TEST(DecodeFLVMetaPacket, MissingArraysOrCountsGiveNoIndex) {
  Bytes full = metaBody(exampleLayout());
  auto patternAt = [&](const char* pattern, size_t size) {
    auto it = std::search(full.begin(), full.end(), pattern, pattern + size);
    return static_cast<size_t>(it - full.begin());
  };
  struct Case {
    const char* name;
    Bytes body;
  };
  Bytes noTimes = full;
  noTimes[patternAt("times\x0A", 6) + 5] = 0x0B;  // another marker after the name
  Bytes noPositions = full;
  noPositions[patternAt("filepositions", 13)] = 'F';
  // Times array at the very end with only three of its four count bytes.
  Bytes cutCount = metaBody({numbers({13}), numbers({0})});
  cutCount.resize(cutCount.size() - 6 - 9 - 1);  // drop both object ends, the element, a count byte
  const Case cases[] = {
      {"no times marker", noTimes},
      {"no positions name", noPositions},
      {"times count cut by the end", cutCount},
      {"empty body", {}},
      {"pattern only", Bytes{'t', 'i', 'm', 'e', 's', 0x0A}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StreamSession s;
    EXPECT_EQ(decode(s, c.body), -1);
    EXPECT_EQ(s.keyframeCount, 0u);
    EXPECT_EQ(s.keyframeFilePositions, nullptr);
    EXPECT_EQ(s.keyframeTimes, nullptr);
  }
}

TEST(DecodeFLVMetaPacket, EachDecodeReplacesThePreviousIndex) {
  StreamSession s;
  ASSERT_EQ(decode(s, metaBody(exampleLayout())), 0);
  ASSERT_EQ(decode(s, metaBody({numbers({77}), numbers({1})})), 0);
  EXPECT_EQ(indexOf(s), (std::vector<Entry>{{77, 1}}));
  EXPECT_EQ(decode(s, Bytes{0x02, 0x00, 0x00}), -1);
  EXPECT_EQ(s.keyframeCount, 0u);
  EXPECT_EQ(s.keyframeFilePositions, nullptr);
}

// Every prefix of a real body, in a block of exactly that size so that a
// read past the end shows up under AddressSanitizer. A decoded entry is
// always one of the full index, in order.
TEST(DecodeFLVMetaPacket, TruncatedBodyNeverReadsPastItsEnd) {
  for (bool timesFirst : {false, true}) {
    IndexLayout layout = exampleLayout();
    layout.timesFirst = timesFirst;
    const Bytes full = metaBody(layout);
    for (size_t n = 0; n <= full.size(); ++n) {
      SCOPED_TRACE(n);
      std::unique_ptr<uint8_t[]> cut(new uint8_t[n == 0 ? 1 : n]);
      if (n != 0) std::memcpy(cut.get(), full.data(), n);
      StreamSession s;
      StreamSession* p = &s;
      int result = decodeFLVMetaPacket(&p, cut.get(), static_cast<uint32_t>(n));
      std::vector<Entry> index = indexOf(s);
      ASSERT_LE(index.size(), kExampleIndex.size());
      EXPECT_EQ(index, std::vector<Entry>(kExampleIndex.begin(), kExampleIndex.begin() + index.size()));
      if (result == -1) {
        EXPECT_TRUE(index.empty());
      }
      if (n == full.size()) {
        EXPECT_EQ(index, kExampleIndex);
      }
    }
  }
}

// A forged count must not make the decoder claim memory the body cannot fill.
TEST(DecodeFLVMetaPacket, HugeEqualCountsDecodeWhatTheBodyHolds) {
  StreamSession s;
  IndexLayout layout = exampleLayout();
  layout.positionsCount = layout.timesCount = 0xFFFFFFFF;
  layout.timesFirst = true;  // positions last: its walk runs into the end of the body
  Bytes body = metaBody(layout);
  body.resize(body.size() - 6);  // no object ends behind the last element
  EXPECT_EQ(decode(s, body), 0);
  EXPECT_EQ(indexOf(s), kExampleIndex);
}

TEST_F(KeyframeLogTest, DecodeLogsOffsetsSizesAndEntries) {
  StreamSession s;
  Bytes body = metaBody(exampleLayout());
  ASSERT_EQ(decode(s, body), 0);
  const std::string all = log_.text();
  // The positions count stands behind the 65 bytes up to its 0A marker, the
  // times count 4 + 3 * 9 + 7 + 1 bytes further on.
  EXPECT_EQ(all,
                "DEBUG: decodeFLVMetaPacket, decode META data\n"
                "DEBUG: decodeFLVMetaPacket, Array filepositions start at : 00000041\n"
                "DEBUG: decodeFLVMetaPacket, Array times start at         : 00000068\n"
                "DEBUG: decodeFLVMetaPacket, Array filepositions size    : 00000003\n"
                "DEBUG: decodeFLVMetaPacket, Array times size            : 00000003\n"
                "DEBUG:  Keyframe: 0, Time: 0.000000, Fileposition: 13.000000\n"
                "DEBUG:  Keyframe: 1, Time: 4.500000, Fileposition: 5000.000000\n"
                "DEBUG:  Keyframe: 2, Time: 9.200000, Fileposition: 9000.000000\n");
}

// A pattern that ends the body is not a match: a count needs bytes behind it.
TEST_F(KeyframeLogTest, DecodeLogsNotFoundAsZeroOffsets) {
  const std::string text14 = std::string("filepositions\x0A", 14) + std::string("times\x0A", 6);
  StreamSession s;
  EXPECT_EQ(decode(s, Bytes(text14.begin(), text14.end())), -1);
  EXPECT_EQ(log_.text(),
            "DEBUG: decodeFLVMetaPacket, decode META data\n"
            "DEBUG: decodeFLVMetaPacket, Array filepositions start at : 0000000E\n"
            "DEBUG: decodeFLVMetaPacket, Array times start at         : 00000000\n");
}

// Fills the session's index from parallel lists of times and positions.
void setIndex(StreamSession& s, const std::vector<uint32_t>& times, const std::vector<uint32_t>& positions) {
  s.keyframeTimes = allocZeroed<uint32_t>(times.size() + 1);
  s.keyframeFilePositions = allocZeroed<uint32_t>(times.size() + 1);
  for (size_t i = 0; i < times.size(); ++i) {
    s.keyframeTimes[i] = times[i];
    s.keyframeFilePositions[i] = positions[i];
  }
  s.keyframeCount = static_cast<uint32_t>(times.size());
}

TEST(FlvTimeToFileposition, NearestKeyframe) {
  struct Case {
    std::vector<uint32_t> times;
    uint32_t wanted;
    uint32_t posBefore;
    int result;
    uint32_t reopenSec;
    uint32_t seekFilePos;
  };
  const uint32_t max = UINT32_MAX;
  const Case cases[] = {
      {{0, 4, 9}, 6, 0, 0, 4, 1004},   // 2 < 3: the earlier one
      {{0, 4, 9}, 7, 0, 0, 9, 1009},   // 3 > 2: the later one
      {{4, 8}, 6, 0, 0, 8, 1008},      // equal distance: the later one
      {{0, 4, 9}, 4, 0, 0, 4, 1004},   // exact match
      {{0, 4, 9}, 9, 0, 0, 9, 1009},   // the last entry
      {{0, 4, 9}, 500, 0, 0, 9, 1009}, // beyond the last entry
      {{0, 10}, 3, 0, 0, 0, 1000},     // nearest is at 0
      {{5, 10}, 2, 0, 0, 2, 0},        // below the first: both unchanged
      {{5, 10}, 2, 777, 0, 2, 777},
      {{7}, 3, 55, 0, 3, 55},          // one entry, below it
      {{7}, 8, 55, 0, 7, 1007},        // one entry, beyond it
      {{0, max}, max - 295, 0, 0, max, 1000 + max},  // differences in unsigned arithmetic
      {{0, 4, 9}, 0, 66, -1, 0, 0},    // no wanted time
      {{}, 30, 66, -1, 0, 0},          // no index
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "wanted " << c.wanted << " over " << c.times.size() << " times");
    StreamSession s;
    std::vector<uint32_t> positions;
    for (uint32_t t : c.times) positions.push_back(1000 + t);
    setIndex(s, c.times, positions);
    s.liveJumpSec = c.wanted;
    s.seekFilePos = c.posBefore;
    StreamSession* p = &s;
    EXPECT_EQ(flvTimeToFileposition(&p), c.result);
    EXPECT_EQ(s.reopenSec, c.reopenSec);
    EXPECT_EQ(s.liveJumpSec, c.result == 0 ? c.wanted : 0u);
    EXPECT_EQ(s.seekFilePos, c.seekFilePos);
  }
}

// A session in the middle of its first video: timeline fetched at
// `fetchTime`, an open (unconnected) source and the given index.
struct SeekSession {
  SeekSession(time_t fetchTime, uint32_t offset, const std::vector<uint32_t>& times) {
    s.timeline.reset(newRecord<Timeline>());
    s.timeline->fetchTime = fetchTime;
    s.timeline->offset = static_cast<int32_t>(offset);
    s.liveJumpSec = offset;
    s.sourceHeaderRead = true;
    s.outTimestamp = 2000;
    s.source.reset(webFileParseUrl("http://127.0.0.1:1/video.flv"));
    std::vector<uint32_t> positions;
    for (uint32_t t : times) positions.push_back(100000 + t);
    setIndex(s, times, positions);
  }
  bool keyframe(uint32_t step, time_t now) {
    StreamSession* p = &s;
    return flvLiveSeek(&p, step, now);
  }
  StreamSession s;
};

TEST(FlvLiveSeek, SecondKeyframeJumpsToTheLivePosition) {
  const time_t fetched = 1700000000;
  struct Case {
    const char* name;
    uint32_t offset;
    std::vector<uint32_t> times;
    time_t now;
    bool seeks;
    uint32_t reopenSec;
  };
  const Case cases[] = {
      {"offset plus 7 elapsed seconds", 600, {0, 600, 604, 607, 614}, fetched + 7, true, 607},
      {"no time elapsed", 600, {0, 600, 604, 607, 614}, fetched, true, 600},
      {"clock went backwards counts as 0", 600, {0, 600, 607}, fetched - 3600, true, 600},
      {"sum past 32 bits saturates", 4000000000u, {0, 600, 4294967000u}, fetched + 400000000, true,
       4294967000u},
      {"nearest keyframe at 0", 3, {0, 10}, fetched, false, 0},
      {"no index", 600, {}, fetched + 7, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SeekSession t(fetched, c.offset, c.times);
    ASSERT_NE(t.s.source, nullptr);
    EXPECT_FALSE(t.keyframe(0, c.now));  // the first keyframe only counts
    EXPECT_EQ(t.s.keyframesSeen, 1u);
    EXPECT_EQ(t.s.liveJumpSec, c.offset);
    EXPECT_EQ(t.keyframe(40, c.now), c.seeks);
    EXPECT_EQ(t.s.reopenSec, c.reopenSec);
    EXPECT_EQ(t.s.liveJumpSec != 0, c.seeks);  // still to come until the keyframe's connection is there
    if (c.seeks) {
      EXPECT_EQ(t.s.seekFilePos, 100000 + c.reopenSec);
      EXPECT_EQ(t.s.source, nullptr);
      EXPECT_FALSE(t.s.sourceHeaderRead);
      EXPECT_EQ(t.s.keyframesSeen, 0u);
      EXPECT_TRUE(t.s.patchPrevTagSize);
      EXPECT_TRUE(t.s.seekPending);
      EXPECT_EQ(t.s.outTimestamp, 1960u);  // the dropped tag's step taken back
    } else {
      EXPECT_NE(t.s.source, nullptr);
      EXPECT_FALSE(t.s.seekPending);
      EXPECT_FALSE(t.s.patchPrevTagSize);
      EXPECT_EQ(t.s.outTimestamp, 2000u);
      // Given up: further keyframes are not counted.
      EXPECT_FALSE(t.keyframe(40, c.now));
      EXPECT_EQ(t.s.keyframesSeen, 2u);
    }
  }
}

TEST(FlvLiveSeek, WantedTimeBelowTheIndexSeeksToPositionZero) {
  SeekSession t(100, 2, {5, 10});
  EXPECT_FALSE(t.keyframe(0, 100));
  EXPECT_TRUE(t.keyframe(40, 100));
  EXPECT_EQ(t.s.reopenSec, 2u);
  EXPECT_EQ(t.s.seekFilePos, 0u);
  EXPECT_TRUE(t.s.seekPending);
}

TEST(FlvLiveSeek, OutTimestampWrapsLikeTheRemuxersSum) {
  SeekSession t(100, 600, {0, 600});
  t.s.outTimestamp = 10;
  EXPECT_FALSE(t.keyframe(0, 100));
  EXPECT_TRUE(t.keyframe(40, 100));
  EXPECT_EQ(t.s.outTimestamp, UINT32_MAX - 29);
}

TEST(FlvLiveSeek, WithoutTimelineNoSecondsAreAdded) {
  SeekSession t(100, 600, {0, 600, 607});
  t.s.timeline.reset();
  EXPECT_FALSE(t.keyframe(0, 107));
  EXPECT_TRUE(t.keyframe(40, 107));
  EXPECT_EQ(t.s.reopenSec, 600u);
}

TEST_F(KeyframeLogTest, SeekLogsTimeAndPosition) {
  SeekSession t(100, 600, {0, 600, 607});
  EXPECT_FALSE(t.keyframe(0, 107));
  EXPECT_TRUE(t.keyframe(40, 107));
  EXPECT_EQ(log_.text(), "DEBUG: \nSeek video Time = 607 sec. File position = 100607 \n\n");
}

}  // namespace
