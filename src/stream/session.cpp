#include "stream/session.h"

StreamSession* openFLVStream() { return newRecord<StreamSession>(); }

void closeFLVStream(StreamSession* session) {
  if (session == nullptr) return;
  session->source.reset();  // the connection to the service goes first
  freeRecord(session);      // then the URL, the keyframe index and the timeline
}
