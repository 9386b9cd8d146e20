#include "support/stream_check.h"

#include "support/tcp_client.h"

namespace testsupport {

using namespace std::chrono_literals;

namespace {

// What the proxy promises for video timestamps: within a file the source's
// steps, at a join (or a timestamp that does not rise) the last rising step.
struct VideoClock {
  uint32_t lastIn = 0, lastDelta = 0, out = 0;
  uint32_t next(uint32_t in) {
    if (in > lastIn) lastDelta = in - lastIn;
    out += in > lastIn ? in - lastIn : lastDelta;
    lastIn = in;
    return out;
  }
};

std::vector<const FlvTag*> expectedTags(const std::vector<Played>& plays) {
  std::vector<const FlvTag*> tags;
  for (const auto& play : plays) {
    size_t end = play.endTag == 0 ? play.file->tags.size() : play.endTag;
    for (size_t i = play.firstTag; i < end; ++i) tags.push_back(&play.file->tags[i]);
  }
  return tags;
}

std::string tagMismatch(const FlvTag& got, const FlvTag& want, uint32_t wantTimestamp,
                        uint32_t wantPrev) {
  if (got.type != want.type || got.dataSize != want.dataSize || got.streamId != want.streamId) {
    return "type/size/stream id differ from source tag " + describe(want, 0);
  }
  if (got.body != want.body) return "body differs from the source's";
  if (got.timestamp != wantTimestamp) {
    return "timestamp " + std::to_string(got.timestamp) + ", expected " +
           std::to_string(wantTimestamp) + " (source " + std::to_string(want.timestamp) + ")";
  }
  if (got.prevTagSize != wantPrev) {
    return "PreviousTagSize " + std::to_string(got.prevTagSize) + ", expected " +
           std::to_string(wantPrev);
  }
  return "";
}

}  // namespace

size_t streamBytes(const std::vector<Played>& plays) {
  size_t bytes = kStreamHeader.size();
  for (const FlvTag* tag : expectedTags(plays)) bytes += 15 + tag->dataSize;
  return bytes;
}

std::string streamMismatch(std::string_view stream, const std::vector<Played>& plays) {
  FlvStream got = parseFlv(stream);
  if (got.header != kStreamHeader) return "the stream does not begin with the FLV header";
  std::vector<const FlvTag*> want = expectedTags(plays);
  VideoClock clock;
  for (size_t i = 0; i < want.size(); ++i) {
    if (i >= got.tags.size()) {
      return "only " + std::to_string(got.tags.size()) + " of " + std::to_string(want.size()) +
             " tags arrived";
    }
    uint32_t timestamp = want[i]->type == kFlvVideo ? clock.next(want[i]->timestamp)
                                                    : want[i]->timestamp;
    uint32_t prev = i == 0 ? 0 : got.tags[i - 1].size();
    std::string why = tagMismatch(got.tags[i], *want[i], timestamp, prev);
    if (!why.empty()) return "tag " + describe(got.tags[i], i) + ": " + why;
  }
  return "";
}

std::string readStream(uint16_t port, std::string_view target, size_t bytes,
                       std::chrono::milliseconds timeout, std::string* answer) {
  TcpClient client;
  if (!client.connect(port)) return "";
  client.send("GET " + std::string(target) + " HTTP/1.0\r\n\r\n");
  auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string received;
  size_t headerEnd = std::string::npos;
  while (!client.peerClosed() && std::chrono::steady_clock::now() < deadline) {
    headerEnd = received.find("\r\n\r\n");
    if (headerEnd != std::string::npos && received.size() >= headerEnd + 4 + bytes) break;
    client.read(received, 65536, 100ms);
  }
  if (headerEnd == std::string::npos) headerEnd = received.find("\r\n\r\n");
  if (headerEnd == std::string::npos) {
    if (answer != nullptr) *answer = received;
    return "";
  }
  if (answer != nullptr) *answer = received.substr(0, headerEnd + 4);
  return received.substr(headerEnd + 4, bytes);
}

}  // namespace testsupport
