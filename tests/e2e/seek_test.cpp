// The jump to the live position against a real nginx as the video service:
// the first video from its beginning up to its second keyframe, then the
// same video re-opened with "?start=" at the keyframe nearest the timeline's
// offset, then the rest of the channel, seamless for a real player.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <memory>

#include "support/flv_reader.h"
#include "support/media.h"
#include "support/nginx.h"
#include "support/process.h"
#include "support/proxy.h"
#include "support/sample_set.h"
#include "support/stream_check.h"

using namespace testsupport;

namespace {

constexpr int kOffset = 14;  // seconds into the first video; keyframes every 2 s

class LiveSeekTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const std::map<std::string, SampleRecipe> recipes = {
        {"long", {SampleCodec::H264Aac, 20, 2, "testsrc", 440}},
        {"next", {SampleCodec::H264Aac, 4, 2, "testsrc2", 660}},
        // One second of a file with a keyframe every two: it ends before its second keyframe.
        {"short", {SampleCodec::SorensonMp3, 1, 2, "smptebars", 550}},
    };
    samples_ = makeSamples(recipes, mediaCacheDir(BINARY_DIR "/test-media"), &sampleError_);
  }

  void SetUp() override {
    ASSERT_EQ(samples_.size(), 3u) << "sample media could not be made: " << sampleError_;
    nginx_ = std::make_unique<Nginx>(portOf(TIMELINE_HOST));
  }

  void TearDown() override {
    if (HasFailure() && proxy_) std::cerr << proxy_->diagnostics() << "\n";
    if (HasFailure() && nginx_) std::cerr << "--- nginx ---\n" << nginx_->accessLog() << "\n";
  }

  // Serves `sample` under `path` (each case its own path, so that its
  // "?start=" requests can be counted apart).
  std::string serve(const std::string& path, const std::string& sample) {
    EXPECT_TRUE(nginx_->copyFile(path, samples_.at(sample).path));
    return nginx_->url(path);
  }

  void startService() {
    ASSERT_TRUE(nginx_->start()) << nginx_->error();
    proxy_ = std::make_unique<Proxy>(PROXY_BINARY);
    ASSERT_TRUE(proxy_->start()) << proxy_->diagnostics();
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

  static std::map<std::string, Sample> samples_;
  static std::string sampleError_;
  std::unique_ptr<Nginx> nginx_;
  std::unique_ptr<Proxy> proxy_;
};

std::map<std::string, Sample> LiveSeekTest::samples_;
std::string LiveSeekTest::sampleError_;

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
};

TEST_F(LiveSeekTest, ChannelJumpsOnceToTheKeyframeNearestTheOffset) {
  const SeekCase cases[] = {
      {"first video seeks", {}},
      // The first video ends before its second keyframe: the wanted time
      // carries over and the next video seeks with its own index.
      {"first video too short", {"short"}},
  };
  const FlvStream& longFlv = samples_.at("long").flv;
  const size_t secondKeyframe = nthKeyframe(longFlv, 2);
  const size_t landingAt14 = keyframeAt(longFlv, 14000);
  const size_t landingAt16 = keyframeAt(longFlv, 16000);
  ASSERT_LT(secondKeyframe, longFlv.tags.size());
  ASSERT_LT(landingAt14, longFlv.tags.size());
  ASSERT_LT(landingAt16, longFlv.tags.size());
  int channel = 30;
  std::vector<std::string> paths;
  for (const auto& c : cases) {
    std::vector<TimelineItem> items;
    int pliid = 0;
    for (const auto& name : c.before) items.push_back({serve("/v/" + name + ".flv", name), ++pliid});
    paths.push_back("/v/long" + std::to_string(++channel) + ".flv");
    items.push_back({serve(paths.back(), "long"), ++pliid});
    items.push_back({serve("/v/next.flv", "next"), ++pliid});
    ASSERT_TRUE(nginx_->putTimeline(channel, timelineDocument(items, kOffset)));
  }
  ASSERT_NO_FATAL_FAILURE(startService());

  channel = 30;
  for (size_t k = 0; k < std::size(cases); ++k) {
    const SeekCase& c = cases[k];
    SCOPED_TRACE(c.name);
    // The stream: what comes before, the start of the long video up to its
    // second keyframe, the jump, the next video, the fresh timeline's videos.
    auto plan = [&](size_t landing) {
      std::vector<Played> plays;
      for (const auto& name : c.before) plays.push_back({&samples_.at(name).flv, 0, 0});
      plays.push_back({&longFlv, 0, secondKeyframe});
      plays.push_back({&longFlv, landing, 0});
      plays.push_back({&samples_.at("next").flv, 0, 0});
      for (const auto& name : c.before) plays.push_back({&samples_.at(name).flv, 0, 0});
      plays.push_back({&longFlv, 0, 0});
      return plays;
    };
    // Enough for the earlier landing, which leaves more of the video to play.
    const size_t bytes = streamBytes(plan(landingAt14));
    std::string answer;
    std::string stream = readStream(proxy_->port(), "/tv?id=" + std::to_string(++channel), bytes,
                                    60s, &answer);
    EXPECT_EQ(answer, kAnswer200);
    EXPECT_EQ(stream.size(), bytes);

    const long position = startPosition(paths[k]);
    EXPECT_EQ(nginx_->countRequests(paths[k] + "?start="), 1);
    const size_t landing = tagAt(longFlv, position);
    ASSERT_LT(landing, longFlv.tags.size()) << "?start=" << position << " is not a tag";
    // 14 s, or 16 s when a second passed between the timeline download and the jump.
    EXPECT_TRUE(landing == landingAt14 || landing == landingAt16) << describe(longFlv.tags[landing], landing);
    EXPECT_EQ(streamMismatch(stream, plan(landing)), "");
    EXPECT_NE(proxy_->log().find("Seek video Time = " +
                                 std::to_string(longFlv.tags[landing].timestamp / 1000) +
                                 " sec. File position = " + std::to_string(position) + " "),
              std::string::npos);
  }
}

TEST_F(LiveSeekTest, FfmpegPlaysAcrossTheJumpWithoutResync) {
  ASSERT_TRUE(nginx_->putTimeline(
      40, timelineDocument({{serve("/v/long.flv", "long"), 1}, {serve("/v/next.flv", "next"), 2}},
                           kOffset)));
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
}

}  // namespace
