#include "support/fake_http.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace fakehttp {

namespace {

constexpr int kRequestQuietMs = 1000;   // a request that stalls this long is taken as complete
constexpr size_t kRequestLimit = 1 << 20;  // bytes recorded at most per request

const char* reasonFor(int code) {
  switch (code) {
    case 200: return "OK";
    case 206: return "Partial Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 307: return "Temporary Redirect";
    case 404: return "Not Found";
    default: return "Status";
  }
}

void parseRequestLine(Request& request) {
  size_t lineEnd = request.raw.find("\r\n");
  std::string line = request.raw.substr(0, lineEnd);
  size_t firstBlank = line.find(' ');
  if (firstBlank == std::string::npos) return;
  size_t secondBlank = line.find(' ', firstBlank + 1);
  request.method = line.substr(0, firstBlank);
  request.target = line.substr(firstBlank + 1, secondBlank == std::string::npos
                                                   ? std::string::npos
                                                   : secondBlank - firstBlank - 1);
  request.path = request.target.substr(0, request.target.find('?'));
}

std::string lowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

Script& Script::send(std::string bytes) {
  steps.push_back({Step::Kind::Send, std::move(bytes), 0});
  return *this;
}
Script& Script::pause(int ms) {
  steps.push_back({Step::Kind::Pause, {}, ms});
  return *this;
}
Script& Script::trickle(const std::string& bytes, int everyMs) {
  for (char byte : bytes) send(std::string(1, byte)).pause(everyMs);
  return *this;
}
Script& Script::hang() {
  steps.push_back({Step::Kind::Hang, {}, 0});
  return *this;
}
Script& Script::close() {
  steps.push_back({Step::Kind::Close, {}, 0});
  return *this;
}
Script& Script::reset() {
  steps.push_back({Step::Kind::Reset, {}, 0});
  return *this;
}

Script Script::response(int code, const std::vector<std::string>& headers, std::string body) {
  std::string text = "HTTP/1.0 " + std::to_string(code) + " " + reasonFor(code) + "\r\n";
  for (const std::string& line : headers) text += line + "\r\n";
  text += "\r\n";
  text += body;
  return Script().send(std::move(text));
}
Script Script::ok(std::string body) {
  std::string length = "Content-Length: " + std::to_string(body.size());
  return response(200, {length}, std::move(body));
}
Script Script::redirect(int code, const std::string& location) {
  return response(code, {"Location: " + location});
}
Script Script::status(int code) { return response(code, {}); }
Script Script::silent() { return Script().hang(); }

std::string Request::header(const std::string& name) const {
  std::string wanted = lowerCase(name) + ":";
  size_t start = raw.find("\r\n");
  while (start != std::string::npos) {
    start += 2;
    size_t end = raw.find("\r\n", start);
    std::string line = raw.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (lowerCase(line.substr(0, wanted.size())) == wanted) {
      size_t value = line.find_first_not_of(' ', wanted.size());
      return value == std::string::npos ? "" : line.substr(value);
    }
    start = end;
  }
  return "";
}

FakeHttpServer::FakeHttpServer() {
  default_ = Script::status(404);
  if (pipe(stopPipe_) != 0) {
    ADD_FAILURE() << "fake_http: pipe failed";
    return;
  }
  listenFd_ = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (listenFd_ < 0 || bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listenFd_, 16) != 0 ||
      getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ADD_FAILURE() << "fake_http: cannot listen on 127.0.0.1: " << std::strerror(errno);
    return;
  }
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { acceptLoop(); });
}

FakeHttpServer::~FakeHttpServer() {
  if (stopPipe_[1] >= 0) {
    char wake = 1;
    (void)!write(stopPipe_[1], &wake, 1);
  }
  if (acceptor_.joinable()) acceptor_.join();
  // The acceptor has ended, so workers_ no longer grows.
  for (std::thread& worker : workers_) worker.join();
  if (listenFd_ >= 0) ::close(listenFd_);
  for (int fd : stopPipe_) {
    if (fd >= 0) ::close(fd);
  }
}

void FakeHttpServer::route(const std::string& target, Script script) {
  std::lock_guard<std::mutex> lock(mutex_);
  routes_[target].push_back(std::move(script));
}

