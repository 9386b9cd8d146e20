// A short channel served to the re-muxer without a network: a timeline with
// a live offset and two or three videos, each an arbitrary FLV file, so that
// the joins between videos and the jump to the live position are fuzzed too.
// Checks after every unit what a channel stream must always be.
//
// Input: byte 0 the live offset in seconds; byte 1 the shape of the channel
// (bit 0: three videos rather than two; bit 1: the timeline may be fetched a
// second time; bits 2 and 3: the second or third video repeats the pliid of
// the one before it); then each video but the last as a 16-bit big-endian length and its
// bytes; the last video takes the rest.
//
// The service is faked beneath the client: this target is linked with --wrap
// for socket_connect (which hands out an empty memory file), httpExchange
// (which fills it with the video asked for and interprets a made-up response
// header with the real interpretHttpHeader) and openChannelXML (which makes
// the document from the timeline text, as openXMLText does, rather than
// zeroing the 1 MiB download buffer on every run). CMake names the wrapped
// symbols as the linker sees them (WRAP_SOCKET_CONNECT, WRAP_HTTP_EXCHANGE,
// WRAP_OPEN_CHANNEL_XML).

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "base/heap.h"
#include "log/log.h"
#include "net/http_response.h"
#include "stream/flv_remux.h"
#include "stream/session.h"
#include "stream/tries.h"
#include "stream/video_select.h"
#include "support/flv.h"
#include "support/fuzz_support.h"
#include "support/timeline_doc.h"
#include "timeline/timeline_xml.h"

using testsupport::fuzzCheck;

namespace {

constexpr uint32_t kCapacity = 64;  // small, so that tags often grow the buffer
constexpr const char* kTimelinePath = "/live/semichannel/timeline/?id=1";

struct Service {
  std::string timeline;              // the document
  int timelineFetchesLeft = 0;       // then the timeline answers 404
  std::vector<std::string> videos;   // as the fuzzer gave them, served at /<i+1>.flv
  int connects = 0;                  // connections handed out this run
};
Service service;

// The file as a consistent FLV: a source's own PreviousTagSize chain is
// made whole (the proxy passes it on within a file) and timestamps keep to
// 24 bits, so that rising in the output is not confused with wrapping
// round the 32-bit clock. Everything else stays as the fuzzer wrote it.
std::string consistent(std::string file) {
  uint32_t previous = 0;
  size_t at = 9;
  while (at + testsupport::kBlockSize <= file.size()) {
    testsupport::FlvTag block = testsupport::readBlock(file, at);
    block.prevTagSize = previous;
    block.timestamp &= 0xFFFFFF;  // no extended timestamp byte
    file.replace(at, testsupport::kBlockSize, testsupport::blockBytes(block));
    previous = block.size();
    at += testsupport::kBlockSize + size_t{block.dataSize};
  }
  return file;
}

// The body for `path`: the timeline, a video, or a video from a byte
// position on (after the file's own 9-byte header, as the service sends it).
bool bodyFor(const std::string& path, std::string* body) {
  if (path == kTimelinePath) {
    if (service.timelineFetchesLeft == 0) return false;
    --service.timelineFetchesLeft;
    *body = service.timeline;
    return true;
  }
  unsigned index = 0;
  unsigned start = 0;
  int used = 0;
  const bool plain = std::sscanf(path.c_str(), "/%u.flv%n", &index, &used) == 1 && path.size() == size_t(used);
  const bool seek = std::sscanf(path.c_str(), "/%u.flv?start=%u%n", &index, &start, &used) == 2 &&
                    path.size() == size_t(used);
  if ((!plain && !seek) || index == 0 || index > service.videos.size()) return false;
  const std::string& file = service.videos[index - 1];
  if (!seek) {
    *body = consistent(file);
  } else {
    const size_t from = start < file.size() ? start : file.size();
    *body = consistent(file.substr(0, 9) + file.substr(from));
  }
  return true;
}

std::string timelineFor(int offset, size_t count, unsigned repeats) {
  std::vector<testsupport::TimelineItem> items;
  int pliid = 0;
  for (size_t i = 0; i < count; ++i) {
    if (i == 0 || ((repeats >> (i - 1)) & 1) == 0) ++pliid;
    items.push_back({"http://127.0.0.1:1/" + std::to_string(i + 1) + ".flv", pliid});
  }
  return testsupport::timelineDocument(items, offset);
}

// Splits the input into the channel; false when it is too short for one.
bool describeChannel(const uint8_t* data, size_t size) {
  if (size < 2) return false;
  const size_t count = (data[1] & 1) != 0 ? 3 : 2;
  service.timelineFetchesLeft = (data[1] & 2) != 0 ? 2 : 1;
  service.timeline = timelineFor(data[0], count, (data[1] >> 2) & 7);
  service.videos.clear();
  service.connects = 0;
  size_t at = 2;
  for (size_t i = 0; i + 1 < count; ++i) {
    if (at + 2 > size) return false;
    const size_t length = std::min<size_t>((size_t{data[at]} << 8) | data[at + 1], size - at - 2);
    service.videos.emplace_back(reinterpret_cast<const char*>(data + at + 2), length);
    at += 2 + length;
  }
  service.videos.emplace_back(reinterpret_cast<const char*>(data + at), size - at);
  return true;
}

}  // namespace

