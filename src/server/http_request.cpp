#include "server/http_request.h"

#include "base/text.h"

namespace {

constexpr size_t kPathStart = 4;   // the byte behind "GET" is skipped whatever it is
constexpr size_t kMinQuery = 5;    // "?id=1": the "?", a key of three and one character
constexpr std::string_view kChannelKey = "id=";
constexpr std::string_view kRelayKey = "li=";

// The path ends at the first blank (the end of the request target) or at the
// end of the text; a NUL ends the text, as it would for any C string reader.
std::string_view cutPath(std::string_view received) {
  std::string_view path = received.substr(kPathStart);
  return path.substr(0, path.find_first_of(std::string_view(" \0", 2)));
}

HttpRequest classify(std::string_view path) {
  HttpRequest request{RequestKind::NotFound, path, 0, {}};
  if (path.empty() || path.front() != '/') return request;
  size_t mark = path.find('?');
  if (mark == std::string_view::npos || path.size() - mark < kMinQuery) return request;
  std::string_view key = path.substr(mark + 1, kChannelKey.size());
  std::string_view value = path.substr(mark + 1 + kChannelKey.size());
  if (key == kChannelKey) {
    request.channelId = parseChannelNumber(value);
    if (request.channelId != 0) request.kind = RequestKind::Channel;
  } else if (key == kRelayKey) {
    request.url = value;
    request.kind = RequestKind::Relay;
  }
  return request;
}

}  // namespace

int parseChannelNumber(std::string_view value) { return readClampedDecimal(value); }

HttpRequest parseHttpRequest(std::string_view received) {
  if (received.size() < kPathStart + 1 || received.substr(0, 3) != "GET") return {};
  return classify(cutPath(received));
}
