#ifndef ZTV_NET_WEB_FILE_H
#define ZTV_NET_WEB_FILE_H

// One HTTP/1.0 download from the video service, over http:// or https://
// (net/tls.h): webFileOpen (connects, sends
// the client identification, follows 301/302/307/308 redirects, reads the response
// header), webFileRead as often as needed, webFileClose. The body ends when
// bytesRead reaches contentLength or when a read comes back short.

#include <stdint.h>

#include "base/heap.h"
#include "base/heap_text.h"
#include "net/socket.h"
#include "net/tls.h"

// Why a download could not be had, for a caller that may try it again.
enum class FetchFailure : uint8_t {
  kNone,     // it was had
  kMayPass,  // no connection, no answer or a cut one, a 5xx, 408 or 429: the
             // service may answer in a moment, as a busy or restarting host does
  kFinal,    // the service's own answer (404, 410, 403 and the other 4xx), a URL
             // that is neither http:// nor https://, a redirect that leads nowhere or
             // round in a circle, this box refused, a certificate that does not
             // check out: asking again gets the same
};

struct WebFileHandle {
  int fd = -1;                // socket, -1 when there is none
  TlsLink* tls = nullptr;     // its TLS session for https://, else null
  bool secure = false;        // the URL is https://
  int64_t bytesRead = 0;      // body bytes delivered by webFileRead so far
  int64_t contentLength = 0;  // of the final response; -1 when the connect failed
  HeapText host;              // host alone (the URL's text before the port's ':', an IPv6 address in its brackets); also the Host header
  HeapText port;              // port text behind the ':', "80" (https: "443") when there is none
  HeapText path;              // from the first '/' behind the host, query included; "/" when empty
  HeapText range;             // set before a connect: the Range header's value ("bytes=N-"); empty for the whole body
  int status = 0;             // status code of the final response (200, or 206 for a range); 0 when none came
  HeapText contentRange;      // of a 206: its Content-Range, to go on to a player; empty otherwise
  bool awayFromBox = false;   // set before a connect: a connection that reaches this box itself is refused
  bool headOnly = false;      // set before a connect: asked with HEAD, so that no body follows the header
  bool reachedBox = false;    // the last connect was refused for reaching this box itself
  FetchFailure failure = FetchFailure::kNone;  // why the last connect failed
  FlowWatch flow;             // the body's flow: one that trickles counts as stalled (net/socket.h)
};

// Connected and positioned at the first body byte, or null (the cause is
// logged, and told in `*failure` when it is given).
[[nodiscard]] WebFileHandle* webFileOpen(const char* url, FetchFailure* failure = nullptr);

// Reads up to `size` body bytes into `buffer`; fewer only at the end of the
// data, after five silent seconds, or once the body has stalled (fewer than
// kFlowLeastBytes in kFlowWindowMs of waiting; logged). 0 when the handle
// has no socket.
int webFileRead(WebFileHandle* file, void* buffer, int size);

// Reads the body bytes that are there now, up to `size`, waiting only while
// none has come; 0 at the end of the data, after five silent seconds, once
// the body trickles (as webFileRead), or when the handle has no socket.
int webFileReadSome(WebFileHandle* file, void* buffer, int size);

// Closes the socket and frees the handle. Accepts null; always 0.
int webFileClose(WebFileHandle* file);

// A new unconnected handle (fd -1), or null when `url` is neither
// "http://..." nor "https://...".
[[nodiscard]] WebFileHandle* webFileParseUrl(const char* url);

// (Re)connects `file` and reads the response header, following redirects.
// The content length, or -1 with fd -1 and `failure` set.
int64_t webFileConnect(WebFileHandle* file);

using WebFilePtr = Owned<WebFileHandle, webFileClose>;

#endif  // ZTV_NET_WEB_FILE_H
