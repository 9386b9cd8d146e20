#ifndef ZTV_SERVER_HTTP_SERVER_H
#define ZTV_SERVER_HTTP_SERVER_H

// The player-facing server: one listening socket, one detached thread that
// accepts connections, and a detached thread of its own for each connection
// (its request, then its stream), and one for each channel on air, which
// feeds all of that channel's players. Up to `players` streams run at once; a
// request for one more is answered 503 at once. Connections still waiting
// for their request are bounded apart from the streams: up to
// kWaitingConnections of them, the oldest closed when one more comes, so
// that silent connections (a port scan, an app that connects early, a
// crashed client) never keep a player or the status page out. The state
// word, the counts and the table of waiting connections are all the
// threads share; each stream's state is its own.

#include <pthread.h>

#include <stdint.h>

#include "base/atomic_word.h"

struct ChannelSession;

// Streams at once: a household's players (a TV or two, a tablet, a
// recorder), and at most what a player box and a home line carry.
inline constexpr int kDefaultPlayers = 4;
inline constexpr int kMaxPlayers = 16;

enum ServerState : int32_t {
  Stopped = 0,        // no thread of the server runs; also a fresh record
  StopRequested = 1,  // a stop was asked for; the threads are ending
  Accepting = 2,      // running: accepting connections and serving them
};

// What one stream shows on the status page: fixed-size copies, written by
// the stream's own thread and read by the page, both under the slot's lock,
// never a pointer into the stream.
struct StreamSlot {
  pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  bool inUse = false;     // a stream holds the slot
  char player[48] = {};   // the player's address
  char asked[160] = {};   // "channel N", or the URL relayed (cut to fit)
  int32_t channelId = 0;  // the channel it plays; 0 for a relay
  char video[160] = {};   // the video being sent (cut to fit); empty before the first
  int32_t videoPliid = 0; // the channel's item that `video` names
  int64_t startedMs = 0;  // monotonicMs when the stream began
  int64_t bytesSent = 0;  // stream bytes the player has taken
};

// Connections waiting for their request at once (each has a thread, and
// waits 5 s at most); one more closes the one that has waited longest.
inline constexpr int kWaitingConnections = 8;

// A connection still waiting for its request: the accepting thread may end
// it (by shutdown, never close) only while it is here, and its own thread
// takes it out before the socket is closed, under the server's waitingLock.
struct WaitingConnection {
  int socket = -1;         // -1: the entry is free
  int64_t acceptedMs = 0;  // monotonicMs of its accept: the least is the oldest
};

struct ServerControl {
  AtomicWord state;        // a ServerState; Stopped in a fresh record
  AtomicWord connections;  // connection threads running (reading a request, answering, streaming)
  AtomicWord streams;      // of them, those that hold a stream (a channel or a relay)
  int listenSocket = -1;   // the listening socket
  int32_t players = kDefaultPlayers;  // most streams at once; set before the start
  int64_t startedMs = 0;   // monotonicMs at the start, for the status page's uptime
  StreamSlot slots[kMaxPlayers];  // one for each stream; `players` of them are used
  pthread_mutex_t waitingLock = PTHREAD_MUTEX_INITIALIZER;  // guards `waiting`
  WaitingConnection waiting[kWaitingConnections];  // the connections still waiting for their request
  // The channels on air, each shared by its players (server/channel_table.h).
  pthread_mutex_t channelsLock = PTHREAD_MUTEX_INITIALIZER;  // guards `channels` and their players
  ChannelSession* channels[kMaxPlayers] = {};
  AtomicWord feeders;      // channel feeder threads running
};

// Listens on `address`:`port` and starts the accepting thread, serving up
// to `players` streams at once; null on failure (logged). The record lives
// until the process ends.
[[nodiscard]] ServerControl* startHttpServer(const char* address, int port, int players = kDefaultPlayers);

// Returns when every thread of the server has ended, the listening socket
// is closed and the state is Stopped; each stream ends after its chunk in
// hand, and every wait of a thread ends within a fraction of a second.
// Never call it on a thread of the server.
int stopHttpServer(ServerControl* server);

// The connection at `socket` waits no longer (its request is there, or it
// ends): from now on no newer connection closes it. Call before its socket
// is closed; a socket that is not waiting is left alone.
void leaveWaiting(ServerControl* server, int socket);

// The accepting thread's body; its argument is the ServerControl.
void* httpServerThread(void* server);

// Starts function(argument) on a detached thread with a stack of
// `stackBytes` (0: the system's default); its id, or 0 on failure (logged).
pthread_t ThreadCreate(void* (*function)(void*), void* argument, size_t stackBytes = 0);

#endif  // ZTV_SERVER_HTTP_SERVER_H
