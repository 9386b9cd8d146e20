// Arbitrary response bytes through a socket pair into the exchange of the web
// file client. The far side writes the input and closes, so every run ends.
// Checks that the answer is one the client can act on.

#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>

#include "log/log.h"
#include "net/http_response.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

void feed(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
    if (sent <= 0) break;
    data += sent;
    size -= static_cast<size_t>(sent);
  }
  shutdown(fd, SHUT_WR);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  debuglevel = 0;
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return 0;
  std::thread server(feed, pair[1], data, size);
  const HttpAnswer answer = httpExchange(pair[0], "fuzz.test", "/p?id=7");
  close(pair[0]);  // unblocks the feeder when the client stopped reading early
  server.join();
  close(pair[1]);

  switch (answer.kind) {
    case HttpAnswerKind::Body:
      check(answer.status == 200 || answer.status == 206);
      check(answer.contentLength >= INT32_MIN && answer.contentLength <= INT32_MAX);
      break;
    case HttpAnswerKind::Redirect:
      check(answer.status == 302 || answer.status == 307);
      check(answer.location.find_first_of("\r\n") == std::string::npos);
      check(answer.location.size() >= 5 && answer.location.compare(answer.location.size() - 5, 5, "?id=7") == 0);
      break;
    case HttpAnswerKind::Failed:
      check(answer.contentLength == 0 && answer.location.empty());
      break;
  }
  return 0;
}
