#include "net/socket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <utility>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/fake_http.h"
#include "support/process.h"
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

// The address as its family's sockaddr, port 9.
sockaddr_storage addressOf(const char* text) {
  sockaddr_storage address{};
  auto& v4 = reinterpret_cast<sockaddr_in&>(address);
  auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
  if (inet_pton(AF_INET, text, &v4.sin_addr) == 1) {
    v4.sin_family = AF_INET;
    v4.sin_port = htons(9);
  } else {
    EXPECT_EQ(inet_pton(AF_INET6, text, &v6.sin6_addr), 1) << text;
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(9);
  }
  return address;
}

// What socket_reachesThisBox says of a UDP socket connected to `address`
// (a connect that sends nothing), or -1 when there is no route to it.
int reachesAsConnected(const sockaddr* address) {
  const socklen_t length = address->sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
  const int fd = socket(address->sa_family, SOCK_DGRAM, 0);
  sockaddr_storage to{};
  memcpy(&to, address, length);
  reinterpret_cast<sockaddr_in&>(to).sin_port = htons(9);  // the same place in both families
  const int reaches = connect(fd, reinterpret_cast<sockaddr*>(&to), length) == 0 ? socket_reachesThisBox(fd) : -1;
  close(fd);
  return reaches;
}

// Which addresses are this box itself to a connect made here: loopback, the
// unspecified one, and every address of the box's own interfaces, IPv4 and
// IPv6 (a link-local one with its scope), also as the far end of a socket.
// Addresses from the documentation ranges are nobody's.
TEST(SocketConnect, LoopbackUnspecifiedAndOwnAddressesAreThisBox) {
  const std::pair<const char*, int> cases[] = {
      {"127.0.0.1", 1},       {"127.255.255.254", 1}, {"0.0.0.0", 1},         {"::1", 1},
      {"::", 1},              {"::ffff:127.0.0.9", 1}, {"::ffff:0.0.0.0", 1}, {"198.51.100.20", 0},
      {"203.0.113.1", 0},     {"126.255.255.255", 0}, {"128.0.0.1", 0},       {"2001:db8::1", 0},
      {"::ffff:198.51.100.20", 0}, {"fe80::1", 0},    {"::2", 0},
  };
  for (const auto& [text, thisBox] : cases) {
    const sockaddr_storage address = addressOf(text);
    EXPECT_EQ(socket_addressIsThisBox(reinterpret_cast<const sockaddr*>(&address)), thisBox) << text;
    const int reaches = reachesAsConnected(reinterpret_cast<const sockaddr*>(&address));
    if (reaches != -1) {
      EXPECT_EQ(reaches, thisBox) << text;
    }
  }
  ifaddrs* list = nullptr;
  ASSERT_EQ(getifaddrs(&list), 0);
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    const sockaddr* own = entry->ifa_addr;
    if (own == nullptr || (own->sa_family != AF_INET && own->sa_family != AF_INET6)) continue;
    char text[INET6_ADDRSTRLEN] = "?";
    const void* ip = own->sa_family == AF_INET ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(own)->sin_addr)
                                               : &reinterpret_cast<const sockaddr_in6*>(own)->sin6_addr;
    inet_ntop(own->sa_family, ip, text, sizeof text);
    EXPECT_EQ(socket_addressIsThisBox(own), 1) << entry->ifa_name << " " << text;
    EXPECT_EQ(reachesAsConnected(own), 1) << entry->ifa_name << " " << text;
    if (own->sa_family == AF_INET) {
      const sockaddr_storage mapped = addressOf(("::ffff:" + std::string(text)).c_str());
      EXPECT_EQ(socket_addressIsThisBox(reinterpret_cast<const sockaddr*>(&mapped)), 1) << text;
    }
  }
  freeifaddrs(list);
}

// The box trusts as on itself no more than loopback and its connections to
// itself: a player whose address is one of the box's own but not the one it
// connected to (a LAN address, to the loopback listener) is elsewhere.
TEST(SocketConnect, APlayerFromAnotherOwnAddressIsElsewhere) {
  ifaddrs* list = nullptr;
  ASSERT_EQ(getifaddrs(&list), 0);
  in_addr lan{};
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    const sockaddr* own = entry->ifa_addr;
    if (own == nullptr || own->sa_family != AF_INET) continue;
    const in_addr ip = reinterpret_cast<const sockaddr_in*>(own)->sin_addr;
    if ((ntohl(ip.s_addr) >> 24) != 127) lan = ip;
  }
  freeifaddrs(list);
  if (lan.s_addr == 0) GTEST_SKIP() << "no IPv4 address but loopback on this machine";
  sockaddr_in at{};
  const int listener = testsupport::listenOnLoopback(2, &at);
  ASSERT_GE(listener, 0);
  for (const auto& [from, onThisBox] : {std::pair{in_addr{htonl(INADDR_LOOPBACK)}, 1}, std::pair{lan, 0}}) {
    const int player = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in source{};
    source.sin_family = AF_INET;
    source.sin_addr = from;
    ASSERT_EQ(bind(player, reinterpret_cast<sockaddr*>(&source), sizeof source), 0);
    ASSERT_EQ(connect(player, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    const int accepted = accept(listener, nullptr, nullptr);
    EXPECT_EQ(socket_peerOnThisBox(accepted), onThisBox) << inet_ntoa(from);
    close(accepted);
    close(player);
  }
  close(listener);
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
