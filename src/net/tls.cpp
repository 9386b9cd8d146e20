#include "net/tls.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "base/atomic_word.h"
#include "base/clock.h"
#include "base/heap.h"
#include "log/log.h"
#include "net/socket.h"

// What both builds share: the trust file as read.
namespace {

constexpr off_t kMaxTrustBytes = 4 << 20;  // Debian's whole bundle is some 200 KiB
constexpr char kCertificateMark[] = "-----BEGIN CERTIFICATE-----";

// The whole of trust file `path` in `*text` and `*size`, or why it cannot be
// had: the system's words for one that cannot be opened, "not a file",
// "larger than 4 MiB", "cannot be read" (or memory ran short).
const char* readTrustFile(const char* path, HeapArray<uint8_t>* text, size_t* size) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return strerror(errno);
  struct stat status{};
  const char* fault = nullptr;
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    fault = "not a file";
  } else if (status.st_size > kMaxTrustBytes) {
    fault = "larger than 4 MiB";
  } else {
    const size_t whole = static_cast<size_t>(status.st_size);
    *text = allocZeroed<uint8_t>(whole + 1);  // one more: an empty file is had too
    size_t done = 0;
    while (*text != nullptr && done < whole) {
      const ssize_t got = read(fd, text->get() + done, whole - done);
      if (got <= 0 && !(got < 0 && errno == EINTR)) break;
      if (got > 0) done += static_cast<size_t>(got);
    }
    *size = done;
    if (*text == nullptr || done != whole) fault = "cannot be read";
  }
  close(fd);
  return fault;
}

}  // namespace

#if ZTV_TLS

#include <wolfssl/ssl.h>
#include <wolfssl/internal.h>
#include <wolfssl/wolfcrypt/asn.h>
#include <wolfssl/wolfcrypt/error-crypt.h>
#include <wolfssl/error-ssl.h>

struct TlsLink {
  WOLFSSL_CTX* context;  // the session's own (sessionContextNew), freed with it
  WOLFSSL* session;
  int fd;
  bool broke;          // the socket ended, failed or stayed silent under the session
  bool starved;        // memory ran short during the handshake
  bool nameListed;     // the server's certificate lists `host` (checkCertificate)
  const char* host;    // borrowed for the handshake: the name or address asked for
  const char* fault;   // why checkCertificate refused a certificate, null while it did not
};

