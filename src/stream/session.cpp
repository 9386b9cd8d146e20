#include "stream/session.h"

#include <new>

StreamSession* openFLVStream() { return new (std::nothrow) StreamSession{}; }

void closeFLVStream(StreamSession* session) {
  if (session == nullptr) return;
  session->source.reset();  // the connection to the service goes first
  delete session;           // then the URL, the keyframe index and the timeline
}
