#ifndef ZTV_NET_HTTP_RESPONSE_H
#define ZTV_NET_HTTP_RESPONSE_H

// The request/response exchange of the web file client on a socket that is
// already connected (plain or through TLS): write the request, read the response header one byte at
// a time (so that the body stays on the socket), and decide what the answer
// means. webFileConnect loops over it to follow redirects; tests and the
// fuzzer drive it over a socket pair.

#include <stddef.h>
#include <stdint.h>

#include "base/heap_text.h"
#include "base/text_view.h"
#include "net/tls.h"

enum class HttpAnswerKind {
  Failed,    // unusable answer; the cause is logged (a short header is not)
  Body,      // 200 or 206: the socket is positioned at the first body byte
  Redirect,  // 301, 302, 307 or 308 with a Location: go to `location`
};

struct HttpAnswer {
  HttpAnswerKind kind = HttpAnswerKind::Failed;
  int status = 0;             // status code; 0 when the header was too short to hold one
  int64_t contentLength = 0;  // for Body: Content-Length, 0 when the header has none
  HeapText location;          // for Redirect: the Location as written (absolute or relative, no fragment);
                              // without a query of its own it gets the request's, and with one but
                              // no "start=" it gets the request's "start=" added
  HeapText contentRange;      // for a 206: its Content-Range ("bytes N-M/L"), empty when it has none
};

constexpr size_t kHttpBufferSize = 65536;  // request and response header; the header is at most 65,535 bytes
constexpr size_t kHttpMinHeader = 14;      // a shorter response header is no answer

// Replaces `*request` by the request line and the client identification
// headers for `path` on `host` (the Host header's value: with the port when
// it is not the scheme's default), with a Range header of value `range`
// ("bytes=N-") unless it is null or empty, with `method` (GET or HEAD);
// false (request unchanged) when memory is short.
[[nodiscard]] bool buildHttpRequest(HeapText* request, const char* host, const char* path,
                                    const char* range = nullptr, const char* method = "GET");

// Sends the request on `link`, reads the response header and interprets it.
// Logs the request, the header and (at ERROR) why an answer is unusable.
// Memory that runs short is logged as "out of memory" and fails the answer.
HttpAnswer httpExchange(WebLink link, const char* host, const char* path, const char* range = nullptr,
                        const char* method = "GET");

// Interprets a response header as read (NUL-free, without the final LF),
// answering a request for `requestPath`. Logs why an answer is unusable.
HttpAnswer interpretHttpHeader(TextView header, TextView requestPath);

// A Content-Length value: decimal, leading blanks skipped, an optional sign,
// digits up to the first other character; clamped to the signed 32-bit range.
int64_t parseContentLength(TextView text);

#endif  // ZTV_NET_HTTP_RESPONSE_H
