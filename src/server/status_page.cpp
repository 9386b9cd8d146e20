#include "server/status_page.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "base/clock.h"
#include "base/heap.h"
#include "log/log.h"
#include "net/socket.h"

namespace {

constexpr size_t kPageSize = 16384;  // 16 streams of two lines, the errors, the head: always enough
constexpr int64_t kSendLimitMs = 5000;
constexpr char kHeader[] =
    "HTTP/1.0 200 OK\r\nServer: Zomak TV Proxy Server for Pendrake \r\nContent-Type: text/plain \r\n"
    "Connection: close \r\n\r\n";

// Text appended to a fixed buffer, cut at its end.
struct Page {
  char* text;
  size_t used;
};

void add(Page* page, const char* format, ...) __attribute__((format(printf, 2, 3)));
void add(Page* page, const char* format, ...) {
  if (page->used + 1 >= kPageSize) return;
  va_list args;
  va_start(args, format);
  const int wrote = vsnprintf(page->text + page->used, kPageSize - page->used, format, args);
  va_end(args);
  if (wrote > 0) page->used += static_cast<size_t>(wrote);
  if (page->used >= kPageSize) page->used = kPageSize - 1;
}

// Text appended without the query of any URL in it (from a '?' to the next
// blank or line end): a signed URL's token, a relayed URL's secrets stay
// with the box, and the path still names the file.
void addWithoutQueries(Page* page, const char* text) {
  while (*text != '\0') {
    const size_t plain = strcspn(text, "?");
    add(page, "%.*s", static_cast<int>(plain), text);
    text += plain;
    if (*text == '?') text += strcspn(text, " \t\r\n");
  }
}

// "2 h 05 min 09 s".
void addDuration(Page* page, int64_t ms) {
  const int64_t seconds = ms / 1000;
  add(page, "%lld h %02d min %02d s", static_cast<long long>(seconds / 3600), static_cast<int>(seconds / 60 % 60),
      static_cast<int>(seconds % 60));
}

}  // namespace

bool copyStreamSlot(StreamSlot& slot, StreamSlot* copy) {
  pthread_mutex_lock(&slot.lock);
  const bool inUse = slot.inUse;
  if (inUse) {
    memcpy(copy->player, slot.player, sizeof copy->player);
    memcpy(copy->asked, slot.asked, sizeof copy->asked);
    memcpy(copy->video, slot.video, sizeof copy->video);
    copy->startedMs = slot.startedMs;
    copy->bytesSent = slot.bytesSent;
  }
  pthread_mutex_unlock(&slot.lock);
  return inUse;
}

void answerStatus(ServerControl* server, int socket, bool head) {
  HeapArray<char> text = allocZeroed<char>(kPageSize);
  if (text == nullptr) {
    Log(ERROR, "%s, no memory for the status page", "receiveHttpData");
    return;
  }
  Page page{text.get(), 0};
  const int64_t now = monotonicMs();
  add(&page, "zomaktvproxy %s\nup ", ZTV_VERSION);
  addDuration(&page, now - server->startedMs);
  add(&page, "\nstreams: %d of %d players\n", static_cast<int>(server->streams.load()),
      static_cast<int>(server->players));
  for (int i = 0; i < kMaxPlayers; ++i) {
    StreamSlot slot;
    if (!copyStreamSlot(server->slots[i], &slot)) continue;
    add(&page, "\n%s  ", slot.player);
    addWithoutQueries(&page, slot.asked);
    add(&page, "\n  for ");
    addDuration(&page, now - slot.startedMs);
    add(&page, ", %lld bytes sent\n  video: ", static_cast<long long>(slot.bytesSent));
    addWithoutQueries(&page, slot.video[0] != '\0' ? slot.video : "(none yet)");
    add(&page, "\n");
  }
  char errors[1024];
  LogRecentErrors(errors, sizeof errors);
  add(&page, "\nlast errors:\n");
  addWithoutQueries(&page, errors[0] != '\0' ? errors : "(none)\n");
  if (socket_sendAll(socket, kHeader, sizeof kHeader - 1, kSendLimitMs) >= 0 && !head) {
    (void)socket_sendAll(socket, page.text, page.used, kSendLimitMs);
  }
}
