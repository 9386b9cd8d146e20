// The MPEG-TS writer over units cut from the input as the re-muxer hands
// them out: the 9-byte file header, then blocks (PreviousTagSize and the tag
// header) each with the body its data size names, cut short where the input
// ends. Each unit lies in a heap block of its own size, so that a read past
// it stops the fuzzer. Every packet the sink gets is checked: whole 188-byte
// packets with their sync byte, an adaptation field that fits, counters
// continuous per PID and no discontinuity flagged.

#include <cstdint>
#include <cstring>

#include "base/bytes.h"
#include "base/heap.h"
#include "stream/flv_block.h"
#include "stream/ts_writer.h"
#include "support/fuzz_support.h"

using testsupport::fuzzCheck;

namespace {

constexpr size_t kFileHeaderSize = 9;

// What a player would see of the counters: the last one of each PID.
struct Receiver {
  int16_t counter[0x2000];  // -1 until the PID's first packet
};

void checkPacket(Receiver& receiver, const uint8_t* p) {
  fuzzCheck(p[0] == 0x47);
  const uint16_t pid = static_cast<uint16_t>((p[1] & 0x1F) << 8 | p[2]);
  const bool adaptation = (p[3] & 0x20) != 0, payload = (p[3] & 0x10) != 0;
  fuzzCheck(adaptation || payload);
  if (adaptation) {
    fuzzCheck(p[4] <= (payload ? kTsPacketSize - 6 : kTsPacketSize - 5));
    fuzzCheck(p[4] == 0 || (p[5] & 0x80) == 0);  // no discontinuity indicator
  }
  // A packet with payload takes the next counter; one without repeats it.
  const int16_t counter = p[3] & 0x0F;
  int16_t& last = receiver.counter[pid];
  if (last >= 0) fuzzCheck(counter == (payload ? (last + 1) & 0x0F : last));
  last = counter;
}

bool receive(void* context, const uint8_t* bytes, size_t length) {
  fuzzCheck(length > 0 && length % kTsPacketSize == 0 && length <= kTsPacketsPerSend * kTsPacketSize);
  for (size_t at = 0; at < length; at += kTsPacketSize) checkPacket(*static_cast<Receiver*>(context), bytes + at);
  return true;
}

// The length of the unit at the start of `data`: the file header first,
// then a block and as much of its body as the input holds.
size_t unitLength(const uint8_t* data, size_t size, bool first) {
  if (first || size < kBlockSize) return first && size > kFileHeaderSize ? kFileHeaderSize : size;
  const size_t body = readBigEndian24(data + 5);
  return kBlockSize + (body < size - kBlockSize ? body : size - kBlockSize);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Receiver receiver;
  memset(receiver.counter, 0xFF, sizeof receiver.counter);
  TsWriter* writer = tsWriterOpen();
  fuzzCheck(writer != nullptr);
  const TsSink sink{receive, &receiver};
  for (size_t at = 0; at < size;) {
    const size_t length = unitLength(data + at, size - at, at == 0);
    ByteBuffer unit = allocZeroed<uint8_t>(length);
    fuzzCheck(unit != nullptr);
    memcpy(unit.get(), data + at, length);
    fuzzCheck(tsWriteUnit(writer, unit.get(), length, sink) != TsResult::kSinkFailed);
    at += length;
  }
  tsWriterClose(writer);
  return 0;
}
