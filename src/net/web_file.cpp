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

enum class UrlResult { Assigned, NotHttp, Unusable, OutOfMemory };

// Whether `url` holds a byte that would bend the request line it goes into
// (a blank, CR, LF or another control byte, DEL).
bool holdsBlankOrControl(TextView url) {
  for (size_t i = 0; i < url.size; ++i) {
    if (static_cast<unsigned char>(url[i]) <= ' ' || url[i] == 0x7f) return true;
  }
  return false;
}

// Fills secure, host, port and path from `url`; nothing changes unless it
// is "http://..." or "https://..." without a blank or control byte, and all
// three could be had.
UrlResult assignUrl(WebFileHandle& file, TextView url) {
  const bool secure = startsWith(url, kSecure);
  if (!secure && !startsWith(url, kPlain)) return UrlResult::NotHttp;
  if (holdsBlankOrControl(url)) return UrlResult::Unusable;
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

// The file's host as the Host header names it, and a URL's authority:
// with the port when it is not the scheme's default.
bool authorityOf(const WebFileHandle& file, HeapText* authority) {
  const bool defaultPort = file.port == TextView(file.secure ? "443" : "80");
  return defaultPort ? copyText(authority, file.host.view()) : joinText(authority, file.host.view(), ":", file.port.view());
}

// Whether a reference names its scheme ("https:", "ftp:"): letters, digits,
// '+', '-' or '.' behind a letter, up to a ':' before any '/', '?' or '#'.
bool namesScheme(TextView reference) {
  const size_t colon = findChar(reference, ':');
  if (colon == kNotFound || colon == 0 || findAnyOf(subText(reference, 0, colon), "/?#") != kNotFound) return false;
  return (reference[0] | 0x20) >= 'a' && (reference[0] | 0x20) <= 'z';
}

// A redirect's location as an absolute URL, resolved against the file's own
// (RFC 3986, without removing dot segments, which the host does itself): a
// URL as it stands; "//host/path" in the file's scheme; "/path" on the
// file's host and port; "?query" on the file's path; any other relative
// path beside the file's path. False when memory is short.
bool resolveLocation(const WebFileHandle& file, TextView location, HeapText* url) {
  if (namesScheme(location)) return copyText(url, location);
  const TextView scheme = file.secure ? "https:" : "http:";
  if (startsWith(location, "//")) return joinText(url, scheme, location);
  HeapText authority;
  if (!authorityOf(file, &authority)) return false;
  const TextView path = cutAtAnyOf(file.path.view(), "?");
  TextView base;  // what the location goes behind
  if (startsWith(location, "?")) {
    base = path;
  } else if (!startsWith(location, "/")) {
    size_t slash = 0;
    for (size_t at = findChar(path, '/'); at != kNotFound; at = findChar(path, '/', at + 1)) slash = at;
    base = subText(path, 0, slash + 1);
  }
  return joinText(url, scheme, "//", authority.view(), base, location);
}

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

// Why a redirect's location is not followed.
void logRedirectRefused(UrlResult result, int status) {
  if (result == UrlResult::OutOfMemory) logOutOfMemory("webFileConnect");
  if (result == UrlResult::NotHttp) {
    Log(ERROR, "%s, redirect to a location that is neither an http:// nor an https:// URL (HTTP code: %d).",
        "webFileConnect", status);
  }
  if (result == UrlResult::Unusable) {
    Log(ERROR, "%s, redirect to a location with a blank or a control byte (HTTP code: %d).", "webFileConnect",
        status);
  }
}

// One connect: at most kMaxRedirects redirects are followed.
int64_t connectFollowingRedirects(WebFileHandle& file) {
  file.failure = FetchFailure::kFinal;
  for (int hops = 0;; ++hops) {
    closeSocket(file);
    if (connectToHost(file) < 0) return -1;
    HeapText hostHeader;
    if (!authorityOf(file, &hostHeader)) {
      logOutOfMemory("webFileConnect");
      closeSocket(file);
      return -1;
    }
    HttpAnswer answer =
        httpExchange(WebLink(file.fd, file.tls), hostHeader.c_str(), file.path.c_str(), file.range.c_str(),
                     file.headOnly ? "HEAD" : "GET");
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
    HeapText url;
    const UrlResult next = resolveLocation(file, answer.location.view(), &url) ? assignUrl(file, url.view())
                                                                                : UrlResult::OutOfMemory;
    if (next != UrlResult::Assigned) {
      logRedirectRefused(next, answer.status);
      return -1;
    }
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
  file->flow = FlowWatch{};  // a new body's flow
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

namespace {

// One read of the body by `read` (link_read or link_readSome), its flow
// watched: a body that trickles ends as a silent one does, logged once.
int readWatched(WebFileHandle* file, void* buffer, int size, int (*read)(WebLink, void*, int)) {
  if (file == nullptr || file->fd == -1) return 0;
  const bool stalledBefore = file->flow.stalled;
  socket_watchFlow(&file->flow);
  const int got = read(WebLink(file->fd, file->tls), buffer, size);
  socket_watchFlow(nullptr);
  file->bytesRead += got;
  if (file->flow.stalled && !stalledBefore) {
    Log(ERROR, "%s, %s:%s sent fewer than %lld bytes in %lld s: the body counts as stalled", "webFileRead",
        file->host.c_str(), file->port.c_str(), static_cast<long long>(kFlowLeastBytes),
        static_cast<long long>(kFlowWindowMs / 1000));
  }
  return got;
}

}  // namespace

int webFileRead(WebFileHandle* file, void* buffer, int size) { return readWatched(file, buffer, size, link_read); }

int webFileReadSome(WebFileHandle* file, void* buffer, int size) {
  return readWatched(file, buffer, size, link_readSome);
}

int webFileClose(WebFileHandle* file) {
  if (file == nullptr) return 0;
  closeSocket(*file);
  freeRecord(file);
  return 0;
}
