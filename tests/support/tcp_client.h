#ifndef ZTV_TESTS_SUPPORT_TCP_CLIENT_H
#define ZTV_TESTS_SUPPORT_TCP_CLIENT_H

// A plain loopback TCP client for playing the player's part: send raw request
// bytes, read what comes back until the peer closes, a byte limit or a
// timeout, and hang up whenever the test wants to.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace testsupport {

class TcpClient {
 public:
  TcpClient() = default;
  ~TcpClient();  // close()
  TcpClient(const TcpClient&) = delete;
  TcpClient& operator=(const TcpClient&) = delete;

  // To 127.0.0.1; a receiveBuffer above 0 sets SO_RCVBUF first (a small
  // one makes a paused player close its window soon).
  bool connect(uint16_t port, int receiveBuffer = 0);
  bool send(std::string_view bytes);
  // Appends to `into` until `count` more bytes arrived, the peer closed or
  // `timeout` passed; returns the number of bytes appended.
  size_t read(std::string& into, size_t count, std::chrono::milliseconds timeout);
  // Reads until the peer closes (true) or `timeout` passes (false).
  bool readToEnd(std::string& into, std::chrono::milliseconds timeout);
  bool peerClosed() const { return peerClosed_; }
  void close();

 private:
  int fd_ = -1;
  bool peerClosed_ = false;
};

// A loopback host that never completes a handshake: a listener that never
// accepts, its accept queue filled first, so that the kernel drops further
// SYNs and a connect to port() stays pending.
class SilentHost {
 public:
  SilentHost();  // port() is 0 when it could not be set up
  ~SilentHost();
  SilentHost(const SilentHost&) = delete;
  SilentHost& operator=(const SilentHost&) = delete;
  uint16_t port() const { return port_; }

 private:
  int listener_ = -1;
  int fillers_[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
  uint16_t port_ = 0;
};

// One exchange: connect, send `request`, read to the end (at most `timeout`).
struct HttpReply {
  bool connected = false;  // the connect succeeded
  bool closed = false;     // the server closed the connection within the timeout
  std::string raw;         // every byte received
  std::string header() const;  // up to and including the blank line, "" without one
  std::string body() const;    // after the blank line
};
HttpReply httpExchange(uint16_t port, std::string_view request, std::chrono::milliseconds timeout);
// "GET <target> HTTP/1.0\r\n\r\n" exchanged.
HttpReply httpGet(uint16_t port, std::string_view target, std::chrono::milliseconds timeout);

}  // namespace testsupport

#endif  // ZTV_TESTS_SUPPORT_TCP_CLIENT_H
