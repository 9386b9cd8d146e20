#ifndef ZTV_TESTS_SUPPORT_NGINX_H
#define ZTV_TESTS_SUPPORT_NGINX_H

// A real nginx as the video service, on one loopback port, with a throw-away
// configuration and document root in a scratch directory. Fill the root
// (putFile, putTimeline), add redirects, then start(); the destructor stops
// and reaps it. Served paths:
//   /v/...                          files under root/v/, with the FLV module:
//                                   "?start=N" gives a 13-byte FLV prefix and
//                                   the file from byte N
//   /live/semichannel/timeline/?id=N root/timeline/N.xml as text/xml, else 404
//   anything else                   files under root/
// With enableTls it serves the same over TLS (and only so): url() then
// gives https:// addresses.

#include <cstdint>
#include <string>
#include <string_view>

#include "support/process.h"

namespace testsupport {

class Nginx {
 public:
  explicit Nginx(uint16_t port);
  ~Nginx();  // stop()
  Nginx(const Nginx&) = delete;
  Nginx& operator=(const Nginx&) = delete;

  // Before start(): `path` (exact match) answers `code` (301/302/307...)
  // with Location `target`.
  void addRedirect(std::string_view path, int code, std::string_view target);
  // Before start(): raw directives added inside the server block.
  void addConfig(std::string_view directives);
  // Before start(): TLS with the certificate and key in these PEM files,
  // `protocols` alone when given ("TLSv1.2", "TLSv1.3"), else nginx's default.
  void enableTls(std::string_view certFile, std::string_view keyFile, std::string_view protocols = "");

  // Writes the configuration, starts nginx and waits until it accepts
  // connections. False (with the reason in error()) when it does not.
  bool start();
  void stop();  // a no-op when not running

  uint16_t port() const { return port_; }
  const std::string& root() const { return root_; }
  // "http://127.0.0.1:PORT" + path ("https://" with TLS).
  std::string url(std::string_view path) const;
  // Writes root + path (path starts with '/'); usable while running.
  bool putFile(std::string_view path, std::string_view content) const;
  // Copies a file into the root at `path`.
  bool copyFile(std::string_view path, const std::string& source) const;
  // The document served for channel `channel`'s timeline.
  bool putTimeline(int channel, std::string_view document) const;
  bool removeTimeline(int channel) const;

  // One line per request: "METHOD URI PROTOCOL STATUS BYTES".
  std::string accessLog() const;
  // Requests whose line contains `text`.
  int countRequests(std::string_view text) const;
  std::string errorLog() const;
  // TLS handshakes that the client ended with an alert (one that refused
  // the certificate, say), as the error log tells them; a client that
  // connects and leaves without a handshake is not one.
  int failedHandshakes() const;
  const std::string& error() const { return error_; }

 private:
  std::string config() const;

  TempDir dir_;
  uint16_t port_;
  std::string root_, extra_, tls_, error_;
  ChildProcess process_;
};

}  // namespace testsupport

#endif  // ZTV_TESTS_SUPPORT_NGINX_H
