#ifndef ZTV_TESTS_SUPPORT_FUZZ_SUPPORT_H
#define ZTV_TESTS_SUPPORT_FUZZ_SUPPORT_H

// Small pieces the fuzz targets share: an invariant check that stops the
// fuzzer, and an in-memory descriptor that serves the input. (The shape a
// channel stream must keep is FlvShape, in support/flv.h.)

#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace testsupport {

// Aborts when an invariant does not hold, so libFuzzer reports the input.
inline void fuzzCheck(bool condition) {
  if (!condition) std::abort();
}

// A descriptor that reads `data` and then ends: a memory file, always
// readable, so no thread has to feed it. -1 when none can be made.
inline int memoryFile(const uint8_t* data, size_t size) {
  const int fd = memfd_create("fuzz-input", 0);
  if (fd < 0) return -1;
  size_t done = 0;
  while (done < size) {
    const ssize_t put = write(fd, data + done, size - done);
    if (put <= 0) {
      close(fd);
      return -1;
    }
    done += static_cast<size_t>(put);
  }
  if (lseek(fd, 0, SEEK_SET) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace testsupport

#endif  // ZTV_TESTS_SUPPORT_FUZZ_SUPPORT_H
