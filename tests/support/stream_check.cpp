#include "support/stream_check.h"

#include <algorithm>

#include "stream/pace.h"
#include "support/tcp_client.h"

namespace testsupport {

using namespace std::chrono_literals;

namespace {

// What the proxy promises for timestamps. Video: within a file the source's
// steps, at a join (or a timestamp that does not rise, or one that jumps on
// further than the lead) the last rising step; the first picture after a
// jump to the live position steps over the time jumped. Audio: moved with
// the video of its own file (before that file's first video, or when its
// clock jumps ahead of the video's, by what that video would get), never
// back before the last audio. An AVC tag without a picture (the decoder's
// set-up, the end of a sequence) stays at the last picture's time, an AAC
// set-up at the last sound's. A
// source's sound waits, 100 ms at most, for the last source's sound to end
// (its time, the last step between two sounds of its file, and a ms).
struct StreamClock {
  uint32_t lastIn = 0, lastDelta = 0, out = 0;
  uint32_t audioOffset = 0, lastAudio = 0;
  uint32_t lastAudioIn = 0, soundLength = 0, soundWait = 0;
  bool offsetKnown = false;
  bool audioSeen = false;  // of the current source
  bool landing = false;  // a source re-opened at a keyframe, before its first video

  // `dropped`: the keyframe the jump to the live position dropped, which the
  // proxy's clock saw go by, though the player never got it.
  void newSource(bool atKeyframe, const FlvTag* dropped) {
    if (dropped != nullptr) {
      const uint32_t kept = out;
      video(dropped->timestamp);
      out = kept;
    }
    audioSeen = false;
    offsetKnown = false;
    landing = atKeyframe;
  }
  static bool earlier(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) < 0; }
  bool own(uint32_t in) const { return in > lastIn && (in - lastIn <= ZTV_PACE_LEAD_MS || landing); }
  uint32_t step(uint32_t in) const { return own(in) ? in - lastIn : lastDelta; }
  uint32_t video(uint32_t in) {
    const uint32_t by = step(in);
    if (own(in)) lastDelta = by;
    landing = false;
    out += by;
    lastIn = in;
    audioOffset = out - in;
    offsetKnown = true;
    return out;
  }
  uint32_t audio(uint32_t in) {
    const uint32_t clock = earlier(out, lastAudio) ? lastAudio : out;
    if (offsetKnown && !landing && static_cast<int32_t>(in + audioOffset - clock) > ZTV_PACE_LEAD_MS) {
      offsetKnown = false;
    }
    if (!offsetKnown) {
      uint32_t first = out + step(in);
      if (earlier(first, lastAudio)) first = lastAudio;
      audioOffset = first - in;
      offsetKnown = true;
    }
    uint32_t at = in + audioOffset;
    if (!audioSeen) {
      const uint32_t ends = lastAudio + soundLength + 1;
      soundWait = soundLength != 0 && earlier(at, ends) ? std::min<uint32_t>(ends - at, 100) : 0;
    }
    at += soundWait;
    if (earlier(at, lastAudio)) at = lastAudio;
    if (audioSeen && in > lastAudioIn && in - lastAudioIn <= 250) soundLength = in - lastAudioIn;
    audioSeen = true;
    lastAudioIn = in;
    return lastAudio = at;
  }
  uint32_t next(const FlvTag& tag) {
    const bool picture = tag.body.size() < 2 || (tag.body[0] & 0x0F) != 7 || tag.body[1] == 1;
    if (tag.type == kFlvVideo && !picture) return out;
    const bool sound = tag.body.size() < 2 || (static_cast<uint8_t>(tag.body[0]) >> 4) != 10 || tag.body[1] != 0;
    if (tag.type == kFlvAudio && !sound) return lastAudio;
    if (tag.type == kFlvVideo) return video(tag.timestamp);
    if (tag.type == kFlvAudio) return audio(tag.timestamp);
    return tag.timestamp;
  }
};

struct ExpectedTag {
  const FlvTag* tag;
  bool firstOfSource;  // the first tag of a new connection to a source
  bool atKeyframe;     // that connection re-opened its file at a keyframe
  const FlvTag* dropped = nullptr;  // the keyframe dropped for that, where the play before ended
};

std::vector<ExpectedTag> expectedTags(const std::vector<Played>& plays) {
  std::vector<ExpectedTag> tags;
  const Played* before = nullptr;
  for (const auto& play : plays) {
    size_t end = play.endTag == 0 ? play.file->tags.size() : play.endTag;
    const bool jumped = play.firstTag != 0 && before != nullptr && before->file == play.file &&
                        before->endTag != 0 && before->endTag < play.file->tags.size();
    const FlvTag* dropped = jumped ? &play.file->tags[before->endTag] : nullptr;
    for (size_t i = play.firstTag; i < end; ++i) {
      tags.push_back({&play.file->tags[i], i == play.firstTag, play.firstTag != 0, dropped});
    }
    before = &play;
  }
  return tags;
}

std::string tagMismatch(const FlvTag& got, const FlvTag& want, uint32_t wantTimestamp) {
  if (got.type != want.type || got.dataSize != want.dataSize || got.streamId != want.streamId) {
    return "type/size/stream id differ from source tag " + describe(want, 0);
  }
  if (got.body != want.body) return "body differs from the source's";
  if (got.timestamp != wantTimestamp) {
    return "timestamp " + std::to_string(got.timestamp) + ", expected " +
           std::to_string(wantTimestamp) + " (source " + std::to_string(want.timestamp) + ")";
  }
  return "";
}

}  // namespace

