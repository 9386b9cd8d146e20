// The request parser over any received text of up to 2047 bytes. Checks that
// every view stays inside the input and that each kind keeps its promises.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "server/http_request.h"
#include "support/fuzz_support.h"

using testsupport::fuzzCheck;

namespace {

constexpr size_t kMaxReceive = 2047;

bool inside(std::string_view part, std::string_view whole) {
  return part.empty() || (part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxReceive) return 0;
  std::string_view received(reinterpret_cast<const char*>(data), size);
  HttpRequest request = parseHttpRequest(received);
  const std::string_view path(request.path.data, request.path.size);
  const std::string_view url(request.url.data, request.url.size);
  const std::string_view host(request.host.data, request.host.size);
  fuzzCheck(inside(path, received) && inside(url, received) && inside(host, received));
  fuzzCheck(!(request.head && request.post));
  fuzzCheck(path.find_first_of(std::string_view(" \n\0", 3)) == std::string_view::npos);
  // A control byte in the target is a bad request, whatever else it is.
  const bool control = std::any_of(path.begin(), path.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
  fuzzCheck(control == (request.kind == RequestKind::BadRequest));
  switch (request.kind) {
    case RequestKind::Unsupported:
      fuzzCheck(path.empty());
      break;
    case RequestKind::NotFound:
      fuzzCheck(received.substr(0, 3) == "GET" || request.head);
      break;
    case RequestKind::BadRequest:  // told by the control byte alone, above
      break;
    case RequestKind::Channel:
      fuzzCheck(request.channelId != 0 && path.front() == '/');
      break;
    case RequestKind::Relay:
      fuzzCheck(!url.empty() && path.ends_with(url));
      fuzzCheck(url.data()[-1] == '=' && url.data()[-3] == 'l');
      break;
    case RequestKind::Status:
      fuzzCheck(path.substr(0, path.find('?')) == "/status");
      break;
    case RequestKind::NotAllowed:
      fuzzCheck(request.post);
      break;
    case RequestKind::NotImplemented:
      fuzzCheck(!request.post && !request.head && received.substr(0, 3) != "GET");
      break;
    case RequestKind::LineupPost:
      fuzzCheck(path.substr(0, path.find('?')) == "/lineup.post");
      break;
    default:  // a page, or a format that is not served: a path of the box's own
      fuzzCheck(path.front() == '/' && !request.post);
      break;
  }
  return 0;
}
