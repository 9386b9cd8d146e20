#ifndef ZTV_TESTS_STREAM_STREAM_FIXTURE_H
#define ZTV_TESTS_STREAM_STREAM_FIXTURE_H

// A channel session against a scripted loopback service: timeline documents
// at /live/semichannel/timeline/?id=N, video files at /v/K.flv, the log
// captured at DEBUG so that tests can count its lines. The pauses between
// tries are a millisecond.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log/log.h"
#include "stream/flv_remux.h"
#include "stream/session.h"
#include "stream/tries.h"
#include "stream/video_select.h"
#include "support/channel_service.h"
#include "support/fake_http.h"
#include "support/log_capture.h"

namespace streamtest {

using Video = testsupport::ChannelVideo;
using testsupport::timelineTarget;

class StreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    session_ = openFLVStream();
    ASSERT_NE(session_, nullptr);
    buffer_ = allocZeroed<uint8_t>(capacity_);
    tryTimes.firstPauseMs = 1;
  }
  void TearDown() override {
    closeFLVStream(session_);
    tryTimes = savedTryTimes_;
  }

  // A timeline document naming `videos` (each served under a fresh path) in order.
  std::string timeline(int offset, const std::vector<Video>& videos) { return channel_.timeline(offset, videos); }
  // Serves channel 1 with one timeline after another, the last one for
  // good; with `thenMissing` a 404 after them ends the stream there.
  void serveChannel(const std::vector<std::string>& timelines, bool thenMissing = false) {
    channel_.serveChannel(1, timelines, thenMissing);
    session_->channelId = 1;
  }

  // The units of the stream until it ends (or `limit` units).
  std::vector<std::string> units(size_t limit = 1000) {
    std::vector<std::string> out;
    while (out.size() < limit) {
      const int32_t length = getFLVPacket(&session_, &buffer_, capacity_);
      if (length <= 0) break;
      out.emplace_back(reinterpret_cast<const char*>(buffer_.get()), static_cast<size_t>(length));
    }
    return out;
  }

  int countInLog(const std::string& needle) {
    const std::string text = log_.text();
    int count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
    return count;
  }
  int requestsFor(const std::string& target) {
    int count = 0;
    for (const fakehttp::Request& r : server_.requests()) count += r.target == target ? 1 : 0;
    return count;
  }

  testsupport::ChannelService channel_;  // timelineHost points at it from before SetUp to after TearDown
  fakehttp::FakeHttpServer& server_ = channel_.server;
  StreamSession* session_ = nullptr;
  uint32_t capacity_ = 1048576;
  ByteBuffer buffer_;

 private:
  const TryTimes savedTryTimes_ = tryTimes;
  testsupport::LogCapture log_{DEBUG};  // from before the session opens until after it closes
};

}  // namespace streamtest

#endif  // ZTV_TESTS_STREAM_STREAM_FIXTURE_H
