// The FLV re-muxer over a source file given by the fuzzer, read from an
// in-memory file (always readable, ending at its size: no thread feeds it).
// When the source ends, video selection takes the session's timeline's
// second entry, whose URL the client cannot open, so the stream ends there
// without a network or a timeline download. Checks the shape of every unit.

#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/heap.h"
#include "log/log.h"
#include "net/web_file.h"
#include "stream/flv_remux.h"
#include "stream/session.h"
#include "stream/tries.h"
#include "stream/video_select.h"
#include "timeline/playlist.h"
#include "support/flv.h"
#include "support/fuzz_support.h"
#include "support/timeline_doc.h"

using testsupport::fuzzCheck;
using testsupport::memoryFile;

namespace {

constexpr uint32_t kCapacity = 64;  // small, so that tags often grow the buffer

// The source as entry 1, then an entry whose URL the client cannot open.
const std::string kTimeline =
    testsupport::timelineDocument({{"http://127.0.0.1:1/fuzz.flv", 1}, {"unusable", 2}}, 0);

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  debuglevel = 0;
  // The first failure ends the stream, as no service is there to try again.
  tryTimes = {0, 0};
  timelineHost = "127.0.0.1:1";
  const int fd = memoryFile(data, size);
  if (fd < 0) return 0;

  StreamSession* session = openFLVStream();
  fuzzCheck(session != nullptr);
  fuzzCheck(copyText(&session->videoUrl, "http://127.0.0.1:1/fuzz.flv"));
  session->source.reset(webFileParseUrl(session->videoUrl.c_str()));
  fuzzCheck(session->source != nullptr);
  session->source->fd = fd;
  session->source->contentLength = static_cast<int64_t>(size);
  const XmlPtr xml(openXMLText(kTimeline.data(), kTimeline.size(), 0));
  session->timeline.reset(parseEPGData(xml.get()));
  fuzzCheck(session->timeline != nullptr);
  session->entryIndex = 1;
  session->currentPliid = 1;

  ByteBuffer buffer = allocZeroed<uint8_t>(kCapacity);
  // The header first, then whole tags; a source keeps its own chain and timestamps.
  testsupport::FlvShape shape({.chain = false, .rising = false});
  for (size_t calls = 0; calls <= size / 9 + 2; ++calls) {
    const int32_t length = getFLVPacket(&session, &buffer, kCapacity);
    if (length == 0) break;
    fuzzCheck(length > 0 && shape.check(buffer.get(), static_cast<size_t>(length)).empty());
  }
  closeFLVStream(session);  // closes fd
  return 0;
}
