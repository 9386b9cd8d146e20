// The listener and the request handler over real loopback sockets.

#include "server/http_server.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "log/log.h"
#include "server/request.h"
#include "stream/tries.h"
#include "support/channel_service.h"
#include "support/fake_http.h"
#include "support/log_capture.h"
#include "support/tcp_client.h"

namespace {

using namespace std::chrono_literals;
using testsupport::TcpClient;

const std::string kHeaderBlock =
    "\r\nServer: Zomak TV Proxy Server for Pendrake \r\nContent-Type: Video/MPEG \r\nConnection: close \r\n\r\n";
const std::string kOk = "HTTP/1.0 200 OK" + kHeaderBlock;
// A relay's answer: its source's length goes on to the player.
std::string okWithLength(size_t length) {
  return "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(length) + kHeaderBlock;
}
const std::string kNotFound = "HTTP/1.0 404 File Not Found" + kHeaderBlock;
const std::string kUnavailable = "HTTP/1.0 503 Service Unavailable" + kHeaderBlock;

// Records are never freed, as in the program (a connection thread may still
// read one after its stop), and stay reachable: the list is never destroyed.
std::vector<ServerControl*>& keptServers() {
  static auto* servers = new std::vector<ServerControl*>;
  return *servers;
}

uint16_t portOf(const ServerControl* server) {
  sockaddr_in local{};
  socklen_t length = sizeof local;
  getsockname(server->listenSocket, reinterpret_cast<sockaddr*>(&local), &length);
  return ntohs(local.sin_port);
}

bool waitForCount(const AtomicWord& count, int32_t atLeast) {
  for (auto end = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < end;) {
    if (count.load() >= atLeast) return true;
    std::this_thread::sleep_for(1ms);
  }
  return false;
}

bool waitForState(const ServerControl* server, int32_t state) {
  for (auto end = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < end;) {
    if (server->state.load() == state) return true;
    std::this_thread::sleep_for(1ms);
  }
  return false;
}

class ServerTest : public ::testing::Test {
 protected:
  ServerControl* start() {
    ServerControl* server = startHttpServer("127.0.0.1", 0);
    if (server != nullptr) keptServers().push_back(server);
    return server;
  }

