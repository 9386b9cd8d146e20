#include "server/tuner.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "server/pages.h"
#include "support/log_capture.h"
#include "support/process.h"

namespace {

// Every derived id passes the checksum, and any one nibble changed fails it
// (the table is a permutation): a mistyped id is caught as clients catch it.
TEST(TunerTest, DeviceIdsCarryTheirChecksum) {
  for (uint32_t seed : {0u, 1u, 0x12345678u, 0xFFFFFFFFu, 0xDEADBEEFu, 0x80000000u}) {
    const uint32_t id = deviceIdFrom(seed);
    EXPECT_TRUE(deviceIdChecks(id)) << std::hex << id;
    EXPECT_EQ(id & ~0xFu, seed & ~0xFu);
    for (int nibble = 0; nibble < 8; ++nibble) {
      for (uint32_t change = 1; change < 16; ++change) {
        EXPECT_FALSE(deviceIdChecks(id ^ (change << (4 * nibble)))) << std::hex << id << " " << nibble;
      }
    }
  }
  testsupport::LogCapture log;
  EXPECT_TRUE(tunerStart(nullptr, "127.0.0.1", 8666));
  const std::string derived = tunerDeviceId();
  EXPECT_TRUE(tunerStart(nullptr, "127.0.0.1", 8666));
  EXPECT_EQ(tunerDeviceId(), derived);  // the same on every start
  EXPECT_TRUE(deviceIdChecks(static_cast<uint32_t>(strtoul(derived.c_str(), nullptr, 16))));
  EXPECT_TRUE(tunerStart(nullptr, "127.0.0.1", 8667));
  EXPECT_NE(tunerDeviceId(), derived);  // another proxy on the same box
  char given[9], upper[9], wrong[9];
  snprintf(given, sizeof given, "%08x", static_cast<unsigned>(deviceIdFrom(0xABCDEF10u)));
  snprintf(upper, sizeof upper, "%08X", static_cast<unsigned>(deviceIdFrom(0xABCDEF10u)));
  snprintf(wrong, sizeof wrong, "%08X", static_cast<unsigned>(deviceIdFrom(0xABCDEF10u) ^ 1u));
  EXPECT_TRUE(tunerStart(given, "127.0.0.1", 8666));
  EXPECT_EQ(std::string(tunerDeviceId()), upper);
  for (const char* bad : {static_cast<const char*>(wrong), "1234567", "123456789", "1234567g", "-1234567"}) {
    EXPECT_FALSE(tunerStart(bad, "127.0.0.1", 8666)) << bad;
    EXPECT_EQ(std::string(tunerDeviceId()), upper);
  }
  EXPECT_TRUE(log.contains("Invalid device id 1234567g"));
}

// The box as the asking device reached it: a well-formed Host header as it
// stands, anything else the address the connection came in on.
TEST(TunerTest, BaseUrlIsTheHostHeaderOrTheAcceptedAddress) {
  sockaddr_in address{};
  const int listener = testsupport::listenOnLoopback(1, &address);
  ASSERT_GE(listener, 0);
  const int client = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const int accepted = accept(listener, nullptr, nullptr);
  const std::string fallback = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  const struct {
    std::string host, base;
  } cases[] = {
      {"box.lan:8666", "http://box.lan:8666"},   {"192.168.1.9", "http://192.168.1.9"},
      {"[fe80::1]:8666", "http://[fe80::1]:8666"}, {"my-box", "http://my-box"},
      {"", fallback},                            {"box:0", fallback},
      {"box:65536", fallback},                   {"box:", fallback},
      {"box:86a", fallback},                     {"ev\"il.com", fallback},
      {"a b", fallback},                         {"<x>", fallback},
      {"[fe80::1", fallback},                    {"[x]:1", fallback},
      {"box.lan:8666/x", fallback},              {"user@box", fallback},
      {std::string(254, 'a'), fallback},
  };
  for (const auto& c : cases) {
    char base[kBaseSize];
    boxBaseUrl(c.host, accepted, base, sizeof base);
    EXPECT_EQ(std::string(base), c.base) << c.host;
  }
  close(accepted);
  close(client);
  close(listener);
}

}  // namespace
