#include "server/http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <errno.h>
#include <string.h>

#include "base/clock.h"
#include "base/heap.h"
#include "base/wait.h"
#include "log/log.h"
#include "net/socket.h"
#include "server/request.h"

namespace {

constexpr int kBacklog = 10;
constexpr useconds_t kStopPollMicros = 1000;

// A bound, listening TCP socket, or -1 (logged).
int openListenSocket(const char* address, int port) {
  int fd = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (fd < 0) {
    Log(ERROR, "%s, couldn't create socket", "startHttpServer");
    return -1;
  }
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = inet_addr(address);
  local.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) < 0) {
    Log(ERROR, "%s, TCP bind failed for port number: %d", "startHttpServer", port);
    close(fd);
    return -1;
  }
  if (listen(fd, kBacklog) < 0) {
    Log(ERROR, "%s, listen failed", "startHttpServer");
    close(fd);
    return -1;
  }
  return fd;
}

// A connection's own thread: its record, freed by the thread.
struct Connection {
  ServerControl* server;
  int socket;
};

// The stack of a connection thread. What runs on it is small and bounded
// (a 2 KiB request, log lines, the stream's steps; the stream's buffer is on
// the heap and name look-ups have threads of their own); a quarter of a
// MiB leaves room for a sanitizer's larger frames, and most of it is never
// touched, so it costs address space, not memory.
constexpr size_t kConnectionStack = 256 * 1024;

// Threads beside the streams and the waiting connections: those answering
// at once (the status page, a 404, a 503) and those just closed for a newer
// connection, still ending. Beyond them all, a connection is answered by
// the accepting thread itself.
constexpr int32_t kSpareConnections = 4;

// A failed accept that is no connection's own fault (out of descriptors or
// memory) comes back at once while the shortage lasts: the next try waits,
// the pauses doubling from the first to the longest.
constexpr int64_t kFirstAcceptPauseMs = 100;
constexpr int64_t kLongestAcceptPauseMs = 1600;

// A run of failed accepts: logged once as it begins and once, with its
// count, as it ends, however long it lasts. At the edge of a shortage
// accepts fail and work by turns; the run ends only once they have worked
// for kCalmMs after its last failure (by then every connection that was
// waiting for its request has been served or closed).
constexpr int64_t kCalmMs = 5000;
struct AcceptFailures {
  int32_t count = 0;         // failures in the run
  int error = 0;             // the first one's errno
  int64_t pauseMs = 0;       // the last pause; 0 before the first since an accept worked
  int64_t lastFailedMs = 0;  // monotonicMs of the last failure
};

bool isShortage(int error) { return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM; }

void* connectionThread(void* argument) {
  Connection* connection = static_cast<Connection*>(argument);
  ServerControl* server = connection->server;
  const int socket = connection->socket;
  freeRecord(connection);
  receiveHttpData(server, socket);
  Log(DEBUG, "%s: processed request", "httpServerThread");
  server->connections.subtract(1);  // the very last action: a stop waits for it
  return nullptr;
}

// Enters `fd` among the connections waiting for their request. When all
// of them wait already, the one that has waited longest is shut down: its
// thread finds its request ended and closes it.
void enterWaiting(ServerControl* server, int fd) {
  pthread_mutex_lock(&server->waitingLock);
  WaitingConnection* entry = &server->waiting[0];
  for (WaitingConnection& candidate : server->waiting) {
    if (candidate.socket == -1) {
      entry = &candidate;
      break;
    }
    if (candidate.acceptedMs < entry->acceptedMs) entry = &candidate;
  }
  if (entry->socket != -1) {
    (void)shutdown(entry->socket, SHUT_RDWR);
    Log(DEBUG, "%s: closed a connection without a request after %lld ms, for a newer one", "httpServerThread",
        static_cast<long long>(monotonicMs() - entry->acceptedMs));
  }
  entry->socket = fd;
  entry->acceptedMs = monotonicMs();
  pthread_mutex_unlock(&server->waitingLock);
}

// Serves `fd` on a thread of its own; false (the count unchanged) when none
// can be had.
bool startConnection(ServerControl* server, int fd) {
  if (server->connections.load() >= server->players + kWaitingConnections + kSpareConnections) return false;
  Connection* connection = newRecord<Connection>();
  if (connection == nullptr) return false;
  connection->server = server;
  connection->socket = fd;
  server->connections.add(1);
  enterWaiting(server, fd);
  if (ThreadCreate(connectionThread, connection, kConnectionStack) != 0) return true;
  leaveWaiting(server, fd);
  server->connections.subtract(1);
  freeRecord(connection);
  return false;
}

// Waits `pauseMs`, or until a stop comes.
void pauseAccepting(ServerControl* server, int64_t pauseMs) {
  const int64_t untilMs = monotonicMs() + pauseMs;
  while (server->state.load() == Accepting && !passed(untilMs)) (void)waitStep(-1, 0, untilMs);
}