namespace {

constexpr const char* kSelf = "tlsConnect";  // the operation named in every message
constexpr size_t kMaxHostText = 256;
// A whole handshake, however its messages trickle in: twice the wait of
// every download, room for a slow player CPU's key exchange and checks.
constexpr int64_t kHandshakeMs = 10000;

// The bundles looked for when no file is given, in this order: the system's
// own (Debian, Ubuntu, Alpine with its package, Arch, Gentoo; Fedora and its
// kind; the one file of Alpine and the BSDs), then the one installed with
// the program, for a box that has none.
constexpr const char* kBundles[] = {
    "/etc/ssl/certs/ca-certificates.crt",
    "/etc/pki/tls/certs/ca-bundle.crt",
    "/etc/ssl/cert.pem",
    ZTV_CA_BUNDLE,
};

// Offered first: constant-time in software and faster than AES on CPUs
// without AES instructions, the players' kind. The library's defaults
// follow for the rest (ECDHE with ECDSA or RSA only: nothing else is built).
constexpr const char* kCiphers =
    "TLS13-CHACHA20-POLY1305-SHA256:TLS13-AES128-GCM-SHA256:TLS13-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305:"
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384";

// What every session shares: one context that holds the trusted
// certificates, loaded at the first https connection that finds them.
struct Shared {
  pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  WOLFSSL_CTX* trust = nullptr;  // set once, under the lock; never used for a session, never freed
  const char* trustFile = nullptr;
  AtomicWord clockWarned;
};
Shared shared;

// The time the certificates are judged at: the clock, or the build time
// while the clock stands before it (a box without a battery-backed clock
// starts in 1970 and may set its time later, or never).
time_t checkTime(time_t* out) {
  time_t now = time(nullptr);
  if (now < static_cast<time_t>(ZTV_BUILD_TIME)) {
    int32_t unwarned = 0;
    if (shared.clockWarned.compareExchange(&unwarned, 1)) {
      Log(WARNING, "%s, the clock stands before the program's build: certificates are judged as of the build "
                   "time until the clock is set.", kSelf);
    }
    now = static_cast<time_t>(ZTV_BUILD_TIME);
  }
  if (out != nullptr) *out = now;
  return now;
}

// The socket under a session: a read or write that would wait says so, and
// the caller waits (socket_wait), so that every wait is bounded and ends on
// socket_interrupt.
int receive(WOLFSSL*, char* buffer, int size, void* context) {
  TlsLink* link = static_cast<TlsLink*>(context);
  for (;;) {
    const ssize_t got = recv(link->fd, buffer, static_cast<size_t>(size), MSG_DONTWAIT);
    socket_countReceived(got);  // a body's flow is judged on the bytes that come, whole records or not
    if (got > 0) return static_cast<int>(got);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return WOLFSSL_CBIO_ERR_WANT_READ;
    link->broke = true;
    return got == 0 ? WOLFSSL_CBIO_ERR_CONN_CLOSE : WOLFSSL_CBIO_ERR_CONN_RST;
  }
}

int transmit(WOLFSSL*, char* buffer, int size, void* context) {
  TlsLink* link = static_cast<TlsLink*>(context);
  for (;;) {
    const ssize_t put = send(link->fd, buffer, static_cast<size_t>(size), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (put >= 0) return static_cast<int>(put);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return WOLFSSL_CBIO_ERR_WANT_WRITE;
    link->broke = true;
    return WOLFSSL_CBIO_ERR_CONN_RST;
  }
}

// After a call on the session returned `result` <= 0: waits for what it
// wants. True to call again; false when it failed, or the wait ran out or
// was interrupted (the link counts as broken then).
bool waitForSession(TlsLink* link, int result) {
  const int error = wolfSSL_get_error(link->session, result);
  if (error != WOLFSSL_ERROR_WANT_READ && error != WOLFSSL_ERROR_WANT_WRITE) return false;
  if (socket_wait(link->fd, error == WOLFSSL_ERROR_WANT_READ ? 1 : 0) > 0) return true;
  link->broke = true;
  return false;
}

// Loads the trusted certificates into `context`: the given file, else the
// first bundle found. Certificates the library cannot use (a curve or a key
// it is not built for) are skipped; the rest count.
bool loadTrust(WOLFSSL_CTX* context) {
  HeapArray<uint8_t> text;
  size_t size = 0;
  const char* path = shared.trustFile;
  if (path != nullptr) {
    if (const char* fault = readTrustFile(path, &text, &size)) {
      Log(ERROR, "%s, trusted certificates in %s cannot be read: %s.", kSelf, path, fault);
      return false;
    }
  } else {
    for (const char* bundle : kBundles) {
      if (readTrustFile(bundle, &text, &size) == nullptr && size > 0) {
        path = bundle;
        break;
      }
    }
    if (path == nullptr) {
      Log(ERROR, "%s, no trusted certificates: none of %s, %s, %s or %s is there (--ca-file names a file).",
          kSelf, kBundles[0], kBundles[1], kBundles[2], kBundles[3]);
      return false;
    }
  }
  const int loaded = wolfSSL_CTX_load_verify_buffer_ex(context, text.get(), static_cast<long>(size), WOLFSSL_FILETYPE_PEM, 0,
                                                       WOLFSSL_LOAD_FLAG_IGNORE_ERR);
  if (loaded != WOLFSSL_SUCCESS) {
    Log(ERROR, "%s, no certificate in %s could be taken.", kSelf, path);
    return false;
  }
  Log(DEBUG, "%s: trusted certificates from %s", kSelf, path);
  return true;
}

// Why a certificate was refused, in words; null for a failure of another kind.
const char* certificateFault(int error) {
  switch (error) {
    case ASN_NO_SIGNER_E: return "unknown issuer";
    case ASN_AFTER_DATE_E: return "expired";
    case ASN_BEFORE_DATE_E: return "not yet valid";
    case DOMAIN_NAME_MISMATCH:
    case IPADDR_MISMATCH: return "wrong name";
    case ASN_SIG_CONFIRM_E: return "bad signature";
    case ASN_SELF_SIGNED_E: return "self-signed";
    case EXTKEYUSE_AUTH_E: return "made for another purpose";
    case ASN_NAME_INVALID_E: return "a name outside its issuer's constraints";
    case RSA_KEY_SIZE_E:
    case ECC_KEY_SIZE_E:
    case ECC_CURVE_OID_E: return "weak key";
    case ASN_SIG_HASH_E:
    case HASH_TYPE_E: return "weak signature";
    case VERIFY_CERT_ERROR: return "refused";
    default: return nullptr;
  }
}

// Whether DNS name `pattern` (`length` bytes, as the certificate lists it)
// stands for `host`, as RFC 6125 has it: letter case aside, the same name;
// or "*." and the rest of the name, "*" standing for the whole leftmost label
// of a name of three labels or more. A "*" anywhere else matches nothing.
bool dnsNameMatches(const char* pattern, int length, const char* host) {
  const char* rest = pattern;
  if (length > 2 && pattern[0] == '*' && pattern[1] == '.') {
    const char* dot = strchr(host, '.');
    if (dot == nullptr || dot == host || memchr(pattern + 2, '.', static_cast<size_t>(length - 2)) == nullptr) {
      return false;
    }
    rest = pattern + 1;
    host = dot;
  }
  const size_t size = static_cast<size_t>(length - (rest - pattern));
  return memchr(rest, '*', size) == nullptr && strlen(host) == size && strncasecmp(rest, host, size) == 0;
}

// Whether `cert` lists `host`: an address among its IP addresses, a name
// among its DNS names; never its common name, never a name spelling an
// address.
bool listsHost(const DecodedCert* cert, const char* host) {
  unsigned char address[16];
  const int size = inet_pton(AF_INET, host, address) == 1 ? 4 : inet_pton(AF_INET6, host, address) == 1 ? 16 : 0;
  for (const DNS_entry* entry = cert->altNames; entry != nullptr; entry = entry->next) {
    if (size == 0 ? entry->type == ASN_DNS_TYPE && dnsNameMatches(entry->name, entry->len, host)
                  : entry->type == ASN_IP_TYPE && entry->len == size &&
                        memcmp(entry->name, address, static_cast<size_t>(size)) == 0) {
      return true;
    }
  }
  return false;
}

// Why `cert`, at `depth` in the server's chain, is refused where the library
// took it; null when it is not. A SHA-1 or MD5 signature on a certificate
// that a known certificate vouches for is refused (the self-signature of a
// trust anchor vouches for nothing: it is not judged); the server's own
// certificate must list the host.
const char* refusal(const DecodedCert* cert, int depth, const char* host) {
  const bool weak = cert->signatureOID == CTC_SHAwRSA || cert->signatureOID == CTC_SHAwECDSA ||
                    cert->signatureOID == CTC_MD5wRSA;
  if (weak && cert->ca != nullptr) return "weak signature";
  if (depth == 0 && !listsHost(cert, host)) return "wrong name";
  return nullptr;
}

// Called for each certificate of the server's chain, the top one first,
// once the library has checked it: what the library does not judge as
// today's clients do is judged here (refusal).
int checkCertificate(int checked, WOLFSSL_X509_STORE_CTX* store) {
  TlsLink* link = static_cast<TlsLink*>(store->userCtx);
  const int depth = store->error_depth;
  if (checked == 0 && link->fault == nullptr) link->fault = certificateFault(store->error);  // the first reason counts
  if (checked == 0 || store->certs == nullptr || depth < 0 || depth >= store->totalCerts) return checked;
  DecodedCert* cert = newRecord<DecodedCert>();
  if (cert == nullptr) {
    link->starved = true;
    return 0;
  }
  wc_InitDecodedCert(cert, store->certs[depth].buffer, store->certs[depth].length, nullptr);
  const int parsed = wc_ParseCert(cert, CERT_TYPE, NO_VERIFY, wolfSSL_CTX_GetCertManager(link->context));
  if (parsed == MEMORY_E) link->starved = true;
  if (parsed == 0) link->fault = refusal(cert, depth, link->host);
  if (parsed == 0 && depth == 0 && link->fault == nullptr) link->nameListed = true;
  wc_FreeDecodedCert(cert);
  freeRecord(cert);
  return parsed == 0 && link->fault == nullptr ? 1 : 0;
}

// A context with the program's settings, trusting nothing yet; null when
// memory ran short.
WOLFSSL_CTX* newContext() {
  WOLFSSL_CTX* context = wolfSSL_CTX_new(wolfSSLv23_client_method());
  if (context == nullptr) return nullptr;
  wolfSSL_CTX_SetIORecv(context, receive);
  wolfSSL_CTX_SetIOSend(context, transmit);
  wolfSSL_CTX_set_verify(context, WOLFSSL_VERIFY_PEER, checkCertificate);
  if (wolfSSL_CTX_SetMinVersion(context, WOLFSSL_TLSV1_2) == WOLFSSL_SUCCESS &&
      wolfSSL_CTX_set_cipher_list(context, kCiphers) == WOLFSSL_SUCCESS) {
    return context;
  }
  wolfSSL_CTX_free(context);
  return nullptr;
}

// The shared trust, loaded at the first call that can; null when it cannot
// be (the cause was logged): the next call tries again, so that a bundle
// replaced or memory short does not end https until a restart.
WOLFSSL_CTX* sharedTrust() {
  pthread_mutex_lock(&shared.lock);
  if (shared.trust == nullptr && wolfSSL_Init() == WOLFSSL_SUCCESS) {
    wc_SetTimeCb(checkTime);
    WOLFSSL_CTX* context = newContext();
    if (context != nullptr && loadTrust(context)) {
      shared.trust = context;
    } else {
      wolfSSL_CTX_free(context);
    }
  }
  WOLFSSL_CTX* trust = shared.trust;
  pthread_mutex_unlock(&shared.lock);
  return trust;
}

// A context for one session: the settings, and a certificate table whose
// rows start as those of the shared trust (which nothing changes once
// loaded). The intermediates a handshake checks go on the front of its own
// rows and leave with the session (sessionContextFree): trust comes from the
// trusted certificates alone, never from what another server sent, and a
// chain the server does not complete is refused every time.
WOLFSSL_CTX* sessionContextNew(WOLFSSL_CTX* trust) {
  WOLFSSL_CTX* context = newContext();
  if (context == nullptr) return nullptr;
  memcpy(wolfSSL_CTX_GetCertManager(context)->caTable, wolfSSL_CTX_GetCertManager(trust)->caTable,
         sizeof(Signer*) * CA_TABLE_SIZE);
  return context;
}

void sessionContextFree(WOLFSSL_CTX* context) {
  if (context == nullptr) return;
  Signer** rows = wolfSSL_CTX_GetCertManager(context)->caTable;
  Signer* const* trusted = wolfSSL_CTX_GetCertManager(shared.trust)->caTable;
  for (int row = 0; row < CA_TABLE_SIZE; ++row) {
    while (rows[row] != trusted[row]) {
      Signer* learnt = rows[row];
      rows[row] = learnt->next;
      FreeSigner(learnt, nullptr);
    }
    rows[row] = nullptr;  // the trusted rows stay the shared trust's
  }
  wolfSSL_CTX_free(context);
}

// Logs why the handshake with `host` failed with `error`, and tells whether
// asking again may help: only when the connection broke or fell silent.
void reportFailure(const TlsLink* link, const char* host, int error, bool* final) {
  const char* fault = link->fault != nullptr ? link->fault : certificateFault(error);
  if (fault != nullptr) {
    Log(ERROR, "%s, the certificate of %s does not check out: %s.", kSelf, host, fault);
  } else if (link->starved || error == MEMORY_E || error == MEMORY_ERROR) {
    *final = false;
    Log(ERROR, "%s, out of memory during the handshake with %s.", kSelf, host);
  } else if (link->broke) {
    *final = false;
    Log(ERROR, "%s, the connection to %s broke off or fell silent during the handshake.", kSelf, host);
  } else {
    Log(ERROR, "%s, no TLS with %s: no common version or cipher, or the server refused it (error %d).", kSelf,
        host, error);
  }
}

// The handshake of `link` with `host`; true once done and checked.
bool shakeHands(TlsLink* link, const char* host, bool* final) {
  const size_t length = strlen(host);
  if (length >= kMaxHostText) {
    Log(ERROR, "%s, host name too long: %s", kSelf, host);
    return false;
  }
  WOLFSSL* session = link->session;
  wolfSSL_SetIOReadCtx(session, link);
  wolfSSL_SetIOWriteCtx(session, link);
  wolfSSL_SetCertCbCtx(session, link);
  link->host = host;
  // An address is not sent as the server's name, as TLS wants it.
  unsigned char address[16];
  const bool isAddress = inet_pton(AF_INET, host, address) == 1 || inet_pton(AF_INET6, host, address) == 1;
  if (!isAddress &&
      wolfSSL_UseSNI(session, WOLFSSL_SNI_HOST_NAME, host, static_cast<unsigned short>(length)) != WOLFSSL_SUCCESS) {
    *final = false;
    Log(ERROR, "%s, out of memory.", kSelf);
    return false;
  }
  const int64_t deadlineMs = monotonicMs() + kHandshakeMs;
  int result;
  while ((result = wolfSSL_connect(session)) != WOLFSSL_SUCCESS) {
    if (monotonicMs() < deadlineMs && waitForSession(link, result)) continue;
    if (monotonicMs() >= deadlineMs) link->broke = true;
    reportFailure(link, host, wolfSSL_get_error(session, result), final);
    return false;
  }
  // The name is the program's to check (checkCertificate): a handshake that
  // never showed it the server's certificate is refused.
  if (!link->nameListed) reportFailure(link, host, DOMAIN_NAME_MISMATCH, final);
  return link->nameListed;
}

// As my_read, through the session; as socket_readSome when `whole` is
// false: it stops once it has some bytes and the next record is not there.
int sessionRead(TlsLink* tls, void* buffer, int size, bool whole) {
  auto* bytes = static_cast<char*>(buffer);
  int done = 0;
  while (done < size && !tls->broke) {
    const int got = wolfSSL_read(tls->session, bytes + done, size - done);
    if (got > 0) {
      done += got;
      continue;
    }
    if (!whole && done > 0) break;  // nothing more without a wait
    if (!waitForSession(tls, got)) break;  // the end of the data, a failure or a silent peer
  }
  return done;
}

// As socket_sendAll with a limit, through the session.
ssize_t sessionSendAll(TlsLink* tls, const void* data, size_t size, int64_t limitMs) {
  const int64_t deadlineMs = monotonicMs() + limitMs;
  const int length = static_cast<int>(size);
  for (;;) {
    const int put = wolfSSL_write(tls->session, data, length);
    if (put == length) return put;
    if (monotonicMs() >= deadlineMs || !waitForSession(tls, put)) {
      errno = socket_interrupted() ? ECANCELED : ETIMEDOUT;
      return -1;
    }
  }
}

}  // namespace

void tls_setTrustFile(const char* path) { shared.trustFile = path; }

namespace {

void linkFree(TlsLink* link) {
  if (link == nullptr) return;
  wolfSSL_free(link->session);  // accepts null
  sessionContextFree(link->context);
  freeRecord(link);
}

}  // namespace

TlsLink* tls_open(int fd, const char* host, bool* final) {
  *final = true;
  WOLFSSL_CTX* trust = sharedTrust();
  if (trust == nullptr) {
    Log(ERROR, "%s, no https for %s: the trusted certificates could not be had.", kSelf, host);
    return nullptr;
  }
  TlsLink* link = newRecord<TlsLink>();
  if (link == nullptr || (link->context = sessionContextNew(trust)) == nullptr ||
      (link->session = wolfSSL_new(link->context)) == nullptr) {
    *final = false;
    Log(ERROR, "%s, out of memory.", kSelf);
    linkFree(link);
    return nullptr;
  }
  link->fd = fd;
  if (shakeHands(link, host, final)) {
    Log(DEBUG, "%s: %s with %s, %s", kSelf, wolfSSL_get_version(link->session), host,
        wolfSSL_get_cipher_name(link->session));
    return link;
  }
  linkFree(link);
  return nullptr;
}

void tls_close(TlsLink* link) {
  if (link == nullptr) return;
  if (!link->broke) (void)wolfSSL_shutdown(link->session);  // the alert, when the socket takes it now
  linkFree(link);
}

#else  // a build without TLS: https sources are refused

namespace {

// Never called: without TLS no link has a session.
int sessionRead(TlsLink*, void*, int, bool) { return 0; }
ssize_t sessionSendAll(TlsLink*, const void*, size_t, int64_t) { return -1; }

}  // namespace

void tls_setTrustFile(const char*) {}

TlsLink* tls_open(int, const char* host, bool* final) {
  *final = true;
  Log(ERROR, "%s, %s is an https source, and this build has no TLS.", "tlsConnect", host);
  return nullptr;
}

void tls_close(TlsLink*) {}

#endif  // ZTV_TLS

// What both builds share: the trust file checked, and the bytes of a link,
// plain or through its session.
const char* tls_trustFileFault(const char* path) {
  HeapArray<uint8_t> text;
  size_t size = 0;
  const char* fault = readTrustFile(path, &text, &size);
  if (fault != nullptr) return fault;
  return memmem(text.get(), size, kCertificateMark, sizeof kCertificateMark - 1) != nullptr ? nullptr
                                                                                            : "no certificate in it";
}

int link_read(WebLink link, void* buffer, int size) {
  if (link.tls == nullptr) return my_read(link.fd, buffer, size);
  return sessionRead(link.tls, buffer, size, true);
}

int link_readSome(WebLink link, void* buffer, int size) {
  if (link.tls == nullptr) return socket_readSome(link.fd, buffer, size);
  return sessionRead(link.tls, buffer, size, false);
}

ssize_t link_sendAll(WebLink link, const void* data, size_t size, int64_t limitMs) {
  if (link.tls == nullptr) return socket_sendAll(link.fd, data, size, limitMs);
  return sessionSendAll(link.tls, data, size, limitMs);
}

