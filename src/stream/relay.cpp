#include "stream/relay.h"

#include <limits.h>

#include "base/clock.h"
#include "base/wait.h"
#include "log/log.h"
#include "net/socket.h"

namespace {

constexpr const char* kName = "getTransparentPacket";

// The player waits for its answer while the source is opened: the connect,
// handshake, request and answer head (redirects included) end within this
// whatever the source does, three of the five-second waits of a download.
constexpr int64_t kRelayTryMs = 15000;

// Opens videoUrl into `source`.
RelaySource openRelaySource(StreamSession& s) {
  LogPrintf("Open video: %s\n", s.videoUrl.c_str());
  WebFilePtr file(webFileParseUrl(s.videoUrl.c_str()));
  // A player that seeks asks for a range; the source's answer to it (206
  // and its Content-Range, or 200 and the whole body) goes back to it.
  if (file && (s.playerRange.empty() || copyText(&file->range, s.playerRange.view()))) {
    file->awayFromBox = s.playerElsewhere;
    file->headOnly = s.headOnly;
    const int64_t tryEndsMs = monotonicMs() + kRelayTryMs;
    const WaitsBoundedBy oneTry(tryEndsMs);
    file->contentLength = webFileConnect(file.get());
    if (file->fd == -1 && passed(tryEndsMs)) {
      Log(ERROR, "%s, no whole answer within %d s", kName, static_cast<int>(kRelayTryMs / 1000));
    }
  }
  if (!file || file->fd == -1) {
    Log(ERROR, "%s, connecting to %s", kName, s.videoUrl.c_str());
    return file && file->reachedBox ? RelaySource::kRefused : RelaySource::kMissing;
  }
  s.source.reset(file.release());
  s.relayLive = true;
  return RelaySource::kOpen;
}

}  // namespace

RelaySource openTransparentSource(StreamSession* session) { return openRelaySource(*session); }

int getTransparentPacket(StreamSession** session, ByteBuffer* buffer, uint32_t capacity) {
  StreamSession& s = **session;
  if (!s.source && openRelaySource(s) != RelaySource::kOpen) return 0;
  if (!s.relayLive) return 0;
  // Nothing is ever written through a missing buffer.
  if (buffer == nullptr || !*buffer) {
    s.relayLive = false;
    return 0;
  }
  const int wanted = capacity > INT_MAX ? INT_MAX : static_cast<int>(capacity);
  // What the source has is passed on at once, however little: a chunk never
  // waits to be filled.
  int count = webFileReadSome(s.source.get(), buffer->get(), wanted);
  if (count <= 0) {
    count = 0;
    s.relayLive = false;  // the relay is over
  }
  return count;
}