size_t streamBytes(const std::vector<Played>& plays) {
  size_t bytes = kStreamHeader.size();
  for (const ExpectedTag& want : expectedTags(plays)) bytes += 15 + want.tag->dataSize;
  return bytes;
}

std::string streamMismatch(std::string_view stream, const std::vector<Played>& plays) {
  FlvStream got = parseFlv(stream);
  FlvShape shape;
  const std::string shapeFault = shape.checkStream(stream);  // if any, at tag shape.tags()
  if (!shape.begun()) return shapeFault;
  std::vector<ExpectedTag> want = expectedTags(plays);
  StreamClock clock;
  for (size_t i = 0; i < want.size(); ++i) {
    if (i >= got.tags.size()) {
      return "only " + std::to_string(got.tags.size()) + " of " + std::to_string(want.size()) +
             " tags arrived";
    }
    if (want[i].firstOfSource) clock.newSource(want[i].atKeyframe, want[i].dropped);
    uint32_t timestamp = clock.next(*want[i].tag);
    std::string why = tagMismatch(got.tags[i], *want[i].tag, timestamp);
    if (!why.empty()) return "tag " + describe(got.tags[i], i) + ": " + why;
    if (!shapeFault.empty() && i == shape.tags()) return shapeFault + " (" + describe(got.tags[i], i) + ")";
  }
  return "";
}

std::string joinerMismatch(std::string_view stream, const std::vector<Played>& plays, size_t* left) {
  const FlvStream got = parseFlv(stream);
  FlvShape shape;
  const std::string shapeFault = shape.checkStream(stream);
  if (!shape.begun()) return shapeFault;
  const std::vector<ExpectedTag> want = expectedTags(plays);
  std::vector<uint32_t> times;
  StreamClock clock;
  for (const ExpectedTag& tag : want) {
    if (tag.firstOfSource) clock.newSource(tag.atKeyframe, tag.dropped);
    times.push_back(clock.next(*tag.tag));
  }
  const auto picture = [](const FlvTag& tag) {
    return tag.type == kFlvVideo && tag.keyframe() && (tag.body.size() < 2 || (tag.body[0] & 0x0F) != 7 || tag.body[1] == 1);
  };
  size_t i = 0;
  for (; i < got.tags.size() && !picture(got.tags[i]); ++i) {
    const bool held = std::any_of(want.begin(), want.end(), [&](const ExpectedTag& w) {
      return w.tag->type == got.tags[i].type && w.tag->body == got.tags[i].body && !picture(*w.tag);
    });
    if (!held || (got.tags[i].type != kFlvScript && got.tags[i].timestamp != 0)) {
      return "tag " + describe(got.tags[i], i) + ": no set-up of the plays at 0";
    }
  }
  if (left != nullptr) *left = want.size();
  if (i == got.tags.size()) return "";
  const auto first = std::find_if(want.begin(), want.end(), [&](const ExpectedTag& w) {
    return picture(*w.tag) && w.tag->body == got.tags[i].body;
  });
  if (first == want.end()) return "tag " + describe(got.tags[i], i) + ": no keyframe of the plays";
  const size_t start = static_cast<size_t>(first - want.begin());
  for (size_t k = start; k < want.size() && i < got.tags.size(); ++k, ++i) {
    const int32_t since = static_cast<int32_t>(times[k] - times[start]);
    const uint32_t timestamp = want[k].tag->type == kFlvScript ? want[k].tag->timestamp : std::max(since, 0);
    const std::string why = tagMismatch(got.tags[i], *want[k].tag, timestamp);
    if (!why.empty()) return "tag " + describe(got.tags[i], i) + ": " + why;
    if (!shapeFault.empty() && i == shape.tags()) return shapeFault + " (" + describe(got.tags[i], i) + ")";
    if (left != nullptr) *left = want.size() - k - 1;
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
