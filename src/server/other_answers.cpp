#include "server/other_answers.h"

#include <sys/socket.h>

#include <stdio.h>

#include "base/text.h"
#include "base/wait.h"
#include "log/log.h"
#include "net/socket.h"
#include "server/pages.h"

namespace {

constexpr int64_t kSendLimitMs = 5000;
constexpr int64_t kBodyWaitMs = 2000;   // a POST's body: what comes within this long is read
constexpr int64_t kLongestBody = 65536; // and no more than this: a scan request is a few bytes

constexpr char kFlvBlock[] =
    "\r\nServer: Zomak TV Proxy Server for Pendrake \r\nContent-Type: Video/MPEG \r\nConnection: close \r\n\r\n";
constexpr char kTsBlock[] =
    "\r\nServer: Zomak TV Proxy Server for Pendrake \r\nContent-Type: video/mp2t \r\nConnection: close \r\n\r\n";

// A status line with no body behind it, and `extra` header lines.
void sendBare(int socket, const char* status, const char* extra = "") {
  char answer[256];
  const int size = snprintf(answer, sizeof answer,
                            "HTTP/1.0 %s\r\nServer: Zomak TV Proxy Server for Pendrake \r\n%s"
                            "Content-Length: 0 \r\nConnection: close \r\n\r\n",
                            status, extra);
  (void)socket_sendAll(socket, answer, static_cast<size_t>(size), kSendLimitMs);
}

// Reads what is left of a POST's body (by its Content-Length, bounded) and
// drops it: a socket closed with unread data resets the connection, and the
// client might never see the answer.
void dropBody(int socket, TextView received) {
  const size_t end = findText(received, "\r\n\r\n");
  const int64_t arrived = end == kNotFound ? 0 : static_cast<int64_t>(received.size - end - 4);
  int64_t left = readClampedDecimal(headerField(received, "Content-Length")) - arrived;
  if (left > kLongestBody) left = kLongestBody;
  const int64_t deadlineMs = monotonicMs() + kBodyWaitMs;
  char sink[4096];
  while (left > 0 && !passed(deadlineMs)) {
    const Step step = waitStep(socket, POLLIN, deadlineMs);
    if (step == Step::kFailed) return;
    if (step == Step::kNotYet) continue;
    const ssize_t got = recv(socket, sink, sizeof sink, MSG_DONTWAIT);
    if (got <= 0) return;
    left -= got;
  }
}

bool isPage(RequestKind kind) {
  switch (kind) {
    case RequestKind::StartPage:
    case RequestKind::StatusJson:
    case RequestKind::Playlist:
    case RequestKind::Discover:
    case RequestKind::Lineup:
    case RequestKind::LineupStatus:
    case RequestKind::LineupPost:
    case RequestKind::DeviceXml: return true;
    default: return false;
  }
}

void refuse(int socket, const HttpRequest& request, const char* status, const char* why, const char* extra = "") {
  LogPrintf("%s, %s, %.*s\n", "receiveHttpData", why, static_cast<int>(request.path.size), request.path.data);
  sendBare(socket, status, extra);
}

}  // namespace

const char* channelHeaderBlock(StreamFormat format) { return format == StreamFormat::Ts ? kTsBlock : kFlvBlock; }

bool answerBesidesStreams(ServerControl* server, int socket, const HttpRequest& request, TextView received) {
  if (request.post) dropBody(socket, received);
  switch (request.kind) {
    case RequestKind::BadFormat: refuse(socket, request, "400 Bad Request", "Bad request (format)"); return true;
    case RequestKind::NotAllowed:
      refuse(socket, request, "405 Method Not Allowed", "Method not allowed", "Allow: GET, HEAD \r\n");
      return true;
    case RequestKind::NotImplemented: refuse(socket, request, "501 Not Implemented", "Method not implemented"); return true;
    default: break;
  }
  if (!isPage(request.kind)) return false;
  answerPage(server, socket, request);
  return true;
}
