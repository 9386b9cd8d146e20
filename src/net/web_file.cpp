#include "net/web_file.h"

#include <unistd.h>

#include "base/heap.h"
#include "base/language.h"
#include "log/log.h"
#include "net/http_response.h"
#include "net/socket.h"

namespace {

constexpr TextView kPlain = "http://";
constexpr TextView kSecure = "https://";
constexpr int kMaxRedirects = 10;  // hops followed in one connect

void closeSocket(WebFileHandle& file) {
  tls_close(file.tls);
  file.tls = nullptr;
  if (file.fd != -1) close(file.fd);
  file.fd = -1;
}

enum class UrlResult { Assigned, NotHttp, OutOfMemory };

// Fills secure, host, port and path from `url`; nothing changes unless it
// is "http://..." or "https://..." and all three could be had.
UrlResult assignUrl(WebFileHandle& file, TextView url) {
  const bool secure = startsWith(url, kSecure);
  if (!secure && !startsWith(url, kPlain)) return UrlResult::NotHttp;
  TextView rest = subText(url, secure ? kSecure.size : kPlain.size);
  size_t slash = findChar(rest, '/');
  TextView hostAndPort = subText(rest, 0, slash);
  // An IPv6 address stands in brackets ("[2001:db8::1]:8080"), which stay
  // with the host, as the Host header has them.
  size_t colon = findChar(hostAndPort, ':');
  const size_t bracket = startsWith(hostAndPort, "[") ? findChar(hostAndPort, ']') : kNotFound;
  if (bracket != kNotFound) colon = findChar(hostAndPort, ':', bracket) == bracket + 1 ? bracket + 1 : kNotFound;
  TextView portText = colon == kNotFound ? TextView() : subText(hostAndPort, colon + 1);
  // Build all three first: a failed allocation leaves the handle as it was.
  const TextView defaultPort = secure ? "443" : "80";
  HeapText host, port, path;
  if (!copyText(&host, subText(hostAndPort, 0, colon)) || !copyText(&port, portText.empty() ? defaultPort : portText) ||
      !copyText(&path, slash == kNotFound ? TextView("/") : subText(rest, slash))) {
    return UrlResult::OutOfMemory;
  }
  file.secure = secure;
  file.host = moved(host);
  file.port = moved(port);
  file.path = moved(path);
  return UrlResult::Assigned;
}

void logOutOfMemory(const char* operation) { Log(ERROR, "%s, out of memory.", operation); }

// The file's host as a look-up and TLS take it: an IPv6 address without
// its brackets; false when memory is short.
bool bareHost(const WebFileHandle& file, HeapText* bare) {
  const TextView host = file.host.view();
  const bool bracketed = startsWith(host, "[") && endsWith(host, "]");
  if (copyText(bare, bracketed ? subText(host, 1, host.size - 2) : host)) return true;
  logOutOfMemory("webFileConnect");
  return false;
}

// A connection to the file's host, with its TLS session for https://; the
// socket, or -1 with `failure` set.
int connectToHost(WebFileHandle& file) {
  HeapText host;
  if (!bareHost(file, &host)) return -1;
  file.fd = socket_connect(host.c_str(), file.port.c_str());
  if (file.fd < 0) {
    file.failure = FetchFailure::kMayPass;  // refused, reset, silent or a name not (yet) known
    return -1;
  }
  // Checked on the address connected to, hop by hop: a name or a redirect
  // that leads to this box is refused as its address would be.
  file.reachedBox = file.awayFromBox && socket_reachesThisBox(file.fd);
  if (file.reachedBox) {
    Log(ERROR, "%s, %s:%s is this box itself, refused for a player elsewhere.", "webFileConnect",
        file.host.c_str(), file.port.c_str());
    closeSocket(file);
    return -1;
  }
  if (!file.secure) return file.fd;
  bool final = true;
  file.tls = tls_open(file.fd, host.c_str(), &final);
  if (file.tls != nullptr) return file.fd;
  file.failure = final ? FetchFailure::kFinal : FetchFailure::kMayPass;
  closeSocket(file);
  return -1;
}

// Whether an answer that gave no body may come out otherwise in a moment:
// none or a cut one (status 0), a host that is busy or restarting (5xx), one
// that timed the request out (408) or asks to be asked later (429).
FetchFailure failureOf(const HttpAnswer& answer) {
  const int status = answer.status;
  const bool mayPass = status == 0 || status == 408 || status == 429 || status >= 500;
  return mayPass ? FetchFailure::kMayPass : FetchFailure::kFinal;
}

// One connect: at most kMaxRedirects redirects are followed.
int64_t connectFollowingRedirects(WebFileHandle& file) {
  file.failure = FetchFailure::kFinal;
  for (int hops = 0;; ++hops) {
    closeSocket(file);
    if (connectToHost(file) < 0) return -1;
    HttpAnswer answer =
        httpExchange(WebLink(file.fd, file.tls), file.host.c_str(), file.path.c_str(), file.range.c_str());
    file.status = answer.status;
    if (answer.kind == HttpAnswerKind::Body) {
      file.contentRange = moved(answer.contentRange);
      file.failure = FetchFailure::kNone;
      return answer.contentLength;
    }
    closeSocket(file);
    if (answer.kind != HttpAnswerKind::Redirect) {
      file.failure = failureOf(answer);
      return -1;
    }
    if (hops == kMaxRedirects) {
      Log(ERROR, "%s, more than %d redirects (HTTP code: %d).", "webFileConnect", kMaxRedirects,
          answer.status);
      return -1;
    }
    Log(DEBUG, "%s: HTTP Return code %d, Location: %s", "webFileConnect", answer.status,
        answer.location.c_str());
    const UrlResult next = assignUrl(file, answer.location.view());
    if (next == UrlResult::OutOfMemory) logOutOfMemory("webFileConnect");
    if (next == UrlResult::NotHttp) {
      Log(ERROR, "%s, redirect to a location that is neither an http:// nor an https:// URL (HTTP code: %d).",
          "webFileConnect", answer.status);
    }
    if (next != UrlResult::Assigned) return -1;
  }
}

}  // namespace

