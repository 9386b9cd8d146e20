#ifndef ZTV_NET_HTTP_RESPONSE_H
#define ZTV_NET_HTTP_RESPONSE_H

// The request/response exchange of the web file client on a socket that is
// already connected: write the request, read the response header one byte at
// a time (so that the body stays on the socket), and decide what the answer
// means. webFileConnect loops over it to follow redirects; tests and the
// fuzzer drive it over a socket pair.

#include <cstdint>
#include <string>
#include <string_view>

enum class HttpAnswerKind {
  Failed,    // unusable answer; the cause is logged (a short header is not)
  Body,      // 200 or 206: the socket is positioned at the first body byte
  Redirect,  // 302 or 307 with a Location: go to `location`
};

struct HttpAnswer {
  HttpAnswerKind kind = HttpAnswerKind::Failed;
  int status = 0;             // status code; 0 when the header was too short to hold one
  int64_t contentLength = 0;  // for Body: Content-Length, 0 when the header has none
  std::string location;       // for Redirect: the Location without its query, plus the request's query
};

constexpr size_t kHttpBufferSize = 65536;  // request and response header; the header is at most 65,535 bytes
constexpr size_t kHttpMinHeader = 14;      // a shorter response header is no answer

// The request line and the client identification headers for `path` on `host`.
std::string buildHttpRequest(const std::string& host, const std::string& path);

// Sends the request on `fd`, reads the response header and interprets it.
// Logs the request, the header and (at ERROR) why an answer is unusable.
// Throws std::bad_alloc only from the string copies.
HttpAnswer httpExchange(int fd, const std::string& host, const std::string& path);

// Interprets a response header as read (NUL-free, without the final LF),
// answering a request for `requestPath`. Logs why an answer is unusable.
HttpAnswer interpretHttpHeader(std::string_view header, std::string_view requestPath);

// A Content-Length value: decimal, leading blanks skipped, an optional sign,
// digits up to the first other character; clamped to the signed 32-bit range.
int64_t parseContentLength(std::string_view text);

#endif  // ZTV_NET_HTTP_RESPONSE_H
