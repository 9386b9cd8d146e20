#include "support/channel_service.h"

#include "support/timeline_doc.h"
#include "stream/video_select.h"

namespace testsupport {

std::string timelineTarget(int channel) { return "/live/semichannel/timeline/?id=" + std::to_string(channel); }

ChannelService::ChannelService() : host_(server.hostPort()), savedHost_(timelineHost) {
  timelineHost = host_.c_str();
}

ChannelService::~ChannelService() { timelineHost = savedHost_; }

std::string ChannelService::timeline(int offset, const std::vector<ChannelVideo>& videos) {
  std::vector<TimelineItem> items;
  for (const ChannelVideo& video : videos) {
    const std::string path = "/v/" + std::to_string(++served_) + ".flv";
    server.route(path, fakehttp::Script::ok(video.file));
    items.push_back({server.url(path), video.pliid});
  }
  return timelineDocument(items, offset);
}

void ChannelService::serveChannel(int channel, const std::vector<std::string>& timelines, bool thenMissing) {
  for (const std::string& doc : timelines) server.route(timelineTarget(channel), fakehttp::Script::ok(doc));
  if (thenMissing) server.route(timelineTarget(channel), fakehttp::Script::status(404));
}

}  // namespace testsupport
