#include "server/request.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <utility>

#include "base/heap.h"
#include "log/log.h"
#include "server/http_request.h"
#include "stream/flv_remux.h"
#include "stream/relay.h"
#include "stream/session.h"

namespace {

constexpr int kRequestWaitMillis = 5000;
constexpr size_t kRequestSize = 2048;  // one receive of at most kRequestSize - 1 bytes
constexpr size_t kStreamBufferSize = 1048576;
constexpr uint32_t kChannelCapacity = 1048576;
constexpr uint32_t kRelayCapacity = 9472;

constexpr char kHeaderBlock[] =
    "\r\nServer: Zomak TV Proxy Server for Pendrake \r\nContent-Type: Video/MPEG \r\nConnection: close \r\n\r\n";
constexpr char kOkStatus[] = "HTTP/1.0 200 OK";
constexpr char kNotFoundStatus[] = "HTTP/1.0 404 File Not Found";

// Sends all `size` bytes: a short send (a signal, a send timeout) must not
// drop the rest of a chunk. The bytes sent, 0 when the peer takes no more,
// -1 with errno set when a send fails.
ssize_t sendAll(int socket, const void* data, size_t size) {
  auto* bytes = static_cast<const uint8_t*>(data);
  size_t sent = 0;
  while (sent < size) {
    ssize_t now = send(socket, bytes + sent, size - sent, MSG_NOSIGNAL);
    if (now < 0 && errno == EINTR) continue;
    if (now < 0) return -1;
    if (now == 0) return 0;
    sent += static_cast<size_t>(now);
  }
  return static_cast<ssize_t>(sent);
}

// The status line with the header block; the result is not looked at, as the
// stream's own sends will notice a player that has gone.
void sendAnswer(int socket, const char* status) {
  char answer[512];
  int length = snprintf(answer, sizeof answer, "%s%s", status, kHeaderBlock);
  (void)sendAll(socket, answer, static_cast<size_t>(length));
}

// poll rather than select: no descriptor limit of an fd_set to overrun.
bool waitForRequest(int socket) {
  pollfd wanted{socket, POLLIN, 0};
  return poll(&wanted, 1, kRequestWaitMillis) > 0;
}

// Sends chunks of the session's stream until the source ends, a send fails
// or a stop has been requested (checked after each chunk).
void pumpChunks(ServerControl* server, int socket, StreamSession** session, ByteBuffer* buffer, bool channel) {
  for (;;) {
    int32_t size = channel ? getFLVPacket(session, buffer, kChannelCapacity)
                           : getTransparentPacket(session, buffer, kRelayCapacity);
    if (size <= 0 || *buffer == nullptr) return;
    ssize_t sent = sendAll(socket, buffer->get(), static_cast<size_t>(size));
    if (sent < 0) {
      Log(ERROR, "%s, sending failed, error: %d", "receiveHttpData", errno);
      return;
    }
    if (sent == 0 || server->state.load() != Streaming) return;
  }
}

// A session set up for the request, or null when memory is short.
StreamSession* openSession(const HttpRequest& request) {
  StreamSession* session = openFLVStream();
  if (session == nullptr || request.kind == RequestKind::Channel) {
    if (session != nullptr) session->channelId = request.channelId;
    return session;
  }
  std::optional<std::string> url = copyText(request.url);
  if (!url) {
    closeFLVStream(session);
    return nullptr;
  }
  session->videoUrl = std::move(*url);
  return session;
}

// The 200 has gone out; streams until done. A session or buffer that cannot
// be had ends the request with the answer's header only.
void streamRequest(ServerControl* server, int socket, const HttpRequest& request) {
  ByteBuffer buffer = allocZeroed<uint8_t>(kStreamBufferSize);
  StreamSession* session = buffer ? openSession(request) : nullptr;
  if (session == nullptr) {
    Log(ERROR, "%s, no memory for the stream", "receiveHttpData");
    return;
  }
  pumpChunks(server, socket, &session, &buffer, request.kind == RequestKind::Channel);
  closeFLVStream(session);
}

void serveRequest(ServerControl* server, int socket) {
  if (!waitForRequest(socket)) return;
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
  text[request.path.data() - text + request.path.size()] = '\0';
  const char* path = request.path.data();
  Log(DEBUG, "%s: Request header: %s", "receiveHttpData", path);
  if (request.kind == RequestKind::NotFound) {
    LogPrintf("%s, File not found, %s\n", "receiveHttpData", path);
    sendAnswer(socket, kNotFoundStatus);
    return;
  }
  sendAnswer(socket, kOkStatus);
  streamRequest(server, socket, request);
}

}  // namespace

void receiveHttpData(ServerControl* server, int socket) {
  // Only from Accepting: a stop that came since the accept has left Stopped,
  // which must stay so for the connection thread and the main thread to see.
  int32_t expected = Accepting;
  if (!server->state.compare_exchange_strong(expected, Streaming)) {
    close(socket);
    return;
  }
  serveRequest(server, socket);
  close(socket);
  // Back to Accepting only if no stop was requested meanwhile.
  expected = Streaming;
  server->state.compare_exchange_strong(expected, Accepting);
}
