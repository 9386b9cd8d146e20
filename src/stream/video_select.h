#ifndef ZTV_STREAM_VIDEO_SELECT_H
#define ZTV_STREAM_VIDEO_SELECT_H

// Which video a channel session streams next: the timeline's entries in
// order, downloaded on first use and again when used up, passing over
// entries that repeat the video just streamed.

#include "stream/session.h"

// Host (or host:port) of the service's timeline documents, asked over
// http://, or "https://" and the host: --timeline-host, by default the
// build-time value. Set before any stream starts.
extern const char* timelineHost;

// 0 with videoUrl and currentPliid set to the next video; -1 when no
// timeline with a playable video could be had.
int getNewVideoToStream(StreamSession** session);

#endif  // ZTV_STREAM_VIDEO_SELECT_H
