// Arbitrary response bytes through a socket pair into the exchange of the web
// file client. The far side holds the whole input and is shut for writing
// before the exchange starts, so every run ends and no thread is needed (the
// request lands unread in the far side's receive queue). Checks that the
// answer is one the client can act on, and that a redirect leads where the
// Location rules say.

#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <cstdlib>
#include <string>

#include "log/log.h"
#include "net/http_response.h"
#include "support/fuzz_support.h"
#include "support/text_print.h"

using testsupport::fuzzCheck;

namespace {

constexpr const char* kPath = "/p?id=7&start=99";  // a live jump's request
constexpr const char* kQuery = "?id=7&start=99";

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

// The header as the client reads it: up to the blank line (its last LF not
// counted) or the end of the input, then up to a NUL; empty when too long.
std::string headerOf(const std::string& input) {
  const size_t blank = input.find("\r\n\r\n");
  std::string header = blank == std::string::npos ? input : input.substr(0, blank + 3);
  if (header.size() >= kHttpBufferSize) return "";
  return header.substr(0, header.find('\0'));
}

// Where a redirect of `header` must lead, by the rules written out once more:
// the value of the first "Location:" line but the first (the name whole, in
// any case), its blanks, fragment and trailing blanks gone; its own query as
// it stands, with the request's "start=99" added when it has none; without
// one, the request's query. Empty when there is no location.
std::string expectedLocation(const std::string& header) {
  for (size_t line = header.find('\n'); line != std::string::npos; line = header.find('\n', line + 1)) {
    std::string name = header.substr(line + 1, 9);
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (name != "location:") continue;
    std::string value = header.substr(line + 10);
    value = value.substr(value.find_first_not_of(" \t") == std::string::npos ? value.size() : value.find_first_not_of(" \t"));
    value = value.substr(0, value.find_first_of("\r\n"));
    value = value.substr(0, value.find('#'));
    while (!value.empty() && std::strchr(" \t\n\v\f\r", value.back()) != nullptr) value.pop_back();
    if (value.empty()) return "";
    const size_t mark = value.find('?');
    if (mark == std::string::npos) return value + std::string(kQuery);
    const std::string query = value.substr(mark);
    for (size_t at = query.find_first_of("?&"); at != std::string::npos; at = query.find_first_of("?&", at + 1)) {
      if (query.compare(at + 1, 6, "start=") == 0) return value;
    }
    return value + (mark + 1 == value.size() ? "" : "&") + "start=99";
  }
  return "";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  debuglevel = 0;
  int pair[2];
  if (!prefilledPair(data, size, pair)) return 0;
  const HttpAnswer answer = httpExchange(pair[0], "fuzz.test", kPath);
  close(pair[0]);
  close(pair[1]);

  const std::string header = headerOf(std::string(reinterpret_cast<const char*>(data), size));
  const bool redirectStatus = answer.status == 301 || answer.status == 302 || answer.status == 307 || answer.status == 308;
  switch (answer.kind) {
    case HttpAnswerKind::Body:
      fuzzCheck(answer.status == 200 || answer.status == 206);
      fuzzCheck(answer.contentLength >= INT32_MIN && answer.contentLength <= INT32_MAX);
      fuzzCheck(answer.contentRange.empty() || answer.status == 206);
      break;
    case HttpAnswerKind::Redirect:
      fuzzCheck(redirectStatus);
      fuzzCheck(str(answer.location).find_first_of("\r\n#") == std::string::npos);
      fuzzCheck(str(answer.location) == expectedLocation(header));
      break;
    case HttpAnswerKind::Failed:
      fuzzCheck(answer.contentLength == 0 && answer.location.empty());
      // A redirect with a location is never dropped.
      fuzzCheck(!redirectStatus || expectedLocation(header).empty());
      break;
  }
  return 0;
}
