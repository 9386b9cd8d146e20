// The jump to the live position against a real nginx as the video service:
// the first video from its beginning up to its second keyframe, then the
// same video re-opened with "?start=" at the keyframe nearest the timeline's
// offset, then the rest of the channel, seamless for a real player; over
// http and https.

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <map>
#include <sstream>
#include <thread>

#include "stream/pace.h"

#include "e2e/e2e_fixture.h"
#include "support/flv.h"
#include "support/process.h"
#include "support/stream_check.h"
#include "support/tcp_client.h"
#include "support/test_ca.h"

using namespace testsupport;

namespace {

constexpr int kOffset = 14;  // seconds into the first video; keyframes every 2 s

class LiveSeekTest : public E2eTest<LiveSeekTest> {
 public:
  static std::map<std::string, SampleRecipe> recipes() {
    return {
        {"long", {SampleCodec::H264Aac, 20, 2, "testsrc", 440}},
        {"next", {SampleCodec::H264Aac, 4, 2, "testsrc2", 660}},
        // One second of a file with a keyframe every two: it ends before its second keyframe.
        {"short", {SampleCodec::SorensonMp3, 1, 2, "smptebars", 550}},
        // The programme of a timeline that moves with the clock; each one's
        // onMetaData (its duration) tells it apart in the stream.
        {"m8", {SampleCodec::H264Aac, 8, 2, "testsrc", 440}},
        {"m9", {SampleCodec::H264Aac, 9, 2, "testsrc2", 660}},
        {"m10", {SampleCodec::H264Aac, 10, 2, "rgbtestsrc", 880}},
        {"m12", {SampleCodec::H264Aac, 12, 2, "smptebars", 550}},
    };
  }

 protected:
  // Serves `sample` under `path` as well (each case its own path, so that
  // its "?start=" requests can be counted apart).
  std::string serve(const std::string& path, const std::string& sample) {
    EXPECT_TRUE(nginx_->copyFile(path, samples_.at(sample).path));
    return nginx_->url(path);
  }

  // The byte position of the "?start=" request for `path`, once nginx has
  // logged it (it logs a request when it ends); -1 when there is none.
  long startPosition(const std::string& path) {
    const std::string request = path + "?start=";
    for (int i = 0; i < 200 && nginx_->countRequests(request) == 0; ++i) usleep(50000);
    const std::string log = nginx_->accessLog();
    size_t at = log.find(request);
    return at == std::string::npos ? -1 : std::atol(log.c_str() + at + request.size());
  }

