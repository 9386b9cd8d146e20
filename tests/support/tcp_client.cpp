#include "support/tcp_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fcntl.h>

#include <cerrno>

namespace testsupport {

namespace {

sockaddr_in loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return address;
}

// A non-blocking connect to `port`; true when it completed within 200 ms.
bool connectsAtOnce(int fd, uint16_t port) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  sockaddr_in address = loopback(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return true;
  pollfd p{fd, POLLOUT, 0};
  return errno == EINPROGRESS && poll(&p, 1, 200) > 0;
}

}  // namespace

SilentHost::SilentHost() {
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = loopback(0);
  socklen_t length = sizeof address;
  if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener_, 0) != 0 ||
      getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return;
  }
  // Connects until one stays pending: the queue is full from then on.
  for (int& filler : fillers_) {
    filler = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (filler >= 0 && !connectsAtOnce(filler, ntohs(address.sin_port))) {
      port_ = ntohs(address.sin_port);
      return;
    }
  }
}

SilentHost::~SilentHost() {
  for (int filler : fillers_) {
    if (filler >= 0) ::close(filler);
  }
  if (listener_ >= 0) ::close(listener_);
}

TcpClient::~TcpClient() { close(); }

bool TcpClient::connect(uint16_t port, int receiveBuffer) {
  close();
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return false;
  if (receiveBuffer > 0) setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close();
    return false;
  }
  peerClosed_ = false;
  return true;
}

bool TcpClient::send(std::string_view bytes) {
  while (fd_ >= 0 && !bytes.empty()) {
    ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(sent));
  }
  return fd_ >= 0;
}

size_t TcpClient::read(std::string& into, size_t count, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  size_t got = 0;
  char block[65536];
  while (fd_ >= 0 && !peerClosed_ && got < count) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd_, POLLIN, 0};
    int ready = poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    size_t want = count - got < sizeof block ? count - got : sizeof block;
    ssize_t n = recv(fd_, block, want, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      peerClosed_ = true;  // an orderly close or a reset: no more data either way
      break;
    }
    into.append(block, static_cast<size_t>(n));
    got += static_cast<size_t>(n);
  }
  return got;
}

bool TcpClient::readToEnd(std::string& into, std::chrono::milliseconds timeout) {
  read(into, SIZE_MAX, timeout);
  return peerClosed_;
}

void TcpClient::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

std::string HttpReply::header() const {
  size_t end = raw.find("\r\n\r\n");
  return end == std::string::npos ? "" : raw.substr(0, end + 4);
}

std::string HttpReply::body() const {
  size_t end = raw.find("\r\n\r\n");
  return end == std::string::npos ? "" : raw.substr(end + 4);
}

HttpReply httpExchange(uint16_t port, std::string_view request, std::chrono::milliseconds timeout) {
  HttpReply reply;
  TcpClient client;
  reply.connected = client.connect(port);
  if (!reply.connected) return reply;
  client.send(request);
  reply.closed = client.readToEnd(reply.raw, timeout);
  return reply;
}

HttpReply httpGet(uint16_t port, std::string_view target, std::chrono::milliseconds timeout) {
  return httpExchange(port, "GET " + std::string(target) + " HTTP/1.0\r\n\r\n", timeout);
}

}  // namespace testsupport
