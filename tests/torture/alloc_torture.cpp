// Every allocation may fail: each scenario runs once counting its
// allocations, then once for each of them with that one failing. Every run
// must end without a crash or a leak (the sanitizer build checks), with the
// scenario's failure result and an ERROR line naming the cause, and the
// unfailing run after it must give the right result again.

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "server/http_server.h"
#include "server/request.h"
#include "stream/flv_remux.h"
#include "stream/relay.h"
#include "stream/session.h"
#include "stream/video_select.h"
#include "support/channel_service.h"
#include "support/fake_http.h"
#include "support/flv.h"
#include "support/stream_check.h"
#include "support/log_capture.h"
#include "support/timeline_doc.h"
#include "timeline/playlist.h"
#include "timeline/timeline_xml.h"
#include "torture/alloc_hook.h"
#include "support/text_print.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace {

using allochook::Paused;
using testsupport::audio;
using testsupport::script;
using testsupport::video;

// One scenario: run() does the work with allocations armed around the code
// under test and returns what came out as text; acceptable() says whether a
// run with one allocation failing may give `got` when an unfailing one gives
// `good`. Each run sets up its own fake service, so no state carries over.
struct Scenario {
  const char* name;
  std::function<std::string(uint64_t failAt, uint64_t* counted)> run;
  std::function<bool(const std::string& got, const std::string& good)> acceptable;
};

void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

// What the scenarios that open a session themselves give when it cannot be
// had: the caller reports it (see the request handler's scenario).
constexpr const char* kNoSession = "no session";

bool isPrefix(const std::string& part, const std::string& whole) { return whole.compare(0, part.size(), part) == 0; }

// --- A timeline document into its playlist.

// A vod with two usable sources of different quality, then two with one each.
const std::string kTimeline = testsupport::timelineDocument(
    {{"http://127.0.0.1:1/a.flv", 7, 2, {{"http://127.0.0.1:1/a-hd.flv", 4}}},
     {"http://127.0.0.1:1/b.flv", 8, 1},
     {"http://127.0.0.1:1/c.flv", 9, 1}},
    12);

std::string describe(const Timeline* timeline) {
  if (timeline == nullptr) return "null";
  std::string text = "offset " + std::to_string(timeline->offset) + "\n";
  for (int32_t i = 0; i < timeline->entryCount(); ++i) {
    const TimelineEntry& entry = timeline->entries[static_cast<size_t>(i)];
    text += std::to_string(entry.pliid) + " " + str(entry.url) + "\n";
  }
  return text;
}

std::string parseTimeline(uint64_t failAt, uint64_t* counted) {
  allochook::arm(failAt);
  TimelineXml* xml = openXMLText(kTimeline.data(), kTimeline.size(), 0);
  TimelinePtr timeline(parseEPGData(xml));
  closeXML(xml);
  *counted = allochook::disarm();
  return describe(timeline.get());
}

// A scanner that cannot copy a tag or a value reads on as if the document
// ended there or the value were missing: null, or the same offset with some
// of the entries, in order.
bool partOfPlaylist(const std::string& got, const std::string& good) {
  if (got == "null") return true;
  size_t from = 0;
  for (size_t at = 0; at < got.size();) {
    const size_t end = got.find('\n', at) + 1;
    from = good.find(got.substr(at, end - at), from);
    if (from == std::string::npos) return false;
    at = end;
  }
  return got.compare(0, got.find('\n'), good, 0, good.find('\n')) == 0;
}

// --- A channel: a video with a keyframe index whose live position makes the
// proxy re-open it, joined to a second video. The run stops after the
// second video's last tag, before the stream would end (with an error of
// its own) for want of a next video.

struct Channel {
  testsupport::ChannelService service;  // timelineHost points at it while the run lasts