  // Reads channel `channel` and judges it: the samples `before` whole, then
  // the long video served at `path` from its beginning up to its second
  // keyframe, re-opened once with "?start=" (and then by range, when
  // `byRange`) at the keyframe at 14 s, then the next video, then the fresh
  // timeline's first videos.
  void expectOneJump(int channel, const std::string& path, const std::vector<std::string>& before, bool byRange);
};

// Index of the n-th (from 1) tag with the keyframe flag; in an H.264 file the
// first is the decoder set-up, the second the first picture.
size_t nthKeyframe(const FlvStream& flv, int n) {
  for (size_t i = 0; i < flv.tags.size(); ++i) {
    if (flv.tags[i].type == kFlvVideo && flv.tags[i].keyframe() && --n == 0) return i;
  }
  return flv.tags.size();
}

// Index of the video keyframe at `timestamp` ms.
size_t keyframeAt(const FlvStream& flv, uint32_t timestamp) {
  for (size_t i = 0; i < flv.tags.size(); ++i) {
    const FlvTag& tag = flv.tags[i];
    if (tag.type == kFlvVideo && tag.keyframe() && tag.timestamp == timestamp) return i;
  }
  return flv.tags.size();
}

// Index of the tag whose header stands at byte `position` of the file.
size_t tagAt(const FlvStream& flv, long position) {
  for (size_t i = 0; i < flv.tags.size(); ++i) {
    if (static_cast<long>(flv.tags[i].offset) + 4 == position) return i;
  }
  return flv.tags.size();
}

struct SeekCase {
  const char* name;
  std::vector<std::string> before;  // samples played whole before the one that seeks
  const char* host;                 // where the video is asked for: /v/ knows "?start=", /plain/ only ranges
};

TEST_F(LiveSeekTest, ChannelJumpsOnceToTheKeyframeNearestTheOffset) {
  const SeekCase cases[] = {
      {"first video seeks", {}, "/v/"},
      // The first video ends before its second keyframe: the wanted time
      // carries over and the next video seeks with its own index.
      {"first video too short", {"short"}, "/v/"},
      // A plain web server answers "?start=" with the whole file: the same
      // bytes come by range.
      {"host without start", {}, "/plain/"},
  };
  nginx_->addConfig("location /plain/ { alias " + nginx_->root() + "/v/; }");
  int channel = 30;
  std::vector<std::string> paths;
  for (const auto& c : cases) {
    std::vector<TimelineItem> items;
    int pliid = 0;
    for (const auto& name : c.before) items.push_back({videoUrl(name), ++pliid});
    const std::string file = "long" + std::to_string(++channel) + ".flv";
    paths.push_back(c.host + file);
    items.push_back({serve("/v/" + file, "long"), ++pliid});
    items.back().url = nginx_->url(paths.back());
    items.push_back({videoUrl("next"), ++pliid});
    ASSERT_TRUE(putChannel(channel, items, kOffset));
  }
  ASSERT_NO_FATAL_FAILURE(startService());

  channel = 30;
  for (size_t k = 0; k < std::size(cases); ++k) {
    SCOPED_TRACE(cases[k].name);
    expectOneJump(++channel, paths[k], cases[k].before, cases[k].host == std::string("/plain/"));
  }
}

// The same with the timeline and the videos over https, the jump's
// "?start=" request too: this nginx speaks TLS alone, so that every request
// in its log came through it.
TEST_F(LiveSeekTest, ChannelJumpsToTheLivePositionOverHttps) {
  TestCa ca;
  ASSERT_TRUE(ca.ok()) << ca.error();
  const auto cert = ca.issue("IP:127.0.0.1");
  ASSERT_TRUE(cert) << ca.error();
  nginx_->enableTls(cert->certFile, cert->keyFile);
  ASSERT_TRUE(putChannel(60, {{videoUrl("long"), 1}, {videoUrl("next"), 2}}, kOffset));
  ASSERT_NO_FATAL_FAILURE(startService({"--ca-file", ca.certFile()}));
  expectOneJump(60, "/v/long.flv", {}, false);
}

void LiveSeekTest::expectOneJump(int channel, const std::string& path, const std::vector<std::string>& before,
                                 bool byRange) {
  const FlvStream& longFlv = samples_.at("long").flv;
  const size_t secondKeyframe = nthKeyframe(longFlv, 2);
  const size_t landingAt14 = keyframeAt(longFlv, 14000);
  const size_t landingAt16 = keyframeAt(longFlv, 16000);
  ASSERT_LT(secondKeyframe, longFlv.tags.size());
  ASSERT_LT(landingAt14, longFlv.tags.size());
  ASSERT_LT(landingAt16, longFlv.tags.size());
  // The stream: what comes before, the start of the long video up to its
  // second keyframe, the jump, the next video, the fresh timeline's videos.
  auto plan = [&](size_t landing) {
    std::vector<Played> plays;
    for (const auto& name : before) plays.push_back({&samples_.at(name).flv, 0, 0});
    plays.push_back({&longFlv, 0, secondKeyframe});
    plays.push_back({&longFlv, landing, 0});
    plays.push_back({&samples_.at("next").flv, 0, 0});
    for (const auto& name : before) plays.push_back({&samples_.at(name).flv, 0, 0});
    plays.push_back({&longFlv, 0, secondKeyframe});  // the stream keeps pace with the clock: no more than needed
    return plays;
  };
  // Enough for the earlier landing, which leaves more of the video to play.
  const size_t bytes = streamBytes(plan(landingAt14));
  std::string answer;
  std::string stream = readStream(proxy_->port(), "/tv?id=" + std::to_string(channel), bytes, 60s, &answer);
  EXPECT_EQ(answer, kAnswer200);
  EXPECT_EQ(stream.size(), bytes);

  const long position = startPosition(path);
  EXPECT_EQ(nginx_->countRequests(path + "?start="), 1);
  EXPECT_EQ(nginx_->countRequests(path + " HTTP/1.0 206"), byRange ? 1 : 0);
  const size_t landing = tagAt(longFlv, position);
  ASSERT_LT(landing, longFlv.tags.size()) << "?start=" << position << " is not a tag";
  // 14 s, or 16 s when a second passed between the timeline download and the jump.
  EXPECT_TRUE(landing == landingAt14 || landing == landingAt16) << describe(longFlv.tags[landing], landing);
  EXPECT_EQ(streamMismatch(stream, plan(landing)), "");
  EXPECT_NE(proxy_->log().find("Seek video Time = " + std::to_string(longFlv.tags[landing].timestamp / 1000) +
                               " sec. File position = " + std::to_string(position) + " "),
            std::string::npos);
}

TEST_F(LiveSeekTest, FfmpegPlaysAcrossTheJumpWithoutResync) {
  ASSERT_TRUE(putChannel(40, {{videoUrl("long"), 1}, {videoUrl("next"), 2}}, kOffset));
  ASSERT_NO_FATAL_FAILURE(startService());
  std::string output;
  std::string url = "http://127.0.0.1:" + std::to_string(proxy_->port()) + "/tv?id=40";
  // 200 frames (8 s): the 4 or 6 s after the jump, the join to the next video and into it.
  auto status = runProgram({"ffmpeg", "-nostdin", "-hide_banner", "-i", url, "-map", "0:v",
                            "-frames:v", "200", "-f", "null", "-"},
                           120s, &output);
  ASSERT_TRUE(status.has_value()) << "ffmpeg did not finish: " << output;
  EXPECT_TRUE(status->exited && status->code == 0) << describe(status) << output;
  EXPECT_EQ(output.find("Packet mismatch"), std::string::npos) << output;
  EXPECT_NE(output.find("frame=  200 "), std::string::npos) << output;
  EXPECT_EQ(nginx_->countRequests("/v/long.flv?start="), 1);

  // The MPEG-TS form of the same programme: its first picture is the live
  // keyframe (decoded as the source's picture at 14 s, or 16 s when a
  // second passed), and ffmpeg decodes on across the jump and the join,
  // with rising times and not a word at the error level.
  ASSERT_TRUE(putChannel(41, {{serve("/v/ts41.flv", "long"), 1}, {videoUrl("next"), 2}}, kOffset));
  // The pictures' hashes and times as ffmpeg decodes them from `input`; any other line is a complaint.
  auto decode = [](const std::vector<std::string>& input, const char* frames) {
    std::vector<std::string> argv = {"ffmpeg", "-nostdin", "-v", "error"};
    argv.insert(argv.end(), input.begin(), input.end());
    for (const char* word : {"-map", "0:v", "-frames:v", frames, "-fps_mode", "passthrough", "-f", "framemd5", "-"}) {
      argv.push_back(word);
    }
    std::string text;
    auto done = runProgram(argv, 120s, &text);
    EXPECT_TRUE(done && done->exited && done->code == 0) << describe(done) << text;
    std::vector<std::pair<long long, std::string>> pictures;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
      long long pts = 0;
      char hash[33] = "";
      if (line.empty() || line[0] == '#') continue;
      EXPECT_EQ(std::sscanf(line.c_str(), "0, %*d, %lld, %*d, %*d, %32s", &pts, hash), 2) << line;
      pictures.emplace_back(pts, hash);
    }
    return pictures;
  };
  const std::string source = samples_.at("long").path;
  const auto at14 = decode({"-ss", "14", "-i", source}, "1");
  const auto at16 = decode({"-ss", "16", "-i", source}, "1");
  const auto ts = decode({"-i", "http://127.0.0.1:" + std::to_string(proxy_->port()) + "/?id=41&format=ts"}, "200");
  ASSERT_EQ(ts.size(), 200u);
  ASSERT_TRUE(!at14.empty() && !at16.empty());
  EXPECT_TRUE(ts[0].second == at14[0].second || ts[0].second == at16[0].second) << ts[0].second;
  for (size_t k = 1; k < ts.size(); ++k) EXPECT_GT(ts[k].first, ts[k - 1].first) << "picture " << k;
  EXPECT_EQ(nginx_->countRequests("/v/ts41.flv?start="), 1);
}