// Every connection succeeds, to an empty memory file that the exchange fills.
int fakeConnect(const char*, const char*) __asm__(WRAP_SOCKET_CONNECT);
int fakeConnect(const char*, const char*) {
  ++service.connects;
  return memfd_create("fuzz-service", 0);
}

HttpAnswer fakeExchange(WebLink link, const char* host, const char* path, const char* range) __asm__(WRAP_HTTP_EXCHANGE);
HttpAnswer fakeExchange(WebLink link, const char*, const char* path, const char*) {
  const int fd = link.fd;
  std::string body;
  if (!bodyFor(path, &body)) return interpretHttpHeader("HTTP/1.0 404 Not Found\r\n\r", path);
  if (write(fd, body.data(), body.size()) != static_cast<ssize_t>(body.size()) || lseek(fd, 0, SEEK_SET) != 0) {
    return HttpAnswer{};
  }
  const std::string header = "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r";
  return interpretHttpHeader(header, path);
}

TimelineXml* fakeOpenChannelXML(const char* url, FetchFailure* failure) __asm__(WRAP_OPEN_CHANNEL_XML);
TimelineXml* fakeOpenChannelXML(const char* url, FetchFailure* failure) {
  const std::string path = std::strchr(url + std::strlen("http://"), '/');
  std::string body;
  if (!bodyFor(path, &body)) {
    if (failure != nullptr) *failure = FetchFailure::kFinal;  // a 404
    return nullptr;
  }
  if (failure != nullptr) *failure = FetchFailure::kNone;
  return openXMLText(body.data(), body.size(), time(nullptr));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  debuglevel = std::getenv("FUZZ_DEBUG") != nullptr ? DEBUG : 0;  // FUZZ_DEBUG=1 shows the channel being played
  timelineHost = "127.0.0.1:1";
  // No pauses between tries, and no bound in time: every failure of the fakes
  // is final or bounded in number, so a run does the same each time.
  tryTimes = {0, 60000};
  if (!describeChannel(data, size)) return 0;
  const int fetches = service.timelineFetchesLeft;

  StreamSession* session = openFLVStream();
  fuzzCheck(session != nullptr);
  session->channelId = 1;
  ByteBuffer buffer = allocZeroed<uint8_t>(kCapacity);
  testsupport::FlvShape shape;
  // Every video is read at most twice (two timelines) and the first once more
  // after the jump: a stream that has not ended by then never will.
  const size_t bound = 3 * (size / 15) + 16;
  size_t units = 0;
  for (; units < bound; ++units) {
    const int32_t length = getFLVPacket(&session, &buffer, kCapacity);
    if (length == 0) break;
    fuzzCheck(length > 0 && shape.check(buffer.get(), static_cast<size_t>(length)).empty());
  }
  fuzzCheck(units < bound);
  // The timeline and the first video always come from the fakes: a link
  // without the wrapping would have tried the network instead.
  fuzzCheck(service.timelineFetchesLeft < fetches && service.connects > 0);
  closeFLVStream(session);
  return 0;
}
