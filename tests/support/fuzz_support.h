#ifndef ZTV_TESTS_SUPPORT_FUZZ_SUPPORT_H
#define ZTV_TESTS_SUPPORT_FUZZ_SUPPORT_H

// Small pieces the fuzz targets share: an invariant check that stops the
// fuzzer, and the far side of a socket pair that serves the input.

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace testsupport {

// Aborts when an invariant does not hold, so libFuzzer reports the input.
inline void fuzzCheck(bool condition) {
  if (!condition) std::abort();
}

// Writes the input to `fd` and shuts its write side, so the reader always
// sees the end; gives up when the reader went away. The caller closes `fd`.
inline void feedAndShutdown(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
    if (sent <= 0) break;
    data += sent;
    size -= static_cast<size_t>(sent);
  }
  shutdown(fd, SHUT_WR);
}

}  // namespace testsupport

#endif  // ZTV_TESTS_SUPPORT_FUZZ_SUPPORT_H
