#include "net/socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include "base/atomic_word.h"
#include "base/text.h"
#include "base/wait.h"
#include "net/peer_watch.h"
#include "net/resolve.h"

namespace {

constexpr int64_t kWaitMs = 5000;  // the one time limit of every download
constexpr int64_t kGraceMs = 500;  // a send goes on this long once interrupted

AtomicWord interrupted;

// What bounds the waits of this thread beyond their own limits (see WaitsBoundedBy, socket_watchFlow).
thread_local int64_t tBoundMs = kNoDeadlineMs;
thread_local FlowWatch* tFlow = nullptr;
thread_local const AtomicWord* tCancel = nullptr;

// The server's stop, or the calling thread's own cancel word.
bool isInterrupted() { return interrupted.load() != 0 || (tCancel != nullptr && tCancel->load() != 0); }

int64_t bounded(int64_t deadlineMs) { return deadlineMs < tBoundMs ? deadlineMs : tBoundMs; }

// Whether the body this thread reads has stalled; looked at as each window
// of waiting fills, and for good once it has.
bool flowStalled() {
  FlowWatch* flow = tFlow;
  if (flow == nullptr) return false;
  if (!flow->stalled && flow->waitedMs >= kFlowWindowMs) {
    flow->stalled = flow->bytes < kFlowLeastBytes;
    flow->waitedMs = 0;
    flow->bytes = 0;
  }
  return flow->stalled;
}

// Like perror, for the resolver's own error codes.
void reportResolverError(int code) {
  const char* text = code == EAI_SYSTEM ? strerror(errno) : gai_strerror(code);
  fprintf(stderr, "getaddrinfo: %s\n", text);
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

// The resolver takes a numeric service modulo 65536 (84596 would become
// 19060), so a number must name a port itself. Names are left to the resolver.
bool isUsablePort(const char* service) {
  const size_t length = strlen(service);
  if (length == 0 || strspn(service, "0123456789") != length) return true;
  const int32_t port = readClampedDecimal(service);
  return port >= 1 && port <= 65535;
}

// Until interrupted, the deadline or the thread's bound (which still gets
// one look at `fd`), or the thread's body has stalled: one step. 1 ready, 0 at the deadline or interrupted, -1 failed.
int pollUntil(int fd, short events, int64_t deadlineMs) {
  deadlineMs = bounded(deadlineMs);
  for (;;) {
    if (isInterrupted() || flowStalled()) return 0;
    const bool lastLook = passed(deadlineMs);
    const int64_t stepStartMs = monotonicMs();
    const Step step = waitStep(fd, events, deadlineMs);
    if (tFlow != nullptr) tFlow->waitedMs += monotonicMs() - stepStartMs;
    if (step != Step::kNotYet) return step == Step::kReady ? 1 : -1;
    if (lastLook) return 0;
  }
}

// Whether a connect that the wait reported done did connect; if not, errno
// tells why. The error is taken from a read, not from SO_ERROR: a read's
// error number is the system's own everywhere, while SO_ERROR hands over a
// raw number that an emulator of another CPU (whose numbers differ, as on
// MIPS) passes on untranslated.
bool connectedAfterWait(int fd) {
  sockaddr_storage peer{};
  socklen_t size = sizeof peer;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) == 0) return true;
  char byte;
  if (read(fd, &byte, 1) >= 0) errno = ENOTCONN;  // no error left to read: not connected all the same
  return false;
}

// What `fd` has for reading now, without waiting: > 0 bytes, 0 at the end,
// -1 with errno (EAGAIN: nothing yet). A socket is asked with one recv; any
// other descriptor (a file, a pipe) is read when poll says it would not block.
ssize_t readReady(int fd, char* into, size_t size) {
  const ssize_t got = recv(fd, into, size, MSG_DONTWAIT);
  socket_countReceived(got);
  if (got >= 0 || errno != ENOTSOCK) return got;
  pollfd watched{fd, POLLIN, 0};
  const int ready = poll(&watched, 1, 0);
  if (ready <= 0) {
    if (ready == 0) errno = EAGAIN;
    return -1;
  }
  const ssize_t read = ::read(fd, into, size);
  socket_countReceived(read);
  return read;
}

