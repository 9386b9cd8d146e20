// The helpers the end-to-end tests stand on: if they lie (a child left
// running, a status misread, a tag misparsed), every other verdict is void.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>

#include "support/flv.h"
#include "support/media.h"
#include "support/nginx.h"
#include "support/process.h"
#include "support/tcp_client.h"
#include "support/timeline_doc.h"

using namespace testsupport;

namespace {

// Gone, or a zombie waiting for an init that may be slow to reap it.
bool processGone(pid_t pid) {
  if (::kill(pid, 0) != 0) return true;
  std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  size_t close = stat.rfind(')');
  return close != std::string::npos && stat.compare(close, 4, ") Z ") == 0;
}

TEST(ChildProcessTest, ReportsExitCodesSignalsAndOutput) {
  struct Case {
    std::string script;
    bool exited;
    int code;
    int signal;
  };
  const Case cases[] = {
      {"echo out; echo err >&2; exit 0", true, 0, 0},
      {"exit 255", true, 255, 0},
      {"kill -TERM $$", false, -1, SIGTERM},
  };
  for (const auto& c : cases) {
    ChildProcess child;
    ASSERT_TRUE(child.start({"sh", "-c", c.script})) << child.error();
    auto status = child.wait(10s);
    ASSERT_TRUE(status.has_value()) << c.script;
    EXPECT_EQ(status->exited, c.exited) << c.script;
    EXPECT_EQ(status->code, c.code) << c.script;
    EXPECT_EQ(status->signal, c.signal) << c.script;
  }
  ChildProcess child;
  ASSERT_TRUE(child.start({"sh", "-c", "echo out; echo err >&2"}));
  ASSERT_TRUE(child.wait(10s));
  EXPECT_EQ(child.stdoutText(), "out\n");
  EXPECT_EQ(child.stderrText(), "err\n");
}

TEST(ChildProcessTest, RunsInTheGivenDirectoryWithExtraEnvironment) {
  TempDir dir;
  ChildProcess child;
  ASSERT_TRUE(child.start({"sh", "-c", "pwd; echo $ZTV_MARK"}, {dir.path(), {"ZTV_MARK=here"}}));
  ASSERT_TRUE(child.wait(10s));
  EXPECT_EQ(child.stdoutText(), std::filesystem::canonical(dir.path()).string() + "\nhere\n");
}

TEST(ChildProcessTest, MissingProgramFailsToStart) {
  ChildProcess child;
  EXPECT_FALSE(child.start({"/nonexistent/program"}));
  EXPECT_NE(child.error().find("No such file"), std::string::npos) << child.error();
  EXPECT_FALSE(child.running());
}

TEST(ChildProcessTest, WaitTimesOutThenSignalAndDestructorEndTheChild) {
  pid_t pid;
  {
    ChildProcess child;
    ASSERT_TRUE(child.start({"sleep", "30"}));
    pid = child.pid();
    EXPECT_FALSE(child.wait(50ms).has_value());
    EXPECT_TRUE(child.running());
    EXPECT_TRUE(child.signal(SIGSTOP));
    EXPECT_TRUE(child.signal(SIGCONT));
  }
  EXPECT_NE(::kill(pid, 0), 0);  // killed and reaped: not even a zombie is left

  ChildProcess child;
  ASSERT_TRUE(child.start({"sleep", "30"}));
  ASSERT_TRUE(child.signal(SIGTERM));
  auto status = child.wait(10s);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(status->signal, SIGTERM);
  EXPECT_FALSE(child.signal(SIGTERM));  // nothing left to signal
}

TEST(ChildProcessTest, KillTakesTheChildsOwnChildrenAlong) {
  TempDir dir;
  std::string pidFile = dir.file("grandchild");
  ChildProcess child;
  ASSERT_TRUE(child.start({"sh", "-c", "sleep 30 & echo $! > " + pidFile + "; wait"}));
  ASSERT_TRUE(waitForFileText(pidFile, "\n", 10s));
  pid_t grandchild = std::stoi(readFile(pidFile));
  child.kill();
  for (int i = 0; i < 500 && !processGone(grandchild); ++i) usleep(10000);
  EXPECT_TRUE(processGone(grandchild));
}

TEST(PortTest, FreePortListenerAndConnectProbes) {
  uint16_t port = freeLoopbackPort();
  ASSERT_NE(port, 0);
  EXPECT_FALSE(waitForPort(port, 50ms));
  EXPECT_FALSE(waitForListener(port, 50ms));

  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(fd, 4), 0);
  EXPECT_TRUE(waitForListener(port, 5s));
  EXPECT_TRUE(waitForPort(port, 5s));
  close(fd);
}