WebFileHandle* webFileParseUrl(const char* url) {
  if (url == nullptr) return nullptr;
  WebFilePtr file(newRecord<WebFileHandle>());
  const UrlResult assigned = file ? assignUrl(*file, url) : UrlResult::OutOfMemory;
  if (assigned == UrlResult::OutOfMemory) logOutOfMemory("webFileParseUrl");
  return assigned == UrlResult::Assigned ? file.release() : nullptr;
}

int64_t webFileConnect(WebFileHandle* file) {
  if (file == nullptr) return -1;
  return connectFollowingRedirects(*file);
}

WebFileHandle* webFileOpen(const char* url, FetchFailure* failure) {
  FetchFailure ignored;
  if (failure == nullptr) failure = &ignored;
  *failure = FetchFailure::kFinal;  // a URL that cannot be taken
  WebFilePtr file(webFileParseUrl(url));
  if (file == nullptr) return nullptr;
  file->bytesRead = 0;
  file->contentLength = webFileConnect(file.get());
  *failure = file->failure;
  if (file->fd == -1) return nullptr;
  return file.release();
}

int webFileRead(WebFileHandle* file, void* buffer, int size) {
  if (file == nullptr || file->fd == -1) return 0;
  int got = link_read(WebLink(file->fd, file->tls), buffer, size);
  file->bytesRead += got;
  return got;
}

int webFileReadSome(WebFileHandle* file, void* buffer, int size) {
  if (file == nullptr || file->fd == -1) return 0;
  int got = link_readSome(WebLink(file->fd, file->tls), buffer, size);
  file->bytesRead += got;
  return got;
}

int webFileClose(WebFileHandle* file) {
  if (file == nullptr) return 0;
  closeSocket(*file);
  freeRecord(file);
  return 0;
}
