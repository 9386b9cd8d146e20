#include "net/web_file.h"

#include <string_view>

#include <unistd.h>

#include "base/heap.h"
#include "log/log.h"
#include "net/http_response.h"
#include "net/socket.h"

namespace {

constexpr std::string_view kScheme = "http://";
constexpr int kMaxRedirects = 10;  // hops followed in one connect

void closeSocket(WebFileHandle& file) {
  if (file.fd != -1) close(file.fd);
  file.fd = -1;
}

// Fills host, port and path from `url`; false (nothing changed) unless it is "http://...".
bool assignUrl(WebFileHandle& file, std::string_view url) {
  if (url.substr(0, kScheme.size()) != kScheme) return false;
  std::string_view rest = url.substr(kScheme.size());
  size_t slash = rest.find('/');
  std::string_view hostAndPort = rest.substr(0, slash);
  size_t colon = hostAndPort.find(':');
  std::string_view portText = colon == std::string_view::npos ? "" : hostAndPort.substr(colon + 1);
  // Build all three first: a failed allocation leaves the handle as it was.
  std::string host(hostAndPort.substr(0, colon));
  std::string port(portText.empty() ? std::string_view("80") : portText);
  std::string path(slash == std::string_view::npos ? std::string_view("/") : rest.substr(slash));
  file.host = std::move(host);
  file.port = std::move(port);
  file.path = std::move(path);
  return true;
}

// One connect: at most kMaxRedirects redirects are followed.
int64_t connectFollowingRedirects(WebFileHandle& file) {
  for (int hops = 0;; ++hops) {
    closeSocket(file);
    file.fd = socket_connect(file.host.c_str(), file.port.c_str());
    if (file.fd < 0) return -1;
    HttpAnswer answer = httpExchange(file.fd, file.host, file.path);
    if (answer.kind == HttpAnswerKind::Body) return answer.contentLength;
    closeSocket(file);
    if (answer.kind != HttpAnswerKind::Redirect) return -1;
    if (hops == kMaxRedirects) {
      Log(ERROR, "%s, more than %d redirects (HTTP code: %d).", "webFileConnect", kMaxRedirects,
          answer.status);
      return -1;
    }
    Log(DEBUG, "%s: HTTP Return code %d, Location: %s", "webFileConnect", answer.status,
        answer.location.c_str());
    if (!assignUrl(file, answer.location)) {
      Log(ERROR, "%s, redirect to a location that is not an http:// URL (HTTP code: %d).",
          "webFileConnect", answer.status);
      return -1;
    }
  }
}

}  // namespace

WebFileHandle* webFileParseUrl(const char* url) {
  if (url == nullptr) return nullptr;
  WebFilePtr file(newRecord<WebFileHandle>());
  bool isHttp = false;
  if (!file || !tryAllocate([&] { isHttp = assignUrl(*file, url); })) {
    Log(ERROR, "%s, out of memory.", "webFileParseUrl");
    return nullptr;
  }
  return isHttp ? file.release() : nullptr;
}

int64_t webFileConnect(WebFileHandle* file) {
  if (file == nullptr) return -1;
  int64_t length = -1;
  if (!tryAllocate([&] { length = connectFollowingRedirects(*file); })) {
    closeSocket(*file);
    Log(ERROR, "%s, out of memory.", "webFileConnect");
    return -1;
  }
  return length;
}

WebFileHandle* webFileOpen(const char* url) {
  WebFilePtr file(webFileParseUrl(url));
  if (file == nullptr) return nullptr;
  file->bytesRead = 0;
  file->contentLength = webFileConnect(file.get());
  if (file->fd == -1) return nullptr;
  return file.release();
}

int webFileRead(WebFileHandle* file, void* buffer, int size) {
  if (file == nullptr || file->fd == -1) return 0;
  int got = my_read(file->fd, buffer, size);
  file->bytesRead += got;
  return got;
}

int webFileClose(WebFileHandle* file) {
  if (file == nullptr) return 0;
  closeSocket(*file);
  delete file;
  return 0;
}
