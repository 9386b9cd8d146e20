#include "server/status_page.h"

#include <stdio.h>
#include <string.h>

#include "base/clock.h"
#include "base/heap.h"
#include "log/log.h"
#include "net/socket.h"
#include "server/page_text.h"

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
  StreamSlot streams[kMaxPlayers];
  bool inUse[kMaxPlayers];
  for (int i = 0; i < kMaxPlayers; ++i) {
    inUse[i] = copyStreamSlot(server->slots[i], &streams[i]);
    if (!inUse[i]) continue;
    const StreamSlot& slot = streams[i];
    pageFormat(&page, "\n%s  ", slot.player);
    pageAddWithoutQueries(&page, slot.asked);
    pageAdd(&page, "\n  for ");
    pageAddDuration(&page, now - slot.startedMs);
    pageFormat(&page, ", %lld bytes sent\n  video: ", static_cast<long long>(slot.bytesSent));
    pageAddWithoutQueries(&page, slot.video[0] != '\0' ? slot.video : "(none yet)");
    pageAdd(&page, "\n");
  }
  // Each channel on air once, with its players: the streams that play it.
  pageAdd(&page, "\nchannels on air:\n");
  for (int i = 0; i < kMaxPlayers; ++i) {
    const int32_t id = streams[i].channelId;
    bool first = inUse[i] && id != 0;
    for (int k = 0; k < i && first; ++k) first = !inUse[k] || streams[k].channelId != id;
    if (!first) continue;
    int players = 0;
    for (int k = i; k < kMaxPlayers; ++k) players += inUse[k] && streams[k].channelId == id;
    pageFormat(&page, "channel %d, %d player%s:", static_cast<int>(id), players, players == 1 ? "" : "s");
    for (int k = i; k < kMaxPlayers; ++k) {
      if (inUse[k] && streams[k].channelId == id) pageFormat(&page, " %s", streams[k].player);
    }
    pageAdd(&page, "\n  video: ");
    pageAddWithoutQueries(&page, streams[i].video[0] != '\0' ? streams[i].video : "(none yet)");
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