// The service's timeline moves with the clock: its first entry is the item
// live now, with the offset into it, then the next two. Items follow one
// another in a fixed cycle, each with its own pliid; a cycle longer than the
// list shows a stream that went back to an item it had sent.
class MovingTimeline {
 public:
  using Clock = std::chrono::steady_clock;
  struct Item {
    std::string name;  // sample
    int seconds;
  };

  // Rewritten every half second from `start` on (item 0 began then).
  MovingTimeline(Nginx& nginx, int channel, std::vector<Item> cycle, Clock::time_point start)
      : nginx_(nginx), channel_(channel), cycle_(std::move(cycle)), start_(start) {
    write();
    writer_ = std::thread([this] {
      while (!done_.load()) {
        std::this_thread::sleep_for(500ms);
        write();
      }
    });
  }
  ~MovingTimeline() {
    done_.store(true);
    writer_.join();
  }

  const Item& item(int k) const { return cycle_[static_cast<size_t>(k) % cycle_.size()]; }

 private:
  void write() {
    const double now = std::chrono::duration<double>(Clock::now() - start_).count();
    int k = 0;
    double begins = 0;
    while (begins + item(k).seconds <= now) begins += item(k++).seconds;
    std::vector<TimelineItem> items;
    for (int i = k; i < k + 3; ++i) items.push_back({nginx_.url("/v/" + item(i).name + ".flv"), 1000 + i});
    (void)nginx_.putTimeline(channel_, timelineDocument(items, static_cast<int>(now - begins), Decoys::Around));
  }

