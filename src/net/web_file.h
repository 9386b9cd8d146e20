#ifndef ZTV_NET_WEB_FILE_H
#define ZTV_NET_WEB_FILE_H

// One HTTP/1.0 download from the video service: webFileOpen (connects, sends
// the client identification, follows 302/307 redirects, reads the response
// header), webFileRead as often as needed, webFileClose. The body ends when
// bytesRead reaches contentLength or when a read comes back short.

#include <cstdint>
#include <memory>
#include <string>

struct WebFileHandle {
  int fd = -1;                // socket, -1 when there is none
  int64_t bytesRead = 0;      // body bytes delivered by webFileRead so far
  int64_t contentLength = 0;  // of the final response; -1 when the connect failed
  std::string host;           // host alone (the URL's text before the first ':'); also the Host header
  std::string port;           // port text behind the ':', "80" when there is none
  std::string path;           // from the first '/' behind the host, query included; "/" when empty
};

// Connected and positioned at the first body byte, or null (the cause is logged).
[[nodiscard]] WebFileHandle* webFileOpen(const char* url);

// Reads up to `size` body bytes into `buffer`; fewer only at the end of the
// data or after five silent seconds. 0 when the handle has no socket.
int webFileRead(WebFileHandle* file, void* buffer, int size);

// Closes the socket and frees the handle. Accepts null; always 0.
int webFileClose(WebFileHandle* file);

// A new unconnected handle (fd -1), or null when `url` is not "http://...".
[[nodiscard]] WebFileHandle* webFileParseUrl(const char* url);

// (Re)connects `file` and reads the response header, following redirects.
// The content length, or -1 with fd -1.
int64_t webFileConnect(WebFileHandle* file);

struct WebFileCloser {
  void operator()(WebFileHandle* file) const noexcept { webFileClose(file); }
};
using WebFilePtr = std::unique_ptr<WebFileHandle, WebFileCloser>;

#endif  // ZTV_NET_WEB_FILE_H
