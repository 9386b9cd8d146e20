// The request parser over any received text of up to 2047 bytes. Checks that
// every view stays inside the input and that each kind keeps its promises.

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
  fuzzCheck(inside(request.path, received) && inside(request.url, received));
  fuzzCheck(request.path.find_first_of(std::string_view(" \0", 2)) == std::string_view::npos);
  switch (request.kind) {
    case RequestKind::Unsupported:
      fuzzCheck(request.path.empty());
      break;
    case RequestKind::NotFound:
      fuzzCheck(received.substr(0, 3) == "GET");
      break;
    case RequestKind::Channel:
      fuzzCheck(request.channelId != 0 && request.path.front() == '/');
      break;
    case RequestKind::Relay:
      fuzzCheck(!request.url.empty() && request.path.ends_with(request.url));
      fuzzCheck(request.url.data()[-1] == '=' && request.url.data()[-3] == 'l');
      break;
  }
  return 0;
}