  Nginx& nginx_;
  int channel_;
  std::vector<Item> cycle_;
  Clock::time_point start_;
  std::atomic<bool> done_{false};
  std::thread writer_;
};

// What a player got of a channel: the sample of each source in order (a
// source begins with its onMetaData), and how far the stream ran ahead of
// the clock: the gain of its timestamps over the time since its first picture
// at the live position (behind the timestamp gap of the jump, if one came).
struct Reading {
  std::vector<std::string> items;
  double maxAheadSeconds = 0;
};

// Reads the channel for `seconds`: as fast as it comes, or (realTime) no
// further than a second beyond what the clock has played since the first picture.
Reading readChannel(uint16_t port, int channel, const std::map<std::string, Sample>& samples, double seconds,
                    bool realTime) {
  using Clock = std::chrono::steady_clock;
  TcpClient player;
  Reading reading;
  if (!player.connect(port) || !player.send("GET /tv?id=" + std::to_string(channel) + " HTTP/1.0\r\n\r\n")) {
    return reading;
  }
  const Clock::time_point begin = Clock::now();
  std::string received;  // the answer and the file header, then the blocks not looked at yet
  std::optional<std::pair<Clock::time_point, uint32_t>> first;  // the first picture: when, its timestamp
  uint32_t latest = 0;
  bool jumped = false;
  while (Clock::now() - begin < std::chrono::duration<double>(seconds)) {
    const double played = first ? std::chrono::duration<double>(Clock::now() - first->first).count() : 0;
    if (realTime && first && (latest - first->second) / 1000.0 > played + 1) {
      std::this_thread::sleep_for(50ms);
      continue;
    }
    if (player.read(received, 65536, 100ms) == 0 && player.peerClosed()) break;
    const size_t start = kAnswer200.size() + kStreamHeader.size();
    if (received.size() < start) continue;
    const FlvStream flv = parseFlv(std::string(kStreamHeader) + received.substr(start));
    for (const FlvTag& tag : flv.tags) {
      if (tag.type == kFlvScript) {
        std::string name = "?";
        for (const auto& [sample, content] : samples) {
          if (!content.flv.tags.empty() && content.flv.tags[0].body == tag.body) name = sample;
        }
        reading.items.push_back(name);
      }
      if (tag.type != kFlvVideo) continue;
      if (!first || (!jumped && reading.items.size() == 1 && tag.timestamp - latest > 1000)) {
        jumped = first.has_value();
        first.emplace(Clock::now(), tag.timestamp);
      }
      latest = tag.timestamp;
      const double ahead = (latest - first->second) / 1000.0 -
                           std::chrono::duration<double>(Clock::now() - first->first).count();
      reading.maxAheadSeconds = std::max(reading.maxAheadSeconds, ahead);
    }
    if (!flv.tags.empty()) {
      const FlvTag& last = flv.tags.back();
      received.erase(start, last.offset + 4 + last.size() - kStreamHeader.size());
    }
  }
  return reading;
}

