#include "support/name_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

namespace testsupport {

namespace {

constexpr size_t kHeader = 12;
constexpr uint16_t kTypeA = 1;

uint16_t read16(const std::string& bytes, size_t at) {
  return static_cast<uint16_t>((static_cast<unsigned char>(bytes[at]) << 8) |
                               static_cast<unsigned char>(bytes[at + 1]));
}

void put16(std::string& bytes, uint16_t value) {
  bytes.push_back(static_cast<char>(value >> 8));
  bytes.push_back(static_cast<char>(value & 0xff));
}

// The question's name ("a.b.test", lower case) and the offset after it; false
// for a compressed or cut name, which no resolver sends in a question.
bool questionName(const std::string& query, std::string* name, size_t* end) {
  size_t at = kHeader;
  name->clear();
  while (at < query.size()) {
    const size_t length = static_cast<unsigned char>(query[at]);
    if (length == 0) {
      *end = at + 1;
      return true;
    }
    if (length > 63 || at + 1 + length > query.size()) return false;
    if (!name->empty()) name->push_back('.');
    for (size_t i = 0; i < length; ++i) {
      name->push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(query[at + 1 + i]))));
    }
    at += 1 + length;
  }
  return false;
}

}  // namespace

NameServer::NameServer(std::string listen, std::string name, std::string address)
    : listen_(std::move(listen)), name_(std::move(name)), address_(std::move(address)) {}

NameServer::~NameServer() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (fd_ >= 0) close(fd_);
}

bool NameServer::start() {
  fd_ = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(53);
  if (fd_ < 0 || inet_pton(AF_INET, listen_.c_str(), &local.sin_addr) != 1 ||
      bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    error_ = "name server on " + listen_ + ":53: " + std::strerror(errno) + " (binding port 53 needs root)";
    return false;
  }
  thread_ = std::thread([this] { serve(); });
  return true;
}

int NameServer::queriesFor(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(std::count(asked_.begin(), asked_.end(), name));
}

void NameServer::serve() {
  while (!stop_) {
    pollfd ready{fd_, POLLIN, 0};
    if (poll(&ready, 1, 100) <= 0) continue;
    char buffer[512];
    sockaddr_storage peer{};
    socklen_t peerLength = sizeof peer;
    ssize_t got = recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&peer), &peerLength);
    if (got <= 0) continue;
    std::string answer = reply(std::string(buffer, static_cast<size_t>(got)));
    if (!answer.empty()) {
      (void)sendto(fd_, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&peer), peerLength);
    }
  }
}

std::string NameServer::reply(const std::string& query) {
  std::string name;
  size_t end = 0;
  // A query (QR clear) with exactly one question.
  if (query.size() < kHeader || (query[2] & 0x80) != 0 || read16(query, 4) != 1 ||
      !questionName(query, &name, &end) || end + 4 > query.size()) {
    return "";
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    asked_.push_back(name);
  }
  const bool known = name == name_;
  const bool withAddress = known && read16(query, end) == kTypeA;
  std::string out = query.substr(0, 2);                  // the query's id
  put16(out, known ? 0x8180 : 0x8183);                   // answer, recursion; NXDOMAIN when unknown
  put16(out, 1);                                         // one question
  put16(out, withAddress ? 1 : 0);                       // answers
  put16(out, 0);                                         // authority
  put16(out, 0);                                         // additional
  out += query.substr(kHeader, end + 4 - kHeader);       // the question as asked
  if (withAddress) {
    put16(out, 0xc00c);                                  // the name: the question's
    put16(out, kTypeA);
    put16(out, 1);                                       // class IN
    put16(out, 0);
    put16(out, 60);                                      // time to live, seconds
    put16(out, 4);
    in_addr address{};
    inet_pton(AF_INET, address_.c_str(), &address);
    out.append(reinterpret_cast<const char*>(&address), 4);
  }
  return out;
}

}  // namespace testsupport
