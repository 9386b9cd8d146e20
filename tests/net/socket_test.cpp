#include "net/socket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <utility>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/fake_http.h"
#include "support/tcp_client.h"

namespace {

struct SocketPair {
  int near = -1;  // the side under test
  int far = -1;   // the test's peer
  SocketPair() {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    near = fds[0];
    far = fds[1];
  }
  ~SocketPair() {
    if (near >= 0) close(near);
    if (far >= 0) close(far);
  }
  void closeFar() {
    close(far);
    far = -1;
  }
};

TEST(MyRead, SizeZeroReadsNothing) {
  SocketPair pair;
  ASSERT_EQ(write(pair.far, "abc", 3), 3);
  char buffer[4] = {};
  EXPECT_EQ(my_read(pair.near, buffer, 0), 0);
  EXPECT_EQ(read(pair.near, buffer, sizeof buffer), 3);  // still on the socket
}

// Over a socket, and over a pipe, which is not one: read as soon as readable.
TEST(MyRead, GathersPiecesUntilFull) {
  SocketPair pair;
  int pipeEnds[2];
  ASSERT_EQ(pipe(pipeEnds), 0);
  for (auto [near, far] : {std::pair{pair.near, pair.far}, std::pair{pipeEnds[0], pipeEnds[1]}}) {
    std::thread writer([fd = far] {
      for (const char* piece : {"ab", "cde", "f"}) {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        EXPECT_GT(write(fd, piece, std::char_traits<char>::length(piece)), 0);
      }
    });
    char buffer[7] = {};
    EXPECT_EQ(my_read(near, buffer, 6), 6);
    EXPECT_STREQ(buffer, "abcdef");
    writer.join();
  }
  close(pipeEnds[0]);
  close(pipeEnds[1]);
}

TEST(MyRead, ReturnsWhatArrivedBeforeThePeerClosed) {
  SocketPair pair;
  ASSERT_EQ(write(pair.far, "abc", 3), 3);
  pair.closeFar();
  char buffer[10] = {};
  EXPECT_EQ(my_read(pair.near, buffer, 10), 3);
  EXPECT_EQ(std::string(buffer, 3), "abc");
}

TEST(SocketWait, WaitsForTheDirectionAsked) {
  SocketPair pair;
  // Nothing to read, room to write: a write wait must not wait for data.
  EXPECT_EQ(socket_wait(pair.near, 0), 1);
  ASSERT_EQ(write(pair.far, "x", 1), 1);
  EXPECT_EQ(socket_wait(pair.near, 1), 1);
}

TEST(SocketWait, HandlesDescriptorsBeyondFdSetSize) {
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  const rlim_t wanted = FD_SETSIZE + 64;
  if (limit.rlim_max < wanted) GTEST_SKIP() << "descriptor limit too low";
  const rlimit saved = limit;
  if (limit.rlim_cur < wanted) {
    limit.rlim_cur = wanted;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
  }
  SocketPair pair;
  const int high = FD_SETSIZE + 10;
  ASSERT_EQ(dup2(pair.near, high), high);
  ASSERT_EQ(write(pair.far, "hi", 2), 2);
  pair.closeFar();
  char buffer[8] = {};
  EXPECT_EQ(socket_wait(high, 1), 1);
  EXPECT_EQ(my_read(high, buffer, sizeof buffer), 2);
  close(high);
  setrlimit(RLIMIT_NOFILE, &saved);
}

TEST(SocketConnect, ConnectsWithLingerOffAndReuseOn) {
  fakehttp::FakeHttpServer server;
  int fd = socket_connect("127.0.0.1", std::to_string(server.port()).c_str());
  ASSERT_GE(fd, 0);
  int reuse = 0;
  linger lingering{1, 1};
  socklen_t size = sizeof reuse;
  EXPECT_EQ(getsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, &size), 0);
  size = sizeof lingering;
  EXPECT_EQ(getsockopt(fd, SOL_SOCKET, SO_LINGER, &lingering, &size), 0);
  EXPECT_EQ(reuse, 1);
  EXPECT_EQ(lingering.l_onoff, 0);
  EXPECT_EQ(socket_reachesThisBox(fd), 1);
  close(fd);
}

// Which addresses are this box itself to a connect made here.
TEST(SocketConnect, LoopbackAndUnspecifiedAddressesAreThisBox) {
  const std::pair<const char*, int> cases[] = {
      {"127.0.0.1", 1},       {"127.255.255.254", 1}, {"0.0.0.0", 1},         {"::1", 1},
      {"::", 1},              {"::ffff:127.0.0.9", 1}, {"::ffff:0.0.0.0", 1}, {"192.168.1.20", 0},
      {"10.0.0.1", 0},        {"126.255.255.255", 0}, {"128.0.0.1", 0},       {"2001:db8::1", 0},
      {"::ffff:192.168.1.20", 0}, {"fe80::1", 0},     {"::2", 0},
  };
  for (const auto& [text, thisBox] : cases) {
    sockaddr_in v4{};
    sockaddr_in6 v6{};
    v4.sin_family = AF_INET;
    v6.sin6_family = AF_INET6;
    const sockaddr* address = reinterpret_cast<const sockaddr*>(&v4);
    if (inet_pton(AF_INET, text, &v4.sin_addr) != 1) {
      ASSERT_EQ(inet_pton(AF_INET6, text, &v6.sin6_addr), 1) << text;
      address = reinterpret_cast<const sockaddr*>(&v6);
    }
    EXPECT_EQ(socket_addressIsThisBox(address), thisBox) << text;
  }
}