// The first dozen names, and how many there were.
std::string joined(const std::vector<std::string>& names) {
  std::string text;
  for (size_t k = 0; k < names.size() && k < 12; ++k) text += (k == 0 ? "" : " ") + names[k];
  return text + (names.size() > 12 ? " ... (" + std::to_string(names.size()) + " items)" : "");
}

// Items shorter than the lead: each one once, in the order of the
// programme, the first from the live position, for a reader that takes all
// it can (a recorder) and for one that plays in real time (a TV set); and
// the stream never far ahead of the clock.
TEST_F(LiveSeekTest, MovingTimelineIsPlayedOnceInOrderAtThePaceOfTheClock) {
  ASSERT_NO_FATAL_FAILURE(startService());
  const struct {
    const char* reader;
    bool realTime;
    double seconds;  // long enough for the first item, the two behind it and the next list's first
  } readers[] = {{"greedy", false, 18}, {"real time", true, 25}};
  int channel = 50;
  for (const auto& r : readers) {
    SCOPED_TRACE(r.reader);
    // The live position is 5 s into the first item, m8.
    MovingTimeline timeline(*nginx_, ++channel, {{"m8", 8}, {"m9", 9}, {"m10", 10}, {"m12", 12}},
                            MovingTimeline::Clock::now() - 5s);
    const int jumps = nginx_->countRequests("/v/m8.flv?start=");
    const Reading reading = readChannel(proxy_->port(), channel, samples_, r.seconds, r.realTime);
    std::cout << r.reader << " reader got: " << joined(reading.items) << "; ahead of the clock at most "
              << reading.maxAheadSeconds << " s\n";
    ASSERT_GE(reading.items.size(), 4u) << joined(reading.items);
    std::vector<std::string> programme;
    for (size_t k = 0; k < reading.items.size(); ++k) programme.push_back(timeline.item(static_cast<int>(k)).name);
    EXPECT_TRUE(reading.items == programme) << "got " << joined(reading.items) << ", not " << joined(programme);
    EXPECT_EQ(startPosition("/v/m8.flv") >= 0 ? nginx_->countRequests("/v/m8.flv?start=") - jumps : 0, 1);
    EXPECT_LT(reading.maxAheadSeconds, ZTV_PACE_LEAD_MS / 1000.0 + 2);
  }
}

}  // namespace
