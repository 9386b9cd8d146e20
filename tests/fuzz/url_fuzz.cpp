// webFileParseUrl over arbitrary text: a handle exactly for "http://" and
// "https://" URLs without a blank or control byte, with a non-empty port (by default the scheme's), a path
// that starts with '/', and host, port and path that put back together give
// the URL again.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "log/log.h"
#include "net/web_file.h"
#include "support/fuzz_support.h"
#include "support/text_print.h"

using testsupport::fuzzCheck;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  debuglevel = 0;
  const std::string url(reinterpret_cast<const char*>(data), size);  // read as C text: up to a NUL
  WebFilePtr file(webFileParseUrl(url.c_str()));
  const std::string text = url.c_str();
  const bool secure = text.compare(0, 8, "https://") == 0;
  const bool isHttp = secure || text.compare(0, 7, "http://") == 0;
  // A blank or control byte would bend the request line: no handle for it.
  const bool bends = std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) <= ' ' || c == 0x7f; });
  fuzzCheck((file != nullptr) == (isHttp && !bends));
  if (file == nullptr) return 0;
  fuzzCheck(file->secure == secure);
  const size_t start = secure ? 8 : 7;

  fuzzCheck(file->fd == -1 && file->bytesRead == 0 && file->contentLength == 0);
  const std::string host = str(file->host), port = str(file->port), path = str(file->path);
  fuzzCheck(!port.empty() && !path.empty() && path[0] == '/');
  fuzzCheck(host.find('/') == std::string::npos);
  fuzzCheck(host[0] == '[' || host.find(':') == std::string::npos);  // an IPv6 address keeps its brackets
  fuzzCheck(port.find('/') == std::string::npos);
  const std::string authority = text.substr(start, text.find('/', start) - start);
  // The port stands behind the first ':', or behind the ']' that ends a bracketed address.
  size_t colon = authority.find(':');
  const size_t bracket = authority.find(']');
  if (authority[0] == '[' && bracket != std::string::npos) colon = authority.find(':', bracket) == bracket + 1 ? bracket + 1 : std::string::npos;
  const bool hasPort = colon != std::string::npos;
  const std::string portText = hasPort ? authority.substr(colon + 1) : "";
  fuzzCheck(authority == (hasPort ? host + ":" + portText : host));
  fuzzCheck(port == (!portText.empty() ? portText : secure ? "443" : "80"));
  fuzzCheck(start + authority.size() == text.size() ? path == "/" : text.substr(start + authority.size()) == path);
  return 0;
}
