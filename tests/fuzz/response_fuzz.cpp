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
#include "support/fuzz_support.h"

using testsupport::feedAndShutdown;
using testsupport::fuzzCheck;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  debuglevel = 0;
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return 0;
  std::thread server(feedAndShutdown, pair[1], data, size);
  const HttpAnswer answer = httpExchange(pair[0], "fuzz.test", "/p?id=7");
  close(pair[0]);  // unblocks the feeder when the client stopped reading early
  server.join();
  close(pair[1]);

  switch (answer.kind) {
    case HttpAnswerKind::Body:
      fuzzCheck(answer.status == 200 || answer.status == 206);
      fuzzCheck(answer.contentLength >= INT32_MIN && answer.contentLength <= INT32_MAX);
      break;
    case HttpAnswerKind::Redirect:
      fuzzCheck(answer.status == 302 || answer.status == 307);
      fuzzCheck(answer.location.find_first_of("\r\n") == std::string::npos);
      fuzzCheck(answer.location.size() >= 5 && answer.location.compare(answer.location.size() - 5, 5, "?id=7") == 0);
      break;
    case HttpAnswerKind::Failed:
      fuzzCheck(answer.contentLength == 0 && answer.location.empty());
      break;
  }
  return 0;
}