// A bound socket that does not listen: connections to its loopback port
// are refused for as long as it lives.
struct RefusingPort {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  RefusingPort() {
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
  }
  ~RefusingPort() { close(fd); }
  uint16_t port() const { return ntohs(address.sin_port); }
};

TEST(SocketConnect, FailuresPrintTheStepAndReturnMinusOne) {
  RefusingPort bound;
  std::string refusedPort = std::to_string(bound.port());

  testing::internal::CaptureStderr();
  EXPECT_EQ(socket_connect("127.0.0.1", refusedPort.c_str()), -1);
  std::string refused = testing::internal::GetCapturedStderr();
  EXPECT_NE(refused.find("connect: Connection refused"), std::string::npos) << refused;

  // An unknown service name is looked up in /etc/services only: no query leaves the machine.
  testing::internal::CaptureStderr();
  EXPECT_EQ(socket_connect("127.0.0.1", "no-such-service"), -1);
  std::string unresolved = testing::internal::GetCapturedStderr();
  EXPECT_EQ(unresolved.rfind("getaddrinfo: ", 0), 0u) << unresolved;

  // The resolver would take 84596 as port 19060.
  testing::internal::CaptureStderr();
  EXPECT_EQ(socket_connect("127.0.0.1", "84596"), -1);
  EXPECT_EQ(socket_connect("127.0.0.1", "0"), -1);
  std::string outOfRange = testing::internal::GetCapturedStderr();
  EXPECT_EQ(outOfRange, "connect: port 84596 out of range\nconnect: port 0 out of range\n");
}

// A host that never answers the handshake fails the connect after the five
// seconds of every wait, not after the kernel's two minutes of retries.
TEST(SocketConnect, UnansweredHandshakeFailsAfterFiveSeconds) {
  testsupport::SilentHost silent;
  ASSERT_NE(silent.port(), 0);
  testing::internal::CaptureStderr();
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(socket_connect("127.0.0.1", std::to_string(silent.port()).c_str()), -1);
  const auto waited = std::chrono::steady_clock::now() - before;
  std::string report = testing::internal::GetCapturedStderr();
  EXPECT_EQ(report, "connect: Connection timed out (127.0.0.1 port " + std::to_string(silent.port()) + ")\n");
  EXPECT_GE(waited, std::chrono::milliseconds(4900));
  EXPECT_LT(waited, std::chrono::seconds(60));
}

// The addresses of a name in turn: one that refuses and one that stays
// silent (each named in the report) leave the connect to the next, within
// the five seconds of the whole wait.
TEST(SocketConnect, EveryAddressIsTriedInTurn) {
  fakehttp::FakeHttpServer answering;
  testsupport::SilentHost silent;
  ASSERT_NE(silent.port(), 0);
  RefusingPort bound;
  const sockaddr_in refusing = bound.address;
  sockaddr_in stays = refusing, answers = refusing;
  stays.sin_port = htons(silent.port());
  answers.sin_port = htons(answering.port());
  addrinfo list[3] = {};
  const sockaddr_in* order[3] = {&refusing, &stays, &answers};
  for (int i = 0; i < 3; ++i) {
    list[i].ai_family = AF_INET;
    list[i].ai_socktype = SOCK_STREAM;
    list[i].ai_addr = reinterpret_cast<sockaddr*>(const_cast<sockaddr_in*>(order[i]));
    list[i].ai_addrlen = sizeof(sockaddr_in);
    list[i].ai_next = i < 2 ? &list[i + 1] : nullptr;
  }
  testing::internal::CaptureStderr();
  const auto before = std::chrono::steady_clock::now();
  const int fd = socket_connectFirstOf(list);
  const auto waited = std::chrono::steady_clock::now() - before;
  const std::string report = testing::internal::GetCapturedStderr();
  ASSERT_GE(fd, 0) << report;
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  ASSERT_EQ(getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length), 0);
  EXPECT_EQ(ntohs(peer.sin_port), answering.port());
  EXPECT_EQ(report, "connect: Connection refused (127.0.0.1 port " + std::to_string(ntohs(refusing.sin_port)) +
                        ")\nconnect: Connection timed out (127.0.0.1 port " + std::to_string(silent.port()) + ")\n");
  EXPECT_LT(waited, std::chrono::milliseconds(4900));  // the silent one had half the wait, not all of it
  close(fd);
}

}  // namespace
