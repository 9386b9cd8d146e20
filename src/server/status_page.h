#ifndef ZTV_SERVER_STATUS_PAGE_H
#define ZTV_SERVER_STATUS_PAGE_H

// The status page (GET /status): a small plain-text page of the program's
// version and uptime, the players' limit, each stream (the player, what it
// asked for, the video being sent, the bytes it took, for how long), each
// channel on air with its players, and the last few errors. It reads the streams' published slots only, and holds no
// stream of its own.

#include <stdint.h>

#include "server/http_server.h"
#include "server/page_text.h"

// Answers `socket` with the page (200, text/plain); for a HEAD its header alone.
void answerStatus(ServerControl* server, int socket, bool head = false);

// Appends a length of time as "2 h 05 min 09 s".
void pageAddDuration(PageText* page, int64_t ms);

// A copy of `slot` taken under its lock; false when no stream holds it.
bool copyStreamSlot(StreamSlot& slot, StreamSlot* copy);

#endif  // ZTV_SERVER_STATUS_PAGE_H