TEST(TempDirTest, RemovedWithItsContent) {
  std::string path;
  {
    TempDir dir;
    path = dir.path();
    ASSERT_TRUE(writeFile(dir.file("a/b/c.txt"), "text"));
    EXPECT_EQ(readFile(dir.file("a/b/c.txt")), "text");
  }
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_EQ(readFile(path + "/a/b/c.txt"), "");
}

// The service behaviour the streaming tests rely on: byte seeks with the FLV
// prefix, timelines by channel, redirects, and a log of every request.
TEST(NginxTest, ServesFlvSeeksTimelinesAndRedirects) {
  Nginx nginx(freeLoopbackPort());
  std::string flv = std::string("FLV\x01\x05\0\0\0\x09", 9) + std::string(4000, 'x') + "tail";
  ASSERT_TRUE(nginx.putFile("/v/a.flv", flv));
  ASSERT_TRUE(nginx.putTimeline(12, "<resp>twelve</resp>"));
  ASSERT_TRUE(nginx.putTimeline(-3, "<resp>minus three</resp>"));
  nginx.addRedirect("/moved.flv", 302, nginx.url("/v/a.flv"));
  nginx.addRedirect("/moved-again.flv", 307, nginx.url("/moved.flv"));
  ASSERT_TRUE(nginx.start()) << nginx.error();

  HttpReply whole = httpGet(nginx.port(), "/v/a.flv", 10s);
  EXPECT_NE(whole.header().find(" 200 "), std::string::npos) << whole.header();
  EXPECT_EQ(whole.body(), flv);

  HttpReply seek = httpGet(nginx.port(), "/v/a.flv?start=3000", 10s);
  EXPECT_EQ(seek.body(), flv.substr(0, 9) + std::string(4, '\0') + flv.substr(3000));

  const struct {
    const char* target;
    const char* status;
    const char* content;
  } cases[] = {
      {"/live/semichannel/timeline/?id=12", " 200 ", "twelve"},
      {"/live/semichannel/timeline/?id=-3", " 200 ", "minus three"},
      {"/live/semichannel/timeline/?id=13", " 404 ", ""},
      {"/moved.flv", " 302 ", "Location: " },
      {"/moved-again.flv", " 307 ", "/moved.flv"},
  };
  for (const auto& c : cases) {
    HttpReply reply = httpGet(nginx.port(), c.target, 10s);
    EXPECT_NE(reply.header().find(c.status), std::string::npos) << c.target << reply.header();
    EXPECT_NE(reply.raw.find(c.content), std::string::npos) << c.target;
  }
  HttpReply timeline = httpGet(nginx.port(), "/live/semichannel/timeline/?id=12", 10s);
  EXPECT_NE(timeline.header().find("text/xml"), std::string::npos) << timeline.header();

  EXPECT_EQ(nginx.countRequests("?start="), 1);
  EXPECT_EQ(nginx.countRequests("/live/semichannel/timeline/?id=12 "), 2);
  nginx.stop();
  EXPECT_FALSE(httpGet(nginx.port(), "/", 1s).connected);
}

