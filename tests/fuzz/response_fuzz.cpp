// Arbitrary response bytes through a socket pair into the exchange of the web
// file client. The far side holds the whole input and is shut for writing
// before the exchange starts, so every run ends and no thread is needed (the
// request lands unread in the far side's receive queue). Checks that the
// answer is one the client can act on.

#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "log/log.h"
#include "net/http_response.h"
#include "support/fuzz_support.h"
#include "support/text_print.h"

using testsupport::fuzzCheck;

namespace {

// A socket pair whose first end reads `data` and then the end; false when
// the input does not fit the socket buffer at once (such inputs are skipped).
bool prefilledPair(const uint8_t* data, size_t size, int pair[2]) {
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return false;
  int room = 1 << 20;  // the kernel caps it; a header needs at most 64 KiB and a little
  setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
  const ssize_t sent = size == 0 ? 0 : send(pair[1], data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
  if (sent != static_cast<ssize_t>(size) || shutdown(pair[1], SHUT_WR) != 0) {
    close(pair[0]);
    close(pair[1]);
    return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  debuglevel = 0;
  int pair[2];
  if (!prefilledPair(data, size, pair)) return 0;
  const HttpAnswer answer = httpExchange(pair[0], "fuzz.test", "/p?id=7");
  close(pair[0]);
  close(pair[1]);

  switch (answer.kind) {
    case HttpAnswerKind::Body:
      fuzzCheck(answer.status == 200 || answer.status == 206);
      fuzzCheck(answer.contentLength >= INT32_MIN && answer.contentLength <= INT32_MAX);
      break;
    case HttpAnswerKind::Redirect:
      fuzzCheck(answer.status == 302 || answer.status == 307);
      fuzzCheck(str(answer.location).find_first_of("\r\n") == std::string::npos);
      fuzzCheck(endsWith(answer.location.view(), "?id=7"));
      break;
    case HttpAnswerKind::Failed:
      fuzzCheck(answer.contentLength == 0 && answer.location.empty());
      break;
  }
  return 0;
}
