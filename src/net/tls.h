#ifndef ZTV_NET_TLS_H
#define ZTV_NET_TLS_H

// The client side of TLS 1.2 and 1.3 over a connected socket, for https://
// sources: the server's certificate chain is checked against the trusted
// certificates and its name against the host asked for; there is no way to
// skip the check. The waits are those of every download (net/socket.h):
// five seconds each, ended by socket_interrupt. A WebLink carries a
// download's bytes either way, plain or through TLS.
//
// Trust comes from the file given to tls_setTrustFile, else from the first
// bundle found of the system's (Debian's and its kind's, then Fedora's, then
// the one file of Alpine's and the BSDs') and the one installed with the
// program; it is read at the first https connection, and again at the next
// one for as long as it could not be. Trust comes from it alone: an
// intermediate a server sent is trusted for that chain only. While the clock
// stands before the program's build time (a box that has not set its clock
// since it started in 1970), the build time counts as now for the check.

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

struct TlsLink;  // one TLS session; its socket stays the caller's

struct WebLink {
  int fd = -1;
  TlsLink* tls = nullptr;  // null: the bytes go plain
  WebLink() = default;
  WebLink(int socket, TlsLink* session = nullptr) : fd(socket), tls(session) {}  // NOLINT: a plain socket is a link
};

// Trust for every https connection from now on: the certificates of PEM file
// `path` alone, or the bundles above when null. Call before the first
// connection; the text is not copied. An unreadable file is a failure of
// each https connection (logged), not of this call.
void tls_setTrustFile(const char* path);

// Why PEM file `path` cannot serve as the trusted certificates, or null when
// it can: the system's words for a file that cannot be opened, "not a
// file", "larger than 4 MiB", "cannot be read", "no certificate in it".
const char* tls_trustFileFault(const char* path);

// A TLS session with `host` (a name, or an address without brackets) over
// connected socket `fd`, its handshake done and the server's certificate
// checked; or null, the cause logged, with `*final` telling whether asking
// again cannot help (a certificate that does not check out, no common
// version or cipher, no trust, no TLS in this build) or may (a connection
// that broke, stayed silent or was interrupted).
[[nodiscard]] TlsLink* tls_open(int fd, const char* host, bool* final);

// Ends the session (a close alert, sent when the socket takes it at once)
// and frees it; the socket stays open. Accepts null.
void tls_close(TlsLink* link);

// As my_read (net/socket.h), through the link's TLS session when it has one.
int link_read(WebLink link, void* buffer, int size);

// As socket_readSome (net/socket.h), through the link's TLS session when it
// has one: the records that are there, or the first that comes.
int link_readSome(WebLink link, void* buffer, int size);

// As socket_sendAll with a limit (net/socket.h), through the link's TLS
// session when it has one.
ssize_t link_sendAll(WebLink link, const void* data, size_t size, int64_t limitMs);

#endif  // ZTV_NET_TLS_H