TEST(FlvReaderTest, ReadsTagFieldsAndReportsWhatDoesNotFit) {
  std::string header("FLV\x01\x05\0\0\0\x09", 9);
  // PreviousTagSize 0, video tag of 2 body bytes at 16777221 ms (01 00 00 05), stream id 7.
  std::string tag1("\0\0\0\0" "\x09" "\0\0\x02" "\0\0\x05" "\x01" "\0\0\x07" "\x17\x01", 17);
  std::string tag2("\0\0\0\x0d" "\x08" "\0\0\0" "\0\x01\0" "\0" "\0\0\0", 15);
  FlvStream whole = parseFlv(header + tag1 + tag2 + std::string("\0\0\0\x0b", 4));
  ASSERT_TRUE(whole.headerOk);
  ASSERT_EQ(whole.tags.size(), 2u);
  EXPECT_EQ(whole.tags[0].timestamp, 16777221u);
  EXPECT_EQ(whole.tags[0].streamId, 7u);
  EXPECT_TRUE(whole.tags[0].keyframe());
  EXPECT_EQ(whole.tags[0].body, "\x17\x01");
  EXPECT_EQ(whole.tags[1].prevTagSize, whole.tags[0].size());
  EXPECT_EQ(whole.tags[1].timestamp, 256u);
  EXPECT_EQ(whole.tags[1].offset, 9u + tag1.size());
  EXPECT_EQ(whole.closingPrevTagSize, 11u);
  EXPECT_TRUE(whole.trailing.empty());

  // Cut anywhere inside the second tag: one tag, the rest reported.
  for (size_t cut = 1; cut < tag2.size(); ++cut) {
    FlvStream partial = parseFlv(header + tag1 + tag2.substr(0, cut));
    ASSERT_EQ(partial.tags.size(), 1u) << cut;
    EXPECT_EQ(partial.closingPrevTagSize.has_value(), cut == 4) << cut;
    EXPECT_EQ(partial.trailing.size(), cut == 4 ? 0 : cut) << cut;
  }
  EXPECT_FALSE(parseFlv("FLX" + header.substr(3) + tag1).headerOk);
  EXPECT_FALSE(parseFlv(header.substr(0, 8)).headerOk);

  // The shape of a channel stream, unit by unit: each case breaks one rule
  // (or none), with every rule and with the chain and rising rules off.
  struct Case {
    std::vector<std::string> units;
    std::string fault;  // with every rule
    bool always;        // a fault without the chain and rising rules too
  };
  const uint32_t wrap = 0xFFFFFFF0;
  const Case cases[] = {
      {{header, tag1, tag2}, "", false},
      {{"FLX" + header.substr(3), tag1}, "the stream does not begin with the FLV header", true},
      {{header, header}, "tag 0: 9 bytes, less than a tag block", true},
      {{header, tag1 + "x"}, "tag 0: 18 bytes, not the block and the 2 body bytes it announces", true},
      {{header, tag1, tagBytes(audio(256, 0), 12)}, "tag 1: PreviousTagSize 12, expected 13", false},
      {{header, tag1, tagBytes(video(5, 0), 13)}, "tag 1: video timestamp 5 goes back from 16777221", false},
      {{header, tagBytes(audio(256, 0), 0), tagBytes(audio(255, 0), 11)},
       "tag 1: audio timestamp 255 goes back from 256", false},
      {{header, tagBytes(video(wrap, 0), 0), tagBytes(video(5, 0), 11)}, "", false},  // over the 32-bit wrap
  };
  for (const Case& c : cases) {
    FlvShape strict, loose({.chain = false, .rising = false});
    std::string fault, looseFault;
    for (const std::string& unit : c.units) {
      if (fault.empty()) fault = strict.check(unit);
      if (looseFault.empty()) looseFault = loose.check(unit);
    }
    EXPECT_EQ(fault, c.fault);
    EXPECT_EQ(looseFault, c.always ? c.fault : "") << c.fault;
  }
  // A received stream: the tag cut by its end is not checked yet.
  FlvShape received;
  EXPECT_EQ(received.checkStream(header + tag1 + tag2 + tag2.substr(0, 7)), "");
  EXPECT_EQ(received.tags(), 2u);
  EXPECT_EQ(FlvShape().checkStream(header + tag1 + tagBytes(audio(256, 0), 12)),
            "tag 1: PreviousTagSize 12, expected 13");
}