// A non-blocking connect waited for until `deadlineMs`; the socket is
// blocking again afterwards. 0, or -1 with errno set (ETIMEDOUT, ECANCELED
// when interrupted).
int connectWithin(int fd, const sockaddr* address, socklen_t length, int64_t deadlineMs) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return -1;
  if (connect(fd, address, length) != 0) {
    if (errno != EINPROGRESS) return -1;
    const int ready = pollUntil(fd, POLLOUT, deadlineMs);
    if (ready <= 0) {
      if (ready == 0) errno = isInterrupted() ? ECANCELED : ETIMEDOUT;
      return -1;
    }
    if (!connectedAfterWait(fd)) return -1;
  }
  return fcntl(fd, F_SETFL, flags) < 0 ? -1 : 0;
}

// The step of a connect to `address` that failed, or null when connected
// before `deadlineMs`.
const char* connectTo(const addrinfo& address, int64_t deadlineMs, int* fd) {
  *fd = socket(address.ai_family, address.ai_socktype, address.ai_protocol);
  if (*fd < 0) return "socket";
  if (!setOutgoingOptions(*fd)) return "setsockopt";
  if (isInterrupted()) {
    errno = ECANCELED;
    return "connect";
  }
  if (connectWithin(*fd, address.ai_addr, address.ai_addrlen, deadlineMs) != 0) return "connect";
  return nullptr;
}

const sockaddr* asAddress(const sockaddr_storage& address) { return reinterpret_cast<const sockaddr*>(&address); }

// A loopback address (127.0.0.0/8, ::1, either mapped into IPv6) or the
// unspecified one, which a connect takes as loopback.
bool isLoopbackOrUnspecified(const sockaddr* address) {
  if (address->sa_family == AF_INET) {
    const uint32_t ip = ntohl(reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr);
    return (ip >> 24) == 127 || ip == INADDR_ANY;
  }
  if (address->sa_family != AF_INET6) return false;
  const in6_addr& ip = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
  if (IN6_IS_ADDR_LOOPBACK(&ip) || IN6_IS_ADDR_UNSPECIFIED(&ip)) return true;
  if (!IN6_IS_ADDR_V4MAPPED(&ip)) return false;
  return ip.s6_addr[12] == 127 || (ip.s6_addr[12] | ip.s6_addr[13] | ip.s6_addr[14] | ip.s6_addr[15]) == 0;
}

// Whether a socket can be bound to `address` (an IPv4 or IPv6 one, its
// port set to 0): the kernel allows it only for an address of this box.
bool binds(sockaddr_storage address) {
  socklen_t length = sizeof(sockaddr_in6);
  if (address.ss_family == AF_INET) {
    reinterpret_cast<sockaddr_in&>(address).sin_port = 0;
    length = sizeof(sockaddr_in);
  } else {
    reinterpret_cast<sockaddr_in6&>(address).sin6_port = 0;
  }
  const int fd = socket(address.ss_family, SOCK_DGRAM, 0);
  if (fd < 0) return false;
  const bool bound = bind(fd, asAddress(address), length) == 0;
  close(fd);
  return bound;
}

// `address` with its IP replaced by one from the documentation ranges, which
// no box holds (or the IPv4 one mapped into IPv6, for a mapped address).
sockaddr_storage unassignedLike(const sockaddr_storage& address) {
  sockaddr_storage control = address;
  if (control.ss_family == AF_INET) {
    (void)inet_pton(AF_INET, "198.51.100.254", &reinterpret_cast<sockaddr_in&>(control).sin_addr);
    return control;
  }
  auto& v6 = reinterpret_cast<sockaddr_in6&>(control);
  const bool mapped = IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr);
  (void)inet_pton(AF_INET6, mapped ? "::ffff:198.51.100.254" : "2001:db8::fe", &v6.sin6_addr);
  v6.sin6_scope_id = 0;
  return control;
}

