// webFileParseUrl over arbitrary text: a handle exactly for "http://" URLs,
// with a non-empty port, a path that starts with '/', and host, port and
// path that put back together give the URL again.

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
  const bool isHttp = text.compare(0, 7, "http://") == 0;
  fuzzCheck((file != nullptr) == isHttp);
  if (file == nullptr) return 0;

  fuzzCheck(file->fd == -1 && file->bytesRead == 0 && file->contentLength == 0);
  const std::string host = str(file->host), port = str(file->port), path = str(file->path);
  fuzzCheck(!port.empty() && !path.empty() && path[0] == '/');
  fuzzCheck(host.find_first_of(":/") == std::string::npos);
  fuzzCheck(port.find('/') == std::string::npos);
  const std::string authority = text.substr(7, text.find('/', 7) - 7);
  const bool hasPort = authority.find(':') != std::string::npos;
  const std::string portText = hasPort ? authority.substr(authority.find(':') + 1) : "";
  fuzzCheck(authority == (hasPort ? host + ":" + portText : host));
  fuzzCheck(port == (portText.empty() ? "80" : portText));
  fuzzCheck(7 + authority.size() == text.size() ? path == "/" : text.substr(7 + authority.size()) == path);
  return 0;
}
