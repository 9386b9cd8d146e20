#include "server/channel_table.h"

#include "base/heap.h"
#include "log/log.h"

static_assert(kMaxPlayers <= kChannelPlaces, "every player may watch one channel");

namespace {

// A feeder's stack: the re-muxer's steps and log lines, like a connection's.
constexpr size_t kFeederStack = 256 * 1024;

struct Feeder {
  ServerControl* server;
  ChannelSession* channel;
};

// Takes `channel` out of the table, if it is still there. Under channelsLock.
void forget(ServerControl* server, ChannelSession* channel) {
  for (ChannelSession*& entry : server->channels) {
    if (entry == channel) entry = nullptr;
  }
}

// One holder lets go; the last frees the record. Under channelsLock.
void release(ChannelSession* channel) {
  if (--channel->refs == 0) channelClose(channel);
}

void* feederThread(void* argument) {
  Feeder* feeder = static_cast<Feeder*>(argument);
  ServerControl* server = feeder->server;
  ChannelSession* channel = feeder->channel;
  freeRecord(feeder);
  channelFeed(channel);
  pthread_mutex_lock(&server->channelsLock);
  forget(server, channel);  // ended: whoever asks next starts it afresh
  release(channel);
  pthread_mutex_unlock(&server->channelsLock);
  server->feeders.subtract(1);  // the very last action: a stop waits for it
  return nullptr;
}

// Opens the channel for its first player into a free entry of the table,
// and starts its feeder. The player is counted before the feeder can look:
// a first player of the MPEG-TS form has the first source judged by its
// form. Under channelsLock.
ChannelSession* openChannel(ServerControl* server, int32_t channelId, bool ts, ChannelPlace* place) {
  ChannelSession** entry = nullptr;
  for (ChannelSession*& candidate : server->channels) {
    if (candidate == nullptr) entry = &candidate;
  }
  Feeder* feeder = entry != nullptr ? newRecord<Feeder>() : nullptr;
  ChannelSession* channel = feeder != nullptr ? channelOpen(channelId) : nullptr;
  place->fromStart = true;
  if (channel != nullptr && !channelEnter(channel, place)) {
    channelClose(channel);
    channel = nullptr;
  }
  if (channel == nullptr) {
    freeRecord(feeder);
    return nullptr;
  }
  *feeder = {server, channel};
  channel->players = 1;
  channel->refs = 2;  // the player's and the feeder's
  channel->tsPlayers.store(ts ? 1 : 0);
  server->feeders.add(1);
  if (ThreadCreate(feederThread, feeder, kFeederStack) == 0) {
    server->feeders.subtract(1);
    freeRecord(feeder);
    channelClose(channel);
    return nullptr;
  }
  *entry = channel;
  return channel;
}

}  // namespace

ChannelSession* joinChannel(ServerControl* server, int32_t channelId, bool ts, ChannelPlace* place) {
  pthread_mutex_lock(&server->channelsLock);
  ChannelSession* channel = nullptr;
  for (ChannelSession* entry : server->channels) {
    if (entry != nullptr && entry->channelId == channelId) channel = entry;
  }
  const bool opened = channel == nullptr;
  if (opened) {
    channel = openChannel(server, channelId, ts, place);
  } else if (channelEnter(channel, place)) {
    ++channel->players;
    ++channel->refs;
    if (ts) channel->tsPlayers.add(1);
  } else {
    channel = nullptr;
  }
  const int32_t players = channel != nullptr ? channel->players : 0;
  pthread_mutex_unlock(&server->channelsLock);
  if (channel == nullptr) {
    Log(ERROR, "%s, no memory for channel %d", "receiveHttpData", static_cast<int>(channelId));
  } else if (!opened) {
    Log(INFO, "%s, a player joins channel %d on air: %d players", "receiveHttpData", static_cast<int>(channelId),
        static_cast<int>(players));
  }
  return channel;
}

void leaveChannel(ServerControl* server, ChannelSession* channel, bool ts, ChannelPlace* place) {
  channelLeave(channel, place);
  pthread_mutex_lock(&server->channelsLock);
  if (ts) channel->tsPlayers.subtract(1);
  if (--channel->players == 0) {
    channel->abandoned.store(1);
    forget(server, channel);
  }
  release(channel);
  pthread_mutex_unlock(&server->channelsLock);
}
