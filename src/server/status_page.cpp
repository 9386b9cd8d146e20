#include "server/status_page.h"

#include <stdio.h>
#include <string.h>

#include "base/clock.h"
#include "base/heap.h"
#include "log/log.h"
#include "net/socket.h"
#include "server/page_text.h"
#include "stream/channel.h"

namespace {

constexpr int64_t kSendLimitMs = 5000;
constexpr char kHeader[] =
    "HTTP/1.0 200 OK\r\nServer: Zomak TV Proxy Server for Pendrake \r\nContent-Type: text/plain \r\n"
    "Connection: close \r\n\r\n";

}  // namespace

void pageAddDuration(PageText* page, int64_t ms) {
  const int64_t seconds = ms / 1000;
  pageFormat(page, "%lld h %02d min %02d s", static_cast<long long>(seconds / 3600),
             static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60));
}

int copyChannels(ServerControl* server, ChannelView* views) {
  int count = 0;
  pthread_mutex_lock(&server->channelsLock);
  for (ChannelSession* channel : server->channels) {
    if (channel == nullptr) continue;
    ChannelView& view = views[count++];
    view.channelId = channel->channelId;
    view.players = channel->players;
    pthread_mutex_lock(&channel->lock);
    memcpy(view.video, channel->video, sizeof view.video);
    pthread_mutex_unlock(&channel->lock);
  }
  pthread_mutex_unlock(&server->channelsLock);
  return count;
}

void pageAddPlayersOf(PageText* page, ServerControl* server, int32_t channelId, bool json) {
  const char* before = json ? "\"" : " ";
  for (StreamSlot& each : server->slots) {
    StreamSlot slot;
    if (!copyStreamSlot(each, &slot) || slot.channelId != channelId) continue;
    pageAdd(page, before);
    (json ? pageAddJson : pageAdd)(page, slot.player);
    if (json) pageAdd(page, "\"");
    before = json ? ",\"" : " ";
  }
}

bool copyStreamSlot(StreamSlot& slot, StreamSlot* copy) {
  pthread_mutex_lock(&slot.lock);
  const bool inUse = slot.inUse;
  if (inUse) {
    memcpy(copy->player, slot.player, sizeof copy->player);
    memcpy(copy->asked, slot.asked, sizeof copy->asked);
    copy->channelId = slot.channelId;
    memcpy(copy->video, slot.video, sizeof copy->video);
    copy->startedMs = slot.startedMs;
    copy->bytesSent = slot.bytesSent;
  }
  pthread_mutex_unlock(&slot.lock);
  return inUse;
}

void answerStatus(ServerControl* server, int socket, bool head) {
  PageText page;
  const int64_t now = monotonicMs();
  pageFormat(&page, "zomaktvproxy %s\nup ", ZTV_VERSION);
  pageAddDuration(&page, now - server->startedMs);
  pageFormat(&page, "\nstreams: %d of %d players\n", static_cast<int>(server->streams.load()),
             static_cast<int>(server->players));
  for (int i = 0; i < kMaxPlayers; ++i) {
    StreamSlot slot;
    if (!copyStreamSlot(server->slots[i], &slot)) continue;
    pageFormat(&page, "\n%s  ", slot.player);
    pageAddWithoutQueries(&page, slot.asked);
    pageAdd(&page, "\n  for ");
    pageAddDuration(&page, now - slot.startedMs);
    pageFormat(&page, ", %lld bytes sent\n  video: ", static_cast<long long>(slot.bytesSent));
    pageAddWithoutQueries(&page, slot.video[0] != '\0' ? slot.video : "(none yet)");
    pageAdd(&page, "\n");
  }
  ChannelView channels[kMaxPlayers];
  const int count = copyChannels(server, channels);
  pageFormat(&page, "\nchannels on air: %d\n", count);
  for (int c = 0; c < count; ++c) {
    pageFormat(&page, "channel %d, %d player%s:", static_cast<int>(channels[c].channelId),
               static_cast<int>(channels[c].players), channels[c].players == 1 ? "" : "s");
    pageAddPlayersOf(&page, server, channels[c].channelId, false);
    pageAdd(&page, "\n  video: ");
    pageAddWithoutQueries(&page, channels[c].video[0] != '\0' ? channels[c].video : "(none yet)");
    pageAdd(&page, "\n");
  }
  char errors[1024];
  LogRecentErrors(errors, sizeof errors);
  pageAdd(&page, "\nlast errors:\n");
  pageAddWithoutQueries(&page, errors[0] != '\0' ? errors : "(none)\n");
  if (page.failed) {
    Log(ERROR, "%s, no memory for the status page", "receiveHttpData");
    return;
  }
  if (socket_sendAll(socket, kHeader, sizeof kHeader - 1, kSendLimitMs) >= 0 && !head && page.used > 0) {
    (void)socket_sendAll(socket, page.text.get(), page.used, kSendLimitMs);
  }
}
