#ifndef ZTV_NET_SOCKET_H
#define ZTV_NET_SOCKET_H

// Socket primitives under the web file client and the player's connection.
// Every wait of a download is five seconds at most: a download that stays
// silent that long counts as ended, and so does a connect that long without
// an answer; a whole try may be bounded tighter (WaitsBoundedBy), and a body
// that trickles counts as ended too (FlowWatch). Waits run in steps (base/wait.h), so that socket_interrupt ends
// them within a step. Failures are reported on stderr through perror, not
// through the log.

#include <stdint.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <stddef.h>

struct AtomicWord;

// A connected TCP socket to `host` (name or address) and `service` (port or
// service name), or -1. Every resolved address in turn, as
// socket_connectFirstOf; a numeric port outside 1..65535 fails.
[[nodiscard]] int socket_connect(const char* host, const char* service);

// A connected TCP socket to the first of `addresses` (a getaddrinfo list,
// in its order) that answers, or -1. Five seconds in all, each address an
// equal share of the time left, so that one that stays silent cannot use up
// the time of those behind it; each that fails is reported with its address.
[[nodiscard]] int socket_connectFirstOf(const struct addrinfo* addresses);

// 1 when `address` is this box itself to whoever connects to it from here:
// a loopback address (127.0.0.0/8, ::1, either mapped into IPv6), the
// unspecified one (0.0.0.0, ::), which a connect takes as loopback, or any
// other address of the box's own (a socket can be bound to it: every
// interface, IPv4 and IPv6, asked of the kernel at the time).
int socket_addressIsThisBox(const struct sockaddr* address);

// 1 when connected socket `fd` reaches this box itself: its peer's address
// is (see socket_addressIsThisBox), or equals the address it left from, as
// a connect to any address of the box does; 0 otherwise or when it cannot
// be told.
int socket_reachesThisBox(int fd);

// 1 when the peer of accepted socket `fd` runs on this box: it came from a
// loopback address or from the very address it connected to (or over a
// local socket). No further: this is what the box trusts.
int socket_peerOnThisBox(int fd);

// The address of the peer of connected socket `fd` as text ("?" when it
// cannot be told), cut to `size` with its NUL.
void socket_peerText(int fd, char* text, size_t size);

// Waits up to five seconds until `fd` is readable (forRead != 0) or writable.
// > 0 ready, 0 timed out or interrupted, -1 failed.
int socket_wait(int fd, int forRead);

// Reads until `size` bytes are in `buffer`, the peer closes, a wait times out,
// fails or is interrupted, or a read fails; returns the bytes read (0 to size).
// Data already there is read without waiting.
int my_read(int fd, void* buffer, int size);

// Reads what `fd` holds now, up to `size` bytes, waiting as my_read only
// while nothing has come; returns the bytes read, 0 at the end of the data
// or when nothing came.
int socket_readSome(int fd, void* buffer, int size);

// Sends all `size` bytes, without SIGPIPE, waiting whenever the peer takes
// none: up to `limitMs` in all (-1: for as long as the peer answers the
// kernel's probes, see net/peer_watch.h; ETIMEDOUT once it has vanished). Once interrupted
// it goes on for half a second at most, so that a unit in flight to a peer
// that reads still arrives whole. `size` on success, else -1 with errno set
// (ETIMEDOUT past the limit, ECANCELED when interrupted).
ssize_t socket_sendAll(int fd, const void* data, size_t size, int64_t limitMs);

// Bounds every wait of the calling thread (look-up, connect, read, send)
// by `deadlineMs` on the monotonic clock, on top of each wait's own bound,
// for as long as it lives: one try of a download ends by then whatever the
// service does, a byte of its answer each few seconds included. Bounds
// nest; the nearest deadline holds.
class WaitsBoundedBy {
 public:
  explicit WaitsBoundedBy(int64_t deadlineMs);
  ~WaitsBoundedBy();
  WaitsBoundedBy(const WaitsBoundedBy&) = delete;
  WaitsBoundedBy& operator=(const WaitsBoundedBy&) = delete;

 private:
  int64_t outerMs_;  // the bound it replaced, back in force when it ends
};

// A body that comes at less than a useful rate counts as stalled: fewer
// than kFlowLeastBytes arrived while its reader waited kFlowWindowMs for
// them (the time the reader spends elsewhere, a paused player's, does not
// count). 16 KiB in 10 s is 13 kbit/s, below any stream worth showing.
constexpr int64_t kFlowWindowMs = 10000;
constexpr int64_t kFlowLeastBytes = 16384;

// The flow of one body, kept by its reader between reads.
struct FlowWatch {
  int64_t waitedMs = 0;  // spent waiting for the body in the current window
  int64_t bytes = 0;     // received in the current window
  bool stalled = false;  // a wait ended for too few bytes in a window: the body counts as ended
};

// Until called with null, the calling thread's reads count into `watch`
// and its waits end as a silent source's would once the body has stalled.
void socket_watchFlow(FlowWatch* watch);

// Counts `bytes` received on the calling thread toward its FlowWatch, for
// reads that do not go through my_read (a TLS session's own).
void socket_countReceived(ssize_t bytes);

// While `on`, every wait above ends at once, as a timeout would, and a
// connect fails: the server's stop sets it until its connection thread has
// ended. Safe from any thread.
void socket_interrupt(bool on);

// Whether socket_interrupt is on now, or the calling thread's cancel word
// is set. Safe from any thread.
int socket_interrupted(void);

// Until called with null, the calling thread's waits also end as
// socket_interrupt ends them once `word` is not 0: a thread that works for
// others (a channel's feeder) is let go when they have all gone.
void socket_cancelOn(const AtomicWord* word);

// Sleeps until `deadlineMs` on the monotonic clock (monotonicMs), in steps
// that end the sleep once socket_interrupt is on: 0 at the deadline, -1 when
// interrupted.
int socket_sleepUntil(int64_t deadlineMs);

#endif  // ZTV_NET_SOCKET_H