void FakeHttpServer::enqueue(Script script) {
  std::lock_guard<std::mutex> lock(mutex_);
  queue_.push_back(std::move(script));
}

void FakeHttpServer::setDefault(Script script) {
  std::lock_guard<std::mutex> lock(mutex_);
  default_ = std::move(script);
}

std::string FakeHttpServer::hostPort() const { return "127.0.0.1:" + std::to_string(port_); }

std::string FakeHttpServer::url(const std::string& target) const {
  return "http://" + hostPort() + target;
}

std::vector<Request> FakeHttpServer::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

int FakeHttpServer::connectionCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connections_;
}

bool FakeHttpServer::waitForRequests(int count, int timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return recorded_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [&] { return static_cast<int>(requests_.size()) >= count; });
}

void FakeHttpServer::acceptLoop() {
  for (;;) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    int fd = accept(listenFd_, nullptr, nullptr);
    if (fd < 0) continue;
    std::lock_guard<std::mutex> lock(mutex_);
    ++connections_;
    workers_.emplace_back([this, fd] { serve(fd); });
  }
}

void FakeHttpServer::serve(int fd) {
  // Non-blocking so that every wait can also watch the stop pipe.
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  Request request = readRequest(fd);
  Script script = pickScript(request);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(std::move(request));
  }
  recorded_.notify_all();
  if (play(fd, script)) {
    // An orderly end: FIN after the data, then drop whatever the client still sent.
    shutdown(fd, SHUT_WR);
    char sink[4096];
    while (read(fd, sink, sizeof sink) > 0) {
    }
  }
  ::close(fd);
}

// Returns false when the server is stopping or the socket failed; true otherwise.
bool FakeHttpServer::waitStop(int fd, int ms) {
  pollfd fds[2] = {{fd, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
  return poll(fds, 2, ms) >= 0 && fds[1].revents == 0;
}

Request FakeHttpServer::readRequest(int fd) {
  Request request;
  char byte = 0;
  while (request.raw.size() < kRequestLimit) {
    ssize_t got = read(fd, &byte, 1);
    if (got == 1) {
      request.raw += byte;
      if (request.raw.size() >= 4 && request.raw.compare(request.raw.size() - 4, 4, "\r\n\r\n") == 0) break;
      continue;
    }
    if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) break;
    pollfd fds[2] = {{fd, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    if (poll(fds, 2, kRequestQuietMs) <= 0 || fds[1].revents != 0) break;
  }
  parseRequestLine(request);
  return request;
}

Script FakeHttpServer::pickScript(const Request& request) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!queue_.empty()) {
    Script script = std::move(queue_.front());
    queue_.erase(queue_.begin());
    return script;
  }
  for (const std::string& key : {request.target, request.path}) {
    auto found = routes_.find(key);
    if (found == routes_.end() || found->second.empty()) continue;
    size_t hit = routeHits_[key]++;
    return found->second[std::min(hit, found->second.size() - 1)];
  }
  return default_;
}

// Plays the steps; false when the connection was already closed or reset.
bool FakeHttpServer::play(int fd, const Script& script) {
  for (const Step& step : script.steps) {
    switch (step.kind) {
      case Step::Kind::Send:
        if (!sendAll(fd, step.bytes)) return true;
        break;
      case Step::Kind::Pause: {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(step.ms);
        for (;;) {
          auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
          if (left.count() <= 0) break;
          pollfd stop = {stopPipe_[0], POLLIN, 0};
          if (poll(&stop, 1, static_cast<int>(left.count())) != 0) return true;
        }
        break;
      }
      case Step::Kind::Hang: {
        // Until the client closes (readable with nothing left) or the server stops.
        char sink[4096];
        while (waitStop(fd, -1)) {
          ssize_t got = read(fd, sink, sizeof sink);
          if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) return true;
        }
        return true;
      }
      case Step::Kind::Close:
        return true;
      case Step::Kind::Reset: {
        linger abortive{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
        return false;
      }
    }
  }
  return true;
}

bool FakeHttpServer::sendAll(int fd, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t put = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (put > 0) {
      sent += static_cast<size_t>(put);
      continue;
    }
    if (put < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
    pollfd fds[2] = {{fd, POLLOUT, 0}, {stopPipe_[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0 || fds[1].revents != 0) return false;
  }
  return true;
}

}  // namespace fakehttp
