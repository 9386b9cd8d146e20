#ifndef ZTV_SERVER_HTTP_SERVER_H
#define ZTV_SERVER_HTTP_SERVER_H

// The player-facing server: one listening socket and one detached connection
// thread that accepts connections and serves them one at a time. The state
// word is the only datum shared between threads.

#include <pthread.h>

#include <stdint.h>

#include "base/atomic_word.h"

enum ServerState : int32_t {
  Stopped = 0,        // no connection thread runs; also a fresh record
  StopRequested = 1,  // a stop was asked for; the connection thread is ending
  Accepting = 2,      // the connection thread waits in accept or between requests
  Streaming = 3,      // a request is being served
};

struct ServerControl {
  AtomicWord state;        // a ServerState; Stopped in a fresh record
  int listenSocket = -1;   // the listening socket
};

// Listens on `address`:`port` and starts the connection thread; null on
// failure (logged). The record lives until the process ends.
[[nodiscard]] ServerControl* startHttpServer(const char* address, int port);

// Returns when the connection thread has ended, the listening socket is
// closed and the state is Stopped; a request being served ends after its
// chunk in hand, and every wait of the thread ends within a fraction of a
// second. Never call it on the connection thread.
int stopHttpServer(ServerControl* server);

// The connection thread's body; its argument is the ServerControl.
void* httpServerThread(void* server);

// Starts function(argument) on a detached thread; its id, or 0 on failure.
pthread_t ThreadCreate(void* (*function)(void*), void* argument);

#endif  // ZTV_SERVER_HTTP_SERVER_H