// Whether `address` is one of this box's own, on any interface (IPv4, IPv6
// with the scope of a link-local one, a range routed here as local): asked
// of the kernel's own table by a bind, with no list to keep or go stale.
// Where the system lets any address be bound (ip_nonlocal_bind), the
// unassigned control binds too and the probe tells nothing.
bool isOwnAddress(const sockaddr* address) {
  if (address->sa_family != AF_INET && address->sa_family != AF_INET6) return false;
  sockaddr_storage copy{};
  memcpy(&copy, address, address->sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
  return binds(copy) && !binds(unassignedLike(copy));
}

// The two ends of connected socket `fd`; false when they cannot be told.
bool endsOf(int fd, sockaddr_storage* peer, sockaddr_storage* local) {
  socklen_t peerLength = sizeof *peer, localLength = sizeof *local;
  return getpeername(fd, reinterpret_cast<sockaddr*>(peer), &peerLength) == 0 &&
         getsockname(fd, reinterpret_cast<sockaddr*>(local), &localLength) == 0;
}

// Whether both ends have the same IP address: a connection the box made to
// itself (a connect to any of its addresses leaves from that address).
bool sameAddress(const sockaddr_storage& peer, const sockaddr_storage& local) {
  if (peer.ss_family != local.ss_family) return false;
  if (peer.ss_family == AF_INET) {
    return reinterpret_cast<const sockaddr_in&>(peer).sin_addr.s_addr ==
           reinterpret_cast<const sockaddr_in&>(local).sin_addr.s_addr;
  }
  return peer.ss_family == AF_INET6 && memcmp(&reinterpret_cast<const sockaddr_in6&>(peer).sin6_addr,
                                              &reinterpret_cast<const sockaddr_in6&>(local).sin6_addr,
                                              sizeof(in6_addr)) == 0;
}

// An IPv4 or IPv6 address as text ("?" for another kind), and its port.
int addressText(const sockaddr* address, char* text, size_t size) {
  snprintf(text, size, "?");
  if (address->sa_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
    (void)inet_ntop(AF_INET, &v4->sin_addr, text, static_cast<socklen_t>(size));
    return ntohs(v4->sin_port);
  }
  if (address->sa_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
    (void)inet_ntop(AF_INET6, &v6->sin6_addr, text, static_cast<socklen_t>(size));
    return ntohs(v6->sin6_port);
  }
  return 0;
}

// Like perror, with the address that failed: "connect: Connection refused (::1 port 80)".
void reportConnectFailure(const char* step, const addrinfo& address) {
  const int saved = errno;
  char host[64];
  const int port = addressText(address.ai_addr, host, sizeof host);
  fprintf(stderr, "%s: %s (%s port %d)\n", step, strerror(saved), host, port);
  errno = saved;
}

}  // namespace

int socket_connect(const char* host, const char* service) {
  if (!isUsablePort(service)) {
    fprintf(stderr, "connect: port %s out of range\n", service);
    return -1;
  }
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  const int64_t now = monotonicMs();
  const int64_t limitMs = bounded(now + kWaitMs) - now;  // the thread's bound may leave less
  int resolved = resolveWithin(host, service, &hints, &list, limitMs > 0 ? limitMs : 0);
  if (resolved != 0) {
    reportResolverError(resolved);
    return -1;
  }
  const int fd = socket_connectFirstOf(list);
  const int saved = errno;
  freeaddrinfo(list);
  errno = saved;
  return fd;
}

int socket_connectFirstOf(const addrinfo* addresses) {
  int left = 0;
  for (const addrinfo* address = addresses; address != nullptr; address = address->ai_next) ++left;
  const int64_t deadlineMs = bounded(monotonicMs() + kWaitMs);
  for (const addrinfo* address = addresses; address != nullptr; address = address->ai_next, --left) {
    // An equal share of the time left: one that stays silent cannot use up
    // the time of those behind it.
    const int64_t now = monotonicMs();
    int fd = -1;
    const char* failed = connectTo(*address, now + (deadlineMs - now) / left, &fd);
    if (failed == nullptr) return fd;
    reportConnectFailure(failed, *address);
    if (fd >= 0) closeKeepingErrno(fd);
    if (errno == ECANCELED) break;
  }
  return -1;
}

int socket_addressIsThisBox(const sockaddr* address) {
  return isLoopbackOrUnspecified(address) || isOwnAddress(address) ? 1 : 0;
}

int socket_reachesThisBox(int fd) {
  sockaddr_storage peer{}, local{};
  if (!endsOf(fd, &peer, &local)) return 0;
  return socket_addressIsThisBox(asAddress(peer)) || sameAddress(peer, local) ? 1 : 0;
}

