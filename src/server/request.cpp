#include "server/request.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <errno.h>
#include <stdint.h>
#include <stdio.h>

#include "base/heap.h"
#include "base/wait.h"
#include "log/log.h"
#include "net/peer_watch.h"
#include "net/socket.h"
#include "server/http_request.h"
#include "stream/flv_remux.h"
#include "stream/pace.h"
#include "stream/relay.h"
#include "stream/session.h"

namespace {

constexpr int64_t kRequestWaitMs = 5000;
constexpr int64_t kNoLimit = -1;        // a player's sends wait as long as it answers (paused or not)
constexpr size_t kRequestSize = 2048;  // one receive of at most kRequestSize - 1 bytes
constexpr size_t kStreamBufferSize = 1048576;
constexpr uint32_t kChannelCapacity = 1048576;
constexpr uint32_t kRelayCapacity = 9472;

constexpr char kHeaderBlock[] =
    "\r\nServer: Zomak TV Proxy Server for Pendrake \r\nContent-Type: Video/MPEG \r\nConnection: close \r\n\r\n";
constexpr char kOkStatus[] = "HTTP/1.0 200 OK";
constexpr char kNotFoundStatus[] = "HTTP/1.0 404 File Not Found";
constexpr char kForbiddenStatus[] = "HTTP/1.0 403 Forbidden";

// The status line with the header block, and the body's length when it is
// known (above 0); the result is not looked at, as the stream's own sends
// will notice a player that has gone.
void sendAnswer(int socket, const char* status, int64_t contentLength = 0) {
  char length[40] = "";
  if (contentLength > 0) snprintf(length, sizeof length, "\r\nContent-Length: %lld", static_cast<long long>(contentLength));
  char answer[512];
  int size = snprintf(answer, sizeof answer, "%s%s%s", status, length, kHeaderBlock);
  (void)socket_sendAll(socket, answer, static_cast<size_t>(size), kNoLimit);
}

// Up to five seconds, in whole steps that end the wait once a stop has come.
bool waitForRequest(ServerControl* server, int socket) {
  const int64_t deadlineMs = monotonicMs() + kRequestWaitMs;
  while (server->state.load() == Streaming && !passed(deadlineMs)) {
    const Step step = waitStep(socket, POLLIN, kNoDeadlineMs);
    if (step != Step::kNotYet) return step == Step::kReady;
  }
  return false;
}

// Sends chunks of the session's stream until the source ends, a send fails
// or a stop has been requested (checked after each chunk). A player that
// takes nothing is waited for until it vanishes or a stop comes. One that
// vanishes while its sends still fit into the socket's buffer (a paced
// channel fills it only over minutes) is noticed between the sends.
void pumpChunks(ServerControl* server, int socket, StreamSession** session, ByteBuffer* buffer, bool channel) {
  PeerWatch watch = {-1, 0};
  for (;;) {
    int32_t size = channel ? getFLVPacket(session, buffer, kChannelCapacity)
                           : getTransparentPacket(session, buffer, kRelayCapacity);
    if (size <= 0 || *buffer == nullptr) return;
    if (channel) paceChannelUnit(*session, buffer->get(), size);
    if (socket_sendAll(socket, buffer->get(), static_cast<size_t>(size), kNoLimit) < 0) {
      if (errno == ECANCELED) {
        Log(DEBUG, "%s, stopped while the player took no data", "receiveHttpData");
      } else {
        Log(ERROR, "%s, sending failed, error: %d", "receiveHttpData", errno);
      }
      return;
    }
    if (peerVanishedWhileWaiting(&watch, socket, monotonicMs())) {
      Log(ERROR, "%s, sending failed, error: %d", "receiveHttpData", ETIMEDOUT);
      return;
    }
    if (server->state.load() != Streaming) return;
  }
}

// A session set up for the request, or null when memory is short.
StreamSession* openSession(const HttpRequest& request) {
  StreamSession* session = openFLVStream();
  if (session == nullptr || request.kind == RequestKind::Channel) {
    if (session != nullptr) session->channelId = request.channelId;
    return session;
  }
  if (!copyText(&session->videoUrl, request.url)) {
    closeFLVStream(session);
    return nullptr;
  }
  return session;
}

// Answers a relay once its source is open (404 when it cannot be had, 403
// when it is this box itself and the player is elsewhere); false when the
// answer was not 200.
bool answerRelay(int socket, StreamSession* session, const char* path) {
  session->playerElsewhere = !socket_peerOnThisBox(socket);
  switch (openTransparentSource(session)) {
    case RelaySource::kOpen:
      // The source's length, so that a player knows where the file ends.
      sendAnswer(socket, kOkStatus, session->source->contentLength);
      return true;
    case RelaySource::kRefused:
      LogPrintf("%s, Forbidden for a player elsewhere: this box's own address, %s\n", "receiveHttpData", path);
      sendAnswer(socket, kForbiddenStatus);
      return false;
    case RelaySource::kMissing:
      break;
  }
  LogPrintf("%s, File not found, %s\n", "receiveHttpData", path);
  sendAnswer(socket, kNotFoundStatus);
  return false;
}

// Answers and streams until done. A channel is answered 200 at once; a
// session or buffer that cannot be had then ends it with the answer's
// header only.
void streamRequest(ServerControl* server, int socket, const HttpRequest& request, const char* path) {
  const bool channel = request.kind == RequestKind::Channel;
  if (channel) sendAnswer(socket, kOkStatus);
  ByteBuffer buffer = allocZeroed<uint8_t>(kStreamBufferSize);
  StreamSession* session = buffer ? openSession(request) : nullptr;
  if (session == nullptr) {
    Log(ERROR, "%s, no memory for the stream", "receiveHttpData");
    if (!channel) sendAnswer(socket, kNotFoundStatus);
    return;
  }
  if (channel || answerRelay(socket, session, path)) pumpChunks(server, socket, &session, &buffer, channel);
  closeFLVStream(session);
}

void serveRequest(ServerControl* server, int socket) {
  if (!waitForRequest(server, socket)) return;
  char text[kRequestSize] = {};
  ssize_t received = recv(socket, text, kRequestSize - 1, 0);
  Log(DEBUG, "%s: Receive HTTP header:\n%s", "receiveHttpData", text);
  HttpRequest request = parseHttpRequest({text, received > 0 ? static_cast<size_t>(received) : 0});
  if (request.kind == RequestKind::Unsupported) {
    LogPrintf("%s: No request header received/unsupported method\n", "receiveHttpData");
    return;
  }
  // The path ends at a blank or at the text's NUL; ending it with a NUL
  // makes it a C string inside `text`.
  text[request.path.data - text + request.path.size] = '\0';
  const char* path = request.path.data;
  Log(DEBUG, "%s: Request header: %s", "receiveHttpData", path);
  if (request.kind == RequestKind::NotFound) {
    LogPrintf("%s, File not found, %s\n", "receiveHttpData", path);
    sendAnswer(socket, kNotFoundStatus);
    return;
  }
  streamRequest(server, socket, request, path);
}

}  // namespace

void receiveHttpData(ServerControl* server, int socket) {
  // Only from Accepting: a stop that came since the accept has left
  // StopRequested (or Stopped), which must stay so for the connection thread
  // to end on.
  int32_t expected = Accepting;
  if (!server->state.compareExchange(&expected, Streaming)) {
    close(socket);
    return;
  }
  serveRequest(server, socket);
  close(socket);
  // Back to Accepting only if no stop was requested meanwhile.
  expected = Streaming;
  (void)server->state.compareExchange(&expected, Accepting);
}