  testsupport::LogCapture log_{ERROR};  // quiet below ERROR
};

TEST_F(ServerTest, StopWhileIdleClosesTheListenerAndEndsTheThread) {
  ServerControl* server = start();
  ASSERT_NE(server, nullptr);
  uint16_t port = portOf(server);
  ASSERT_TRUE(waitForState(server, Accepting));
  stopHttpServer(server);
  EXPECT_EQ(server->state.load(), Stopped);
  TcpClient client;
  EXPECT_FALSE(client.connect(port));
  EXPECT_EQ(log_.text(), "");  // the woken accept is no failure worth a line
}

TEST_F(ServerTest, BindFailureIsReported) {
  ServerControl* first = start();
  ASSERT_NE(first, nullptr);
  uint16_t port = portOf(first);
  EXPECT_EQ(startHttpServer("127.0.0.1", port), nullptr);
  EXPECT_EQ(log_.text(), "ERROR: startHttpServer, TCP bind failed for port number: " + std::to_string(port) + "\n");
  stopHttpServer(first);
}

TEST_F(ServerTest, SecondStopOnlyReportsTheFailedClose) {
  ServerControl* server = start();
  ASSERT_NE(server, nullptr);
  stopHttpServer(server);
  stopHttpServer(server);
  EXPECT_EQ(server->state.load(), Stopped);
  EXPECT_EQ(log_.text(), "ERROR: stopHttpServer: Failed to close listening socket, error 9\n");
}

// Connections are served side by side: a player that has not yet asked
// holds nobody up. Beyond the players' streams, a player is told so at once.
TEST_F(ServerTest, ConnectionsAreServedSideBySideWithinThePlayersLimit) {
  ServerControl* server = startHttpServer("127.0.0.1", 0, 1);
  ASSERT_NE(server, nullptr);
  keptServers().push_back(server);
  fakehttp::FakeHttpServer source;
  source.route("/v.flv", fakehttp::Script::response(200, {"Content-Length: 1000000"}).hang());
  uint16_t port = portOf(server);
  TcpClient first, second, third;
  ASSERT_TRUE(first.connect(port));
  ASSERT_TRUE(waitForCount(server->connections, 1));  // the first request is being read
  ASSERT_TRUE(second.connect(port));
  ASSERT_TRUE(second.send("GET /r?li=" + source.url("/v.flv") + " HTTP/1.0\r\n\r\n"));
  std::string secondReply;
  ASSERT_EQ(second.read(secondReply, okWithLength(1000000).size(), 10s), okWithLength(1000000).size());
  ASSERT_TRUE(waitForCount(server->streams, 1));  // the one player's stream is taken

  ASSERT_TRUE(third.connect(port));
  ASSERT_TRUE(third.send("GET /tv?id=3 HTTP/1.0\r\n\r\n"));
  std::string thirdReply;
  EXPECT_TRUE(third.readToEnd(thirdReply, 10s));
  EXPECT_EQ(thirdReply, kUnavailable);
  ASSERT_TRUE(first.send("GET /first HTTP/1.0\r\n\r\n"));
  std::string firstReply;
  EXPECT_TRUE(first.readToEnd(firstReply, 10s));
  EXPECT_EQ(firstReply, kNotFound);
  stopHttpServer(server);
  EXPECT_EQ(server->connections.load(), 0);
  EXPECT_NE(log_.text().find("receiveHttpData, Service unavailable: all 1 players are served, /tv?id=3\n"),
            std::string::npos);
}

// Connections that send nothing (a port scan, an app that connects early, a
// crashed client), more than the players and the waiting room together,
// keep nobody out: the one that has waited longest is closed for a newer
// one, and a stream and the status page are served while they are held.
TEST_F(ServerTest, SilentConnectionsKeepNoPlayerOut) {
  ServerControl* server = startHttpServer("127.0.0.1", 0, 1);
  ASSERT_NE(server, nullptr);
  keptServers().push_back(server);
  fakehttp::FakeHttpServer source;
  source.route("/v.flv", fakehttp::Script::ok("FLV-body"));
  const uint16_t port = portOf(server);
  TcpClient silent[kWaitingConnections + 4];
  for (TcpClient& client : silent) ASSERT_TRUE(client.connect(port));
  ASSERT_TRUE(waitForCount(server->connections, kWaitingConnections));

  TcpClient player, status;
  ASSERT_TRUE(player.connect(port));
  ASSERT_TRUE(player.send("GET /r?li=" + source.url("/v.flv") + " HTTP/1.0\r\n\r\n"));
  std::string played;
  EXPECT_TRUE(player.readToEnd(played, 10s));
  EXPECT_EQ(played, okWithLength(8) + "FLV-body");
  ASSERT_TRUE(status.connect(port));
  ASSERT_TRUE(status.send("GET /status HTTP/1.0\r\n\r\n"));
  std::string page;
  EXPECT_TRUE(status.readToEnd(page, 10s));
  EXPECT_EQ(page.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << page;
  std::string nothing;
  EXPECT_TRUE(silent[0].readToEnd(nothing, 10s));
  EXPECT_EQ(nothing, "");
  stopHttpServer(server);
  EXPECT_EQ(server->connections.load(), 0);
  EXPECT_EQ(log_.text().find("Service unavailable"), std::string::npos);
}

// A stop lands well within the five seconds of any wait the request is in:
// the player's request, a source that went silent, a host that does not
// answer the handshake. The player gets what was whole by then; a relay
// whose source was not yet open, the 404.
TEST_F(ServerTest, StopLandsSoonInEveryWait) {
  fakehttp::FakeHttpServer source;
  source.route("/v.flv", fakehttp::Script::response(200, {"Content-Length: 1000000"}).hang());
  testsupport::SilentHost silent;
  ASSERT_NE(silent.port(), 0);
  // A channel whose timeline the service cannot give yet: the stream pauses
  // between tries, a minute each here.
  testsupport::ChannelService busy;
  busy.server.setDefault(fakehttp::Script::status(503));
  const TryTimes savedTryTimes = tryTimes;
  tryTimes = {60000, 600000};
  const struct {
    const char* wait;
    std::string request;  // empty: none is sent
    std::string reply;
    bool answered;        // the reply is there before the stop
  } cases[] = {
      {"request", "", "", false},
      {"silent source", "GET /r?li=" + source.url("/v.flv") + " HTTP/1.0\r\n\r\n", okWithLength(1000000), true},
      {"pending connect",
       "GET /r?li=http://127.0.0.1:" + std::to_string(silent.port()) + "/v.flv HTTP/1.0\r\n\r\n", kNotFound,
       false},
      {"pause between tries", "GET /tv?id=1 HTTP/1.0\r\n\r\n", kOk, true},
  };
  for (const auto& c : cases) {
    ServerControl* server = start();
    ASSERT_NE(server, nullptr);
    TcpClient client;
    ASSERT_TRUE(client.connect(portOf(server)));
    ASSERT_TRUE(waitForCount(server->connections, 1)) << c.wait;
    std::string reply;
    if (!c.request.empty()) {
      ASSERT_TRUE(client.send(c.request));
    }
    if (c.answered) {
      ASSERT_EQ(client.read(reply, c.reply.size(), 10s), c.reply.size()) << c.wait;
    }
    std::this_thread::sleep_for(300ms);  // into the wait
    EXPECT_EQ(server->streams.load(), c.request.empty() ? 0 : 1) << c.wait;  // still waiting there

    const auto before = std::chrono::steady_clock::now();
    stopHttpServer(server);
    EXPECT_LT(std::chrono::steady_clock::now() - before, 4s) << c.wait;
    EXPECT_EQ(server->state.load(), Stopped) << c.wait;
    EXPECT_TRUE(client.readToEnd(reply, 10s)) << c.wait;
    EXPECT_EQ(reply, c.reply) << c.wait;
  }
  tryTimes = savedTryTimes;
}

// The handler alone, on one end of a socket pair.
class RequestTest : public ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds_), 0);
    server_.state.store(Accepting);
  }
  void TearDown() override {
    close(fds_[0]);
    ServerTest::TearDown();
  }
  // Sends `request` (none when null), runs the handler and returns all it sent.
  std::string exchange(const char* request) {
    if (request != nullptr) {
      EXPECT_GT(send(fds_[0], request, strlen(request), 0), 0);
    }
    std::string reply;
    std::thread handler([&] { receiveHttpData(&server_, fds_[1]); });
    char chunk[65536];
    ssize_t got;
    while ((got = recv(fds_[0], chunk, sizeof chunk, 0)) > 0) reply.append(chunk, static_cast<size_t>(got));
    handler.join();
    return reply;
  }

  ServerControl server_;
  int fds_[2] = {-1, -1};
};