  Channel() {
    const std::vector<testsupport::TagPlan> first = {script(0, testsupport::metaBody({13, 5000, 9000}, {0, 4, 8})),
                                                 video(0, 50, true), audio(0, 9), video(40, 60),
                                                 video(80, 70, true)};
    const std::vector<testsupport::TagPlan> fromKeyframe = {video(4000, 80, true), audio(4010, 9), video(4040, 30)};
    const std::vector<testsupport::TagPlan> second = {script(0, "second"), video(0, 40, true), audio(5, 9),
                                                  video(40, 20), audio(45, 9)};
    // The videos come to /v/1.flv and /v/2.flv.
    const std::string doc = service.timeline(4, {{1, testsupport::buildFlv(first)}, {2, testsupport::buildFlv(second)}});
    service.server.route("/v/1.flv?start=5000", fakehttp::Script::ok(testsupport::buildFlv(fromKeyframe)));
    service.serveChannel(1, {doc});
  }
};

constexpr uint32_t kChannelCapacity = 64;  // small, so that tags grow the buffer
constexpr size_t kChannelUnits = 1 + 4 + 3 + 5;  // header, before the jump, after it, the second video

// FNV-1a over a unit, so that two runs can be compared byte for byte.
uint32_t hashOf(const uint8_t* bytes, size_t length) {
  uint32_t hash = 2166136261u;
  for (size_t i = 0; i < length; ++i) hash = (hash ^ bytes[i]) * 16777619u;
  return hash;
}

// One line per unit, its length and hash, with "bad shape" where the stream
// broke its shape.
std::string streamChannel(uint64_t failAt, uint64_t* counted) {
  Channel channel;
  ByteBuffer buffer = allocZeroed<uint8_t>(kChannelCapacity);
  testsupport::FlvShape shape;
  std::string text;
  allochook::arm(failAt);
  StreamSession* session = openFLVStream();
  if (session != nullptr) session->channelId = 1;
  for (size_t calls = 0; session != nullptr && calls < kChannelUnits; ++calls) {
    const int32_t length = getFLVPacket(&session, &buffer, kChannelCapacity);
    if (length <= 0) break;
    Paused paused;
    const std::string why = shape.check(buffer.get(), static_cast<size_t>(length));
    if (!why.empty()) text += "bad shape: " + why + "\n";
    text += std::to_string(length) + " " + std::to_string(hashOf(buffer.get(), static_cast<size_t>(length))) + "\n";
  }
  closeFLVStream(session);
  *counted = allochook::disarm();
  return session == nullptr ? kNoSession : text;
}

// A failure ends the stream early, or costs the index (then no jump
// happens), but never breaks its shape.
bool wellFormedStream(const std::string& got, const std::string&) {
  return got.find("bad shape") == std::string::npos;
}

// --- A relay of a body in chunks.

std::string bodyPattern() {
  std::string body(3000, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7 + i / 256);
  return body;
}

std::string relayBody(uint64_t failAt, uint64_t* counted) {
  fakehttp::FakeHttpServer server;
  server.route("/old", fakehttp::Script::redirect(302, server.url("/body")));
  server.route("/body", fakehttp::Script::ok(bodyPattern()));
  const std::string url = server.url("/old");
  ByteBuffer buffer = allocZeroed<uint8_t>(1000);
  std::string received;
  allochook::arm(failAt);
  StreamSession* session = openFLVStream();
  if (session != nullptr) {
    Paused paused;
    if (!copyText(&session->videoUrl, url)) return "no URL";
  }
  for (int calls = 0; session != nullptr && calls < 100; ++calls) {
    const int count = getTransparentPacket(&session, &buffer, 1000);
    if (count <= 0) break;
    Paused paused;
    received.append(reinterpret_cast<const char*>(buffer.get()), static_cast<size_t>(count));
  }
  closeFLVStream(session);
  *counted = allochook::disarm();
  return session == nullptr ? kNoSession : received;
}

bool relayCut(const std::string& got, const std::string& good) { return got == kNoSession || isPrefix(got, good); }

// --- One relay request through the request handler, on a socket pair.