int socket_peerOnThisBox(int fd) {
  sockaddr_storage peer{}, local{};
  if (!endsOf(fd, &peer, &local)) return 0;
  // Not the bind probe: trust goes no further than loopback and the
  // box's connections to itself, whatever the system lets a socket bind.
  if (peer.ss_family == AF_UNIX || isLoopbackOrUnspecified(asAddress(peer))) return 1;
  return sameAddress(peer, local) ? 1 : 0;
}

void socket_peerText(int fd, char* text, size_t size) {
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  if (size == 0) return;
  snprintf(text, size, "?");
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return;
  (void)addressText(reinterpret_cast<const sockaddr*>(&peer), text, size);
}

int socket_wait(int fd, int forRead) {
  int ready = pollUntil(fd, static_cast<short>(forRead != 0 ? POLLIN : POLLOUT), monotonicMs() + kWaitMs);
  if (ready < 0) perror("poll");
  return ready;
}

namespace {

// Reads into `buffer` until `size` bytes are there, or (when `whole` is
// false) until one read has brought some: one read takes all that the
// socket holds. The end, a silent wait, a failure or an interruption end it
// sooner. The bytes read.
int readUpTo(int fd, void* buffer, int size, bool whole) {
  auto* bytes = static_cast<char*>(buffer);
  int done = 0;
  while (done < size) {
    // While data flows it is there already: read first, wait only when it is not.
    ssize_t got = readReady(fd, bytes + done, static_cast<size_t>(size - done));
    if (got > 0) {
      done += static_cast<int>(got);
      if (!whole) break;
      continue;
    }
    if (got == 0) break;  // closed by the peer: the end of the data
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) break;  // a failed read ends the data too
    if (socket_wait(fd, 1) <= 0) break;
  }
  return done;
}

}  // namespace

int my_read(int fd, void* buffer, int size) { return readUpTo(fd, buffer, size, true); }

int socket_readSome(int fd, void* buffer, int size) { return readUpTo(fd, buffer, size, false); }

ssize_t socket_sendAll(int fd, const void* data, size_t size, int64_t limitMs) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  const int64_t limitDeadlineMs = bounded(limitMs >= 0 ? monotonicMs() + limitMs : kNoDeadlineMs);
  int64_t graceDeadlineMs = kNoDeadlineMs;  // until interrupted
  PeerWatch watch = {-1, 0};
  size_t sent = 0;
  while (sent < size) {
    ssize_t put = send(fd, bytes + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (put > 0) {
      sent += static_cast<size_t>(put);
      continue;
    }
    if (put < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    const int64_t now = monotonicMs();
    if (graceDeadlineMs == kNoDeadlineMs && isInterrupted()) graceDeadlineMs = now + kGraceMs;
    if (now >= graceDeadlineMs) {
      errno = ECANCELED;
      return -1;
    }
    if (now >= limitDeadlineMs || (limitMs < 0 && peerVanishedWhileWaiting(&watch, fd, now))) {
      errno = ETIMEDOUT;
      return -1;
    }
    // Whole steps: the deadlines above are looked at between them.
    if (waitStep(fd, POLLOUT, kNoDeadlineMs) == Step::kFailed) return -1;
  }
  return static_cast<ssize_t>(sent);
}

WaitsBoundedBy::WaitsBoundedBy(int64_t deadlineMs) : outerMs_(tBoundMs) { tBoundMs = bounded(deadlineMs); }

WaitsBoundedBy::~WaitsBoundedBy() { tBoundMs = outerMs_; }

void socket_watchFlow(FlowWatch* watch) { tFlow = watch; }

void socket_countReceived(ssize_t bytes) {
  if (bytes > 0 && tFlow != nullptr) tFlow->bytes += bytes;
}

void socket_interrupt(bool on) { interrupted.store(on ? 1 : 0); }

int socket_interrupted(void) { return isInterrupted() ? 1 : 0; }

void socket_cancelOn(const AtomicWord* word) { tCancel = word; }

int socket_sleepUntil(int64_t deadlineMs) {
  while (!socket_interrupted()) {
    if (passed(deadlineMs)) return 0;
    (void)waitStep(-1, 0, deadlineMs);
  }
  return -1;
}