TEST_F(RequestTest, AnswersNotFoundOrNothing) {
  const struct {
    const char* request;
    std::string reply;
    std::string log;
  } cases[] = {
      {"GET /tv?id=0 HTTP/1.0\r\n\r\n", kNotFound, "receiveHttpData, File not found, /tv?id=0\n"},
      {"GET /tv?ID=12 HTTP/1.0\r\n\r\n", kNotFound, "receiveHttpData, File not found, /tv?ID=12\n"},
      {"GET /x?li= HTTP/1.0\r\n\r\n", kNotFound, "receiveHttpData, File not found, /x?li=\n"},
      {"POST /tv?id=12 HTTP/1.0\r\n\r\n",
       "HTTP/1.0 405 Method Not Allowed\r\nServer: Zomak TV Proxy Server for Pendrake \r\nAllow: GET, HEAD \r\n"
       "Content-Length: 0 \r\nConnection: close \r\n\r\n",
       "receiveHttpData, Method not allowed, /tv?id=12\n"},
      {"post /tv?id=12 HTTP/1.0\r\n\r\n", "", "receiveHttpData: No request header received/unsupported method\n"},
      {"GET", "", "receiveHttpData: No request header received/unsupported method\n"},
  };
  for (const auto& c : cases) {
    SetUp();
    log_.clear();
    EXPECT_EQ(exchange(c.request), c.reply) << c.request;
    EXPECT_EQ(log_.text(), c.log) << c.request;
    EXPECT_EQ(server_.state.load(), Accepting) << c.request;
    TearDown();
  }
  SetUp();  // for the fixture's own TearDown
}

