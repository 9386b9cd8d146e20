// The helpers the end-to-end tests stand on: if they lie (a child left
// running, a status misread, a tag misparsed), every other verdict is void.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>

#include "support/nginx.h"
#include "support/process.h"
#include "support/tcp_client.h"

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

}  // namespace
