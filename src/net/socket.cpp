#include "net/socket.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

constexpr int kWaitMs = 5000;  // the one time limit of every download

// Like perror, for the resolver's own error codes.
void reportResolverError(int code) {
  const char* text = code == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(code);
  std::fprintf(stderr, "getaddrinfo: %s\n", text);
}

// Sets the options every outgoing socket carries; false with errno set.
bool setOutgoingOptions(int fd) {
  int reuse = 1;
  linger noLinger{0, 0};
  return setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) == 0 &&
         setsockopt(fd, SOL_SOCKET, SO_LINGER, &noLinger, sizeof noLinger) == 0;
}

// Closes `fd` after a failure without losing the failure's errno for perror.
void closeKeepingErrno(int fd) {
  int saved = errno;
  close(fd);
  errno = saved;
}

}  // namespace

int socket_connect(const char* host, const char* service) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  int resolved = getaddrinfo(host, service, &hints, &list);
  if (resolved != 0) {
    reportResolverError(resolved);
    return -1;
  }
  // Only the first address is tried.
  const addrinfo& first = *list;
  int fd = socket(first.ai_family, first.ai_socktype, first.ai_protocol);
  const char* failed = nullptr;
  if (fd < 0) {
    failed = "socket";
  } else if (!setOutgoingOptions(fd)) {
    failed = "setsockopt";
  } else if (connect(fd, first.ai_addr, first.ai_addrlen) != 0) {
    failed = "connect";
  }
  if (failed != nullptr) {
    perror(failed);
    if (fd >= 0) closeKeepingErrno(fd);
    fd = -1;
  }
  freeaddrinfo(list);
  return fd;
}

// poll rather than select: a descriptor at or above FD_SETSIZE would overrun
// an fd_set. A signal does not cut the wait short; the rest of it is waited.
int socket_wait(int fd, int forRead) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
  pollfd watched{fd, static_cast<short>(forRead != 0 ? POLLIN : POLLOUT), 0};
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    int ready = poll(&watched, 1, left > 0 ? static_cast<int>(left) : 0);
    if (ready >= 0) return ready;
    if (errno != EINTR) {
      perror("poll");
      return -1;
    }
  }
}

int my_read(int fd, void* buffer, int size) {
  auto* bytes = static_cast<char*>(buffer);
  int done = 0;
  while (done < size) {
    if (socket_wait(fd, 1) <= 0) break;
    ssize_t got = read(fd, bytes + done, static_cast<size_t>(size - done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;  // closed by the peer, or a failed read: the end of the data
    done += static_cast<int>(got);
  }
  return done;
}
