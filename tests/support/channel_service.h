#ifndef ZTV_TESTS_SUPPORT_CHANNEL_SERVICE_H
#define ZTV_TESTS_SUPPORT_CHANNEL_SERVICE_H

// A channel's video service on loopback, scripted by the test: timeline
// documents at /live/semichannel/timeline/?id=N, video files at /v/K.flv.
// While it lives, the proxy's timelineHost points at it.

#include <string>
#include <vector>

#include "support/fake_http.h"

namespace testsupport {

struct ChannelVideo {
  int pliid;
  std::string file;  // the bytes served for it
};

std::string timelineTarget(int channel);

class ChannelService {
 public:
  ChannelService();   // points timelineHost here
  ~ChannelService();  // restores it
  ChannelService(const ChannelService&) = delete;
  ChannelService& operator=(const ChannelService&) = delete;

  // A timeline document naming `videos` in order, each served under the
  // next path /v/1.flv, /v/2.flv, ...
  std::string timeline(int offset, const std::vector<ChannelVideo>& videos);
  // Serves `channel` with one timeline after another, the last one for
  // good; with `thenMissing` a 404 after them instead.
  void serveChannel(int channel, const std::vector<std::string>& timelines, bool thenMissing = false);

  fakehttp::FakeHttpServer server;

 private:
  std::string host_;
  const char* savedHost_ = nullptr;
  int served_ = 0;  // videos given a path so far
};

}  // namespace testsupport

#endif  // ZTV_TESTS_SUPPORT_CHANNEL_SERVICE_H
