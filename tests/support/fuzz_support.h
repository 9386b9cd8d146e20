#ifndef ZTV_TESTS_SUPPORT_FUZZ_SUPPORT_H
#define ZTV_TESTS_SUPPORT_FUZZ_SUPPORT_H

// Small pieces the fuzz targets (and the allocation torture test) share: an
// invariant check that stops the fuzzer, an in-memory descriptor that serves
// the input, and the shape every channel stream must keep.

#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

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

// What a channel stream must be after every unit: the 9-byte header once,
// then whole tags (15-byte block and the body it announces), each tag's
// PreviousTagSize the size of the tag before it in the output (0 for the
// first), and neither video nor audio timestamps going back (on the
// wrapping 32-bit clock the re-muxer keeps).
class StreamShape {
 public:
  // False when `unit` breaks the shape; the stream so far stays as it was.
  bool accept(const uint8_t* unit, size_t length) {
    if (!headerSeen_) {
      headerSeen_ = length == 9 && std::memcmp(unit, "FLV\x01\x05\x00\x00\x00\x09", 9) == 0;
      return headerSeen_;
    }
    if (length < 15) return false;
    const uint32_t dataSize = read24(unit + 5);
    if (length != 15 + size_t{dataSize} || read32(unit) != lastTagSize_) return false;
    const uint32_t timestamp = (uint32_t{unit[11]} << 24) | read24(unit + 8);
    if (unit[4] == 9 && !rises(timestamp, videoSeen_, lastVideo_)) return false;
    if (unit[4] == 8 && !rises(timestamp, audioSeen_, lastAudio_)) return false;
    lastTagSize_ = 11 + dataSize;
    return true;
  }

 private:
  static uint32_t read24(const uint8_t* at) { return (uint32_t{at[0]} << 16) | (uint32_t{at[1]} << 8) | at[2]; }
  static uint32_t read32(const uint8_t* at) { return (uint32_t{at[0]} << 24) | read24(at + 1); }
  static bool rises(uint32_t timestamp, bool& seen, uint32_t& last) {
    if (seen && static_cast<int32_t>(timestamp - last) < 0) return false;
    seen = true;
    last = timestamp;
    return true;
  }

  bool headerSeen_ = false;
  uint32_t lastTagSize_ = 0;
  bool videoSeen_ = false, audioSeen_ = false;
  uint32_t lastVideo_ = 0, lastAudio_ = 0;
};

}  // namespace testsupport

#endif  // ZTV_TESTS_SUPPORT_FUZZ_SUPPORT_H
