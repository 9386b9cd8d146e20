#ifndef ZTV_SERVER_CHANNEL_TABLE_H
#define ZTV_SERVER_CHANNEL_TABLE_H

// The channels on air: one ChannelSession for each channel that players
// watch, with its feeder on a thread of its own. The first player of a
// channel opens it and starts the feeder; the others join it; when the last
// leaves, the channel leaves the table at once and its feeder closes the
// upstream within a wait step. The table and each channel's players and
// holders are the server's, under its channelsLock; the record is freed by
// whichever of its players and its feeder lets go of it last.

#include <stdint.h>

#include "server/http_server.h"
#include "stream/channel.h"

// The channel `channelId` for one more player (`ts`: of the MPEG-TS form)
// at `place`, opened with its feeder when it is not on air (the place then
// reads it from its start). Null when memory or a thread is short (logged).
[[nodiscard]] ChannelSession* joinChannel(ServerControl* server, int32_t channelId, bool ts, ChannelPlace* place);

// The player at `place` is gone from the channel; the last one lets the feeder go.
void leaveChannel(ServerControl* server, ChannelSession* channel, bool ts, ChannelPlace* place);

#endif  // ZTV_SERVER_CHANNEL_TABLE_H
