#include "stream/relay.h"

#include <limits.h>

#include "log/log.h"

namespace {

constexpr const char* kName = "getTransparentPacket";

// Opens videoUrl into `source`; false (logged) when it cannot be had.
bool openRelaySource(StreamSession& s) {
  LogPrintf("Open video: %s\n", s.videoUrl.c_str());
  s.source.reset(webFileOpen(s.videoUrl.c_str()));
  if (!s.source) {
    Log(ERROR, "%s, connecting to %s", kName, s.videoUrl.c_str());
    return false;
  }
  s.headerSent = true;  // in relay mode: the relay is live
  return true;
}

}  // namespace

int getTransparentPacket(StreamSession** session, ByteBuffer* buffer, uint32_t capacity) {
  StreamSession& s = **session;
  if (!s.source && !openRelaySource(s)) return 0;
  if (!s.headerSent) return 0;
  // Nothing is ever written through a missing buffer.
  if (buffer == nullptr || !*buffer) {
    s.headerSent = false;
    return 0;
  }
  const int wanted = capacity > INT_MAX ? INT_MAX : static_cast<int>(capacity);
  int count = webFileRead(s.source.get(), buffer->get(), wanted);
  if (count < 0) count = 0;
  // A short chunk still goes out; the call after it ends the relay.
  if (static_cast<uint32_t>(count) < capacity) s.headerSent = false;
  return count;
}
