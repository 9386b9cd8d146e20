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

// One channel on air as the status pages show it: its players are the
// streams whose slots name it.
struct ChannelView {
  int32_t channelId = 0;
  int32_t players = 0;
  char video[160] = {};  // the video on air; empty before the first
};

// Copies of the channels on air (kMaxPlayers at most); how many.
int copyChannels(ServerControl* server, ChannelView* views);

// Appends the addresses of the players of channel `channelId`: as JSON
// strings with commas between them, or each after a blank.
void pageAddPlayersOf(PageText* page, ServerControl* server, int32_t channelId, bool json);

#endif  // ZTV_SERVER_STATUS_PAGE_H
