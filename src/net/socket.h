#ifndef ZTV_NET_SOCKET_H
#define ZTV_NET_SOCKET_H

// Socket primitives under the web file client. Every wait is five seconds:
// a download that stays silent that long counts as ended. Failures are
// reported on stderr through perror, not through the log.

// A connected TCP socket to `host` (name or address) and `service` (port or
// service name), or -1. The first resolved address only; connect blocks.
[[nodiscard]] int socket_connect(const char* host, const char* service);

// Waits up to five seconds until `fd` is readable (forRead != 0) or writable.
// > 0 ready, 0 timed out, -1 failed.
int socket_wait(int fd, int forRead);

// Reads until `size` bytes are in `buffer`, the peer closes, a wait times out
// or fails, or a read fails; returns the bytes read (0 to size).
int my_read(int fd, void* buffer, int size);

#endif  // ZTV_NET_SOCKET_H
