#include "stream/session.h"

#include <new>

StreamSession* openFLVStream() { return new (std::nothrow) StreamSession{}; }

void closeFLVStream(StreamSession* session) {
  if (session == nullptr) return;
  // The order matters to the service: its connection goes first.
  session->source.reset();
  session->videoUrl.clear();
  session->videoUrl.shrink_to_fit();
  session->keyframeFilePositions.reset();
  session->keyframeTimes.reset();
  session->timeline.reset();
  delete session;
}