std::string handleRequest(uint64_t failAt, uint64_t* counted) {
  fakehttp::FakeHttpServer server;
  server.route("/body", fakehttp::Script::ok(bodyPattern()));
  const std::string request = "GET /x?li=" + server.url("/body") + " HTTP/1.0\r\n\r\n";
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return "no socket pair";
  if (send(pair[1], request.data(), request.size(), 0) != static_cast<ssize_t>(request.size())) return "no request";
  ServerControl control;
  control.state.store(Accepting);
  allochook::arm(failAt);
  receiveHttpData(&control, pair[0]);  // closes pair[0]
  *counted = allochook::disarm();
  std::string answer;
  char chunk[4096];
  for (ssize_t got; (got = read(pair[1], chunk, sizeof chunk)) > 0;) answer.append(chunk, static_cast<size_t>(got));
  close(pair[1]);
  return control.state.load() == Accepting ? answer : "left in state " + std::to_string(control.state.load());
}

// The relay answers once its source is open: a failure before that gets the
// 404, one after the 200 cuts the body short.
bool answeredThenCut(const std::string& got, const std::string& good) {
  return got == testsupport::kAnswer404 || (isPrefix(got, good) && got.size() >= testsupport::kAnswer200.size());
}

// --- The driver.

// The log's first ERROR line, up to a URL (whose port changes from run to run).
std::string firstError(const std::string& log) {
  const size_t at = log.find("ERROR: ");
  if (at == std::string::npos) return "";
  const std::string line = log.substr(at, log.find('\n', at) - at);
  return line.substr(0, line.find("http://"));
}

class AllocTortureTest : public ::testing::TestWithParam<Scenario> {};

TEST_P(AllocTortureTest, EveryAllocationFailsOnceAndIsAnswered) {
  const Scenario& scenario = GetParam();
  testsupport::LogCapture log(ERROR);
  uint64_t total = 0;
  std::set<std::string> causes;  // the first ERROR line of each failed run, for the record
  const std::string good = scenario.run(0, &total);
  ASSERT_GT(total, 0u);
  ASSERT_FALSE(log.contains("ERROR")) << log.text();
  ASSERT_TRUE(scenario.acceptable(good, good)) << good;

  for (uint64_t n = 1; n <= total; ++n) {
    log.clear();
    uint64_t counted = 0;
    const std::string got = scenario.run(n, &counted);
    ASSERT_TRUE(allochook::failureDelivered()) << "allocation " << n << " never came";
    EXPECT_TRUE(scenario.acceptable(got, good)) << "allocation " << n << ":\n" << got;
    if (got != kNoSession) {
      EXPECT_TRUE(log.contains("ERROR: ")) << "allocation " << n << " failed without an error line";
      causes.insert(firstError(log.text()));
    }

    log.clear();
    EXPECT_EQ(scenario.run(0, &counted), good) << "the run after allocation " << n;
    EXPECT_EQ(counted, total);
    if (HasFailure()) break;  // the first failing allocation tells enough
  }
#if defined(__SANITIZE_ADDRESS__)
  EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0);
#endif
  std::printf("%s: %llu allocations, each failed once; first error lines:\n", scenario.name,
              static_cast<unsigned long long>(total));
  for (const std::string& cause : causes) std::printf("  %s\n", cause.c_str());
}

INSTANTIATE_TEST_SUITE_P(Scenarios, AllocTortureTest,
                         ::testing::Values(Scenario{"TimelineParse", parseTimeline, partOfPlaylist},
                                           Scenario{"ChannelJoinAndSeek", streamChannel, wellFormedStream},
                                           Scenario{"Relay", relayBody, relayCut},
                                           Scenario{"RequestHandler", handleRequest, answeredThenCut}),
                         [](const ::testing::TestParamInfo<Scenario>& info) { return info.param.name; });

// The unfailing channel run itself is the stream it should be: every unit,
// the jump and the join.
TEST(AllocTortureCheck, ChannelScenarioStreamsEveryUnit) {
  testsupport::LogCapture log(DEBUG);
  uint64_t counted = 0;
  const std::string text = streamChannel(0, &counted);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), static_cast<long>(kChannelUnits)) << text;
  EXPECT_TRUE(log.contains("Seek time: 4 sec.")) << log.text();
  EXPECT_TRUE(log.contains("Open video: http://127.0.0.1:" )) << log.text();
  EXPECT_TRUE(log.contains("/v/2.flv")) << log.text();
}

}  // namespace