TEST_F(RequestTest, PlayerThatHangsUpGetsNoAnswer) {
  shutdown(fds_[0], SHUT_WR);
  EXPECT_EQ(exchange(nullptr), "");
  EXPECT_EQ(log_.text(), "receiveHttpData: No request header received/unsupported method\n");
}

TEST_F(RequestTest, SilentPlayerIsClosedAfterFiveSeconds) {
  EXPECT_EQ(exchange(nullptr), "");
  EXPECT_EQ(log_.text(), "");
  EXPECT_EQ(server_.state.load(), Accepting);
}

// A stop that lands between the accept and the connection's thread has
// left Stopped: the connection is closed unserved and the stop is kept.
TEST_F(RequestTest, StopBeforeTheRequestStartsIsKept) {
  server_.state.store(Stopped);
  EXPECT_EQ(exchange("GET /tv?id=0 HTTP/1.0\r\n\r\n"), "");
  EXPECT_EQ(server_.state.load(), Stopped);
}

TEST_F(RequestTest, RelaysABodyUnchanged) {
  std::string body;
  for (int i = 0; i < 200000; ++i) body.push_back(static_cast<char>((i * 7919) >> 3));
  fakehttp::FakeHttpServer source;
  source.route("/v.flv", fakehttp::Script::ok(body));
  std::string request = "GET /r?li=" + source.url("/v.flv") + " HTTP/1.0\r\n\r\n";
  EXPECT_EQ(exchange(request.c_str()), okWithLength(body.size()) + body);
  EXPECT_EQ(server_.state.load(), Accepting);

  // A player that seeks: its range goes on to the source, the source's part
  // and its place in the whole come back.
  source.route("/v.flv?part", fakehttp::Script::response(
                                  206, {"Content-Length: 100", "Content-Range: bytes 1000-1099/200000"},
                                  body.substr(1000, 100)));
  close(fds_[0]);
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds_), 0);
  request = "GET /r?li=" + source.url("/v.flv?part") + " HTTP/1.0\r\nRange: bytes=1000-1099\r\n\r\n";
  EXPECT_EQ(exchange(request.c_str()),
            "HTTP/1.0 206 Partial Content\r\nContent-Length: 100\r\nContent-Range: bytes 1000-1099/200000" +
                kHeaderBlock + body.substr(1000, 100));
  EXPECT_EQ(source.requests().back().header("Range"), "bytes=1000-1099");
}

// The stop lands while the handler waits for its first chunk (the source
// pauses after its header, and again after its first piece): the chunk in
// hand still goes out whole, then the stream ends.
TEST_F(RequestTest, StopDuringARelayEndsItAfterTheChunkInHand) {
  const std::string chunk(9472, 'a');
  fakehttp::FakeHttpServer source;
  source.route("/v.flv", fakehttp::Script::response(200, {"Content-Length: 1000000"})
                             .pause(1000)
                             .send(chunk)
                             .pause(1000)
                             .send(chunk)
                             .hang());
  std::string request = "GET /r?li=" + source.url("/v.flv") + " HTTP/1.0\r\n\r\n";
  ASSERT_GT(send(fds_[0], request.data(), request.size(), 0), 0);
  std::thread handler([&] { receiveHttpData(&server_, fds_[1]); });

  const std::string ok = okWithLength(1000000);
  std::string reply(ok.size(), '\0');
  ASSERT_EQ(recv(fds_[0], reply.data(), reply.size(), MSG_WAITALL), static_cast<ssize_t>(ok.size()));
  server_.state.store(StopRequested);  // as the stop operation does
  char part[4096];
  ssize_t got;
  while ((got = recv(fds_[0], part, sizeof part, 0)) > 0) reply.append(part, static_cast<size_t>(got));
  handler.join();
  EXPECT_EQ(reply, ok + chunk);
  EXPECT_EQ(server_.state.load(), StopRequested);
}

}  // namespace
