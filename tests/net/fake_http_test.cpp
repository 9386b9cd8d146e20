#include "support/fake_http.h"

#include <gtest/gtest.h>

#include <string>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace fakehttp {
namespace {

// Sends `request` on a fresh connection and returns everything the server
// sent until it closed.
std::string roundTrip(const FakeHttpServer& server, const std::string& request) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(server.port()));
  EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  EXPECT_EQ(write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));
  std::string answer;
  char buffer[512];
  for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;) answer.append(buffer, static_cast<size_t>(got));
  close(fd);
  return answer;
}

std::string get(const std::string& target) { return "GET " + target + " HTTP/1.0\r\nHost: h\r\n\r\n"; }

TEST(FakeHttpServer, PicksQueueThenTargetThenPathThenDefault) {
  FakeHttpServer server;
  server.route("/a", Script().send("path"));
  server.route("/a?x=1", Script().send("target"));
  server.route("/b", Script().send("first"));
  server.route("/b", Script().send("second"));

  EXPECT_EQ(roundTrip(server, get("/a?x=1")), "target");
  EXPECT_EQ(roundTrip(server, get("/a?x=2")), "path");
  EXPECT_EQ(roundTrip(server, get("/b")), "first");
  EXPECT_EQ(roundTrip(server, get("/b")), "second");
  EXPECT_EQ(roundTrip(server, get("/b")), "second");
  server.enqueue(Script().send("queued"));
  EXPECT_EQ(roundTrip(server, get("/a")), "queued");
  EXPECT_EQ(roundTrip(server, get("/none")), "HTTP/1.0 404 Not Found\r\n\r\n");

  std::vector<Request> seen = server.requests();
  ASSERT_EQ(seen.size(), 7u);
  EXPECT_EQ(seen[0].raw, get("/a?x=1"));
  EXPECT_EQ(seen[0].method, "GET");
  EXPECT_EQ(seen[0].target, "/a?x=1");
  EXPECT_EQ(seen[0].path, "/a");
  EXPECT_EQ(seen[0].header("HOST"), "h");
  EXPECT_EQ(seen[0].header("Missing"), "");
  EXPECT_EQ(server.connectionCount(), 7);
}

TEST(FakeHttpServer, StopsHangingConnectionsWhenDestroyed) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  {
    FakeHttpServer server;
    server.setDefault(Script().send("x").pause(60000));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(server.port()));
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    std::string request = get("/");
    ASSERT_EQ(write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));
    ASSERT_TRUE(server.waitForRequests(1));
  }  // must not wait out the pause
  char buffer[8];
  EXPECT_EQ(read(fd, buffer, sizeof buffer), 1);
  EXPECT_EQ(read(fd, buffer, sizeof buffer), 0);
  close(fd);
}

}  // namespace
}  // namespace fakehttp