// Counts a failed accept (logged at the first of a run) and, while
// descriptors or memory are short, waits before the next try.
void acceptFailed(ServerControl* server, AcceptFailures* failures, int error) {
  const bool shortage = isShortage(error);
  failures->lastFailedMs = monotonicMs();
  if (failures->count++ == 0) {
    failures->error = error;
    Log(ERROR, "%s: accept failed: %s; trying again%s", "httpServerThread", strerror(error),
        shortage ? ", after a pause that grows while it lasts" : "");
  }
  if (!shortage) return;
  const int64_t doubled = failures->pauseMs * 2;
  failures->pauseMs = failures->pauseMs == 0           ? kFirstAcceptPauseMs
                      : doubled > kLongestAcceptPauseMs ? kLongestAcceptPauseMs
                                                        : doubled;
  pauseAccepting(server, failures->pauseMs);
}

// An accept worked: the pauses start short again (a descriptor has just
// come free); a run of failures that has calmed down ends with its count.
void acceptWorked(AcceptFailures* failures) {
  failures->pauseMs = 0;
  if (failures->count == 0 || monotonicMs() - failures->lastFailedMs < kCalmMs) return;
  Log(ERROR, "%s: accept failed %d times (the first: %s), and has worked for %lld s since", "httpServerThread",
      static_cast<int>(failures->count), strerror(failures->error), static_cast<long long>(kCalmMs / 1000));
  *failures = AcceptFailures{};
}

// Accepts one connection and hands it to a thread of its own; a failed
// accept is counted only while running.
void acceptOne(ServerControl* server, AcceptFailures* failures) {
  sockaddr_in peer{};
  socklen_t peerLength = sizeof peer;
  int fd = accept(server->listenSocket, reinterpret_cast<sockaddr*>(&peer), &peerLength);
  if (fd < 0) {
    const int error = errno;
    if (server->state.load() == Accepting && error != EINTR) acceptFailed(server, failures, error);
    return;
  }
  acceptWorked(failures);
  char peerText[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &peer.sin_addr, peerText, sizeof peerText);
  LogPrintf("Connection from %s\n", peerText);
  Log(DEBUG, "%s: accepted connection from %s", "httpServerThread", peerText);
  if (!startConnection(server, fd)) refuseConnection(server, fd);
}

// Moves a running server to StopRequested without losing a concurrent
// change, and waits until the accepting thread has ended: it sets Stopped
// as its very last action, once every connection thread has ended, so
// nothing of the server (a log line included) outlives the stop. A
// connection accepted meanwhile is closed unserved. To keep the wait short,
// shutdown wakes an accept (close alone does not on Linux) and every wait of
// a download is interrupted. False when the server was not running.
bool requestStop(ServerControl* server) {
  int32_t seen = server->state.load();
  while (seen == Accepting) {
    if (!server->state.compareExchange(&seen, StopRequested)) continue;
    socket_interrupt(true);
    (void)shutdown(server->listenSocket, SHUT_RDWR);
    while (server->state.load() != Stopped) usleep(kStopPollMicros);
    socket_interrupt(false);
    return true;
  }
  return false;
}

}  // namespace

ServerControl* startHttpServer(const char* address, int port, int players) {
  int fd = openListenSocket(address, port);
  if (fd < 0) return nullptr;
  auto* server = newRecord<ServerControl>();
  if (server == nullptr) {
    close(fd);
    return nullptr;
  }
  server->listenSocket = fd;
  server->players = players;
  server->startedMs = monotonicMs();
  // Accepting is set here rather than by the thread itself: a stop that comes
  // before the thread runs then leaves Stopped for the thread to find, instead
  // of being overwritten by the thread's start.
  server->state.store(Accepting);
  if (ThreadCreate(httpServerThread, server) == 0) server->state.store(Stopped);
  return server;
}

int stopHttpServer(ServerControl* server) {
  (void)requestStop(server);
  if (close(server->listenSocket) != 0) {
    Log(ERROR, "%s: Failed to close listening socket, error %d", "stopHttpServer", errno);
  }
  server->state.store(Stopped);
  return 0;
}

void* httpServerThread(void* argument) {
  auto* server = static_cast<ServerControl*>(argument);
  AcceptFailures failures;
  while (server->state.load() == Accepting) acceptOne(server, &failures);
  while (server->connections.load() > 0 || server->feeders.load() > 0) usleep(kStopPollMicros);
  server->state.store(Stopped);
  return nullptr;
}

void leaveWaiting(ServerControl* server, int socket) {
  pthread_mutex_lock(&server->waitingLock);
  for (WaitingConnection& entry : server->waiting) {
    if (entry.socket == socket) entry.socket = -1;
  }
  pthread_mutex_unlock(&server->waitingLock);
}

pthread_t ThreadCreate(void* (*function)(void*), void* argument, size_t stackBytes) {
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  if (stackBytes != 0) (void)pthread_attr_setstacksize(&attributes, stackBytes);
  pthread_t thread = 0;
  int error = pthread_create(&thread, &attributes, function, argument);
  pthread_attr_destroy(&attributes);
  if (error != 0) {
    LogPrintf("%s, pthread_create failed with %d\n", "ThreadCreate", error);
    return 0;
  }
  return thread;
}