// The sample files must be what the streaming tests assume: a sound chain,
// an index in the first script tag, keyframes at the asked interval.
TEST(MediaTest, SampleFilesHaveIndexAndKeyframeSpacing) {
  TempDir cache;
  for (SampleCodec codec : {SampleCodec::H264Aac, SampleCodec::SorensonMp3}) {
    std::string error;
    std::string path = sampleFlv({codec, 6, 2}, cache.path(), &error);
    ASSERT_FALSE(path.empty()) << error;
    EXPECT_EQ(sampleFlv({codec, 6, 2}, cache.path()), path);  // cached
    FlvStream flv = parseFlv(readFile(path));
    ASSERT_TRUE(flv.headerOk);
    ASSERT_FALSE(flv.tags.empty());
    EXPECT_EQ(flv.tags[0].prevTagSize, 0u);
    EXPECT_EQ(flv.tags[0].type, kFlvScript);
    EXPECT_NE(flv.tags[0].body.find("filepositions"), std::string::npos);
    EXPECT_NE(flv.tags[0].body.find("times"), std::string::npos);
    std::vector<uint32_t> keyframeTimes;
    for (size_t i = 1; i < flv.tags.size(); ++i) {
      EXPECT_EQ(flv.tags[i].prevTagSize, flv.tags[i - 1].size()) << describe(flv.tags[i], i);
      // Pictures only: in an H.264 file the sequence header and end-of-sequence
      // tags (AVC packet types 0 and 2) carry the keyframe flag too.
      bool picture = codec != SampleCodec::H264Aac ||
                     (flv.tags[i].body.size() > 1 && flv.tags[i].body[1] == 1);
      if (flv.tags[i].keyframe() && picture) keyframeTimes.push_back(flv.tags[i].timestamp);
    }
    EXPECT_EQ(flv.closingPrevTagSize, flv.tags.back().size());
    EXPECT_TRUE(flv.trailing.empty());
    ASSERT_EQ(keyframeTimes.size(), 3u);
    EXPECT_LT(keyframeTimes[0], 100u);  // the MP3 encoder delay may shift the start a little
    for (size_t k = 1; k < keyframeTimes.size(); ++k) {
      EXPECT_EQ(keyframeTimes[k] - keyframeTimes[0], 2000 * k);
    }
  }
}

TEST(MediaTest, TimelineDocumentShape) {
  std::string doc = timelineDocument({{"http://127.0.0.1:1/v/a.flv", 7}, {"http://h/b", 9}}, 14, Decoys::Around);
  EXPECT_NE(doc.find("<SemiLive offset=\"14\""), std::string::npos);
  EXPECT_NE(doc.find("<vod pliid=\"9\""), std::string::npos);
  EXPECT_NE(doc.find("<srcreq url=\"http://h/b\" quality=\"5\" format=\"3\" drmtype=\"0\""),
            std::string::npos);
  EXPECT_LT(doc.find("pliid=\"7\""), doc.find("pliid=\"9\""));
  EXPECT_EQ(doc.rfind("</resp>"), doc.size() - 8);
  EXPECT_NE(doc.find("<srcreq url=\"http://h/b-drm\" quality=\"7\" format=\"3\" drmtype=\"1\""), std::string::npos);
  // Without decoys: the item's source at its quality, then the further ones.
  doc = timelineDocument({{"http://h/a", 3, 2, {{"http://h/a-hd", 4}}}}, 0);
  EXPECT_LT(doc.find("<srcreq url=\"http://h/a\" quality=\"2\""), doc.find("<srcreq url=\"http://h/a-hd\" quality=\"4\""));
  EXPECT_EQ(doc.find("-drm"), std::string::npos);
}

}  // namespace
