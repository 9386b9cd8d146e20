// https sources that the proxy must refuse, and the clock it judges
// certificates by: a certificate that does not check out is a final
// failure, named in the log and not asked for again; a box whose clock was
// never set judges certificates as of the program's build.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>

#include "e2e/e2e_fixture.h"
#include "support/process.h"
#include "support/stream_check.h"
#include "support/tcp_client.h"
#include "support/test_ca.h"

using namespace testsupport;

namespace {

class HttpsTest : public E2eTest<HttpsTest> {
 public:
  static std::map<std::string, SampleRecipe> recipes() {
    return {{"a", {SampleCodec::H264Aac, 4, 2, "testsrc2", 660}}};
  }
};

// How often `text` stands in `log`.
int occurrences(const std::string& log, const std::string& text) {
  int count = 0;
  for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + text.size())) ++count;
  return count;
}

// Servers whose certificates do not check out, each with the file and the
// video a trusted one would serve, TLS 1.3 and 1.2 in turn: the relay of the
// file answers 404 without a body, a channel passes the video over for the
// next item, the log names the reason, and each server has had one
// handshake for each and no request: nothing was tried again. A common name
// is no name of the server's: only the names a certificate lists count; an
// address matches an IP address alone; a wildcard stands for a whole
// leftmost label alone. Trust comes from the trusted certificates alone:
// an intermediate the server does not send is unknown, however often
// another server sent it before. Servers that deserve it are taken among
// them (a reason of null), the file relayed.
TEST_F(HttpsTest, CertificateThatDoesNotCheckOutIsRefusedForGood) {
  TestCa ca, stranger;
  TestCa intermediate(ca, ""), weakIntermediate(ca, "rsa:1024");
  TestCa constrained(ca, "", "permitted;IP:10.0.0.0/255.0.0.0,permitted;DNS:allowed.test");
  for (const TestCa* c : {&ca, &stranger, &intermediate, &weakIntermediate, &constrained}) ASSERT_TRUE(c->ok()) << c->error();
  const std::string addressed = "IP:127.0.0.1";
  const struct {
    const char* reason;  // null: taken
    TestCa& issuer;
    CertRequest request;
    const char* host = "127.0.0.1";
    bool sendsChain = true;  // the server sends the intermediates above its certificate
  } cases[] = {
      {"unknown issuer", stranger, {.sans = addressed}},
      {"wrong name", ca, {.sans = "DNS:elsewhere.test,IP:127.0.0.2"}},
      {"wrong name", ca, {.sans = ""}},  // 127.0.0.1 as its common name alone
      {"expired", ca, {.sans = addressed, .notAfter = "20010101000000Z"}},
      {"not yet valid", ca, {.sans = addressed, .notBefore = "20900101000000Z"}},
      {nullptr, intermediate, {.sans = addressed}},
      {"unknown issuer", intermediate, {.sans = addressed}, "127.0.0.1", false},
      {"wrong name", ca, {.sans = "DNS:127.0.0.1"}},
      {nullptr, ca, {.sans = "DNS:localhost"}, "localhost"},
      {"wrong name", ca, {.sans = "DNS:*"}, "localhost"},
      {"wrong name", ca, {.sans = "DNS:l*host"}, "localhost"},
      {"weak signature", ca, {.sans = addressed, .digest = "sha1"}},
      {"weak key", ca, {.sans = addressed, .key = "rsa:1024"}},
      {nullptr, ca, {.sans = addressed, .key = "rsa:2048"}},
      {"weak key", weakIntermediate, {.sans = addressed}},
      {"made for another purpose", ca, {.sans = addressed, .purpose = "clientAuth"}},
      {"a name outside its issuer's constraints", constrained, {.sans = addressed}},
  };
  std::vector<std::unique_ptr<Nginx>> servers;
  std::vector<TimelineItem> items;
  const auto urlOf = [&](size_t k, const std::string& path) {
    std::string url = servers[k]->url(path);
    return url.replace(url.find("127.0.0.1"), 9, cases[k].host);
  };
  for (const auto& c : cases) {
    const auto cert = c.issuer.issue(c.request);
    ASSERT_TRUE(cert) << c.issuer.error();
    auto& server = servers.emplace_back(std::make_unique<Nginx>(freeLoopbackPort()));
    server->enableTls(c.sendsChain ? cert->chainFile : cert->certFile, cert->keyFile,
                      servers.size() % 2 == 1 ? "TLSv1.3" : "TLSv1.2");
    ASSERT_TRUE(server->putFile("/files/small.txt", "taken"));
    ASSERT_TRUE(server->copyFile("/v/a.flv", samples_.at("a").path));
    ASSERT_TRUE(server->start()) << server->error();
    if (c.reason != nullptr) items.push_back({urlOf(servers.size() - 1, "/v/a.flv"), static_cast<int>(servers.size())});
  }
  items.push_back({videoUrl("a"), 99});
  ASSERT_TRUE(putChannel(1, items));
  ASSERT_NO_FATAL_FAILURE(startService({"--ca-file", ca.certFile()}));

  for (size_t k = 0; k < std::size(cases); ++k) {
    SCOPED_TRACE(k);
    HttpReply reply = httpGet(proxy_->port(), "/x?li=" + urlOf(k, "/files/small.txt"), 30s);
    EXPECT_TRUE(reply.closed);
    if (cases[k].reason == nullptr) {
      EXPECT_EQ(reply.body(), "taken");
    } else {
      EXPECT_EQ(reply.raw, kAnswer404);
    }
  }
  std::string answer;
  const std::string stream = readStream(proxy_->port(), "/tv?id=1", streamBytes(plays({"a"})), 60s, &answer);
  EXPECT_EQ(answer, kAnswer200);
  EXPECT_EQ(streamMismatch(stream, plays({"a"})), "");

  const auto stopped = proxy_->stop();  // the log complete
  EXPECT_TRUE(stopped && stopped->exited && stopped->code == 0) << describe(stopped);
  const std::string log = proxy_->log();
  for (size_t k = 0; k < std::size(cases); ++k) {
    if (cases[k].reason == nullptr) continue;
    SCOPED_TRACE(k);
    const Nginx& server = *servers[k];
    const auto sameRefusal = std::count_if(std::begin(cases), std::end(cases), [&](const auto& c) {
      return c.reason != nullptr && std::string(c.reason) == cases[k].reason && std::string(c.host) == cases[k].host;
    });
    EXPECT_EQ(occurrences(log, "ERROR: tlsConnect, the certificate of " + std::string(cases[k].host) +
                                   " does not check out: " + cases[k].reason + ".\n"),
              2 * sameRefusal);
    EXPECT_NE(log.find("passed over " + urlOf(k, "/v/a.flv") + ": the service's answer was final"),
              std::string::npos);
    // nginx logs a handshake once the proxy's alert has come.
    for (int i = 0; i < 100 && server.failedHandshakes() < 2; ++i) usleep(50000);
    EXPECT_EQ(server.failedHandshakes(), 2) << server.errorLog();
    EXPECT_EQ(server.accessLog(), "");
  }
}

// A box that has not set its clock since it started (in 1971 here, through
// libfaketime; the program's waits go by the real monotonic clock) judges
// certificates as of the program's build: one valid from 2000 to 2099 is
// taken, one that expired in 2001 is still refused; the log says so once.
TEST_F(HttpsTest, ClockNeverSetJudgesCertificatesAsOfTheBuild) {
  if (std::getenv("ZTV_PROXY_EMULATOR") != nullptr || std::getenv("ZTV_PROXY_BINARY") != nullptr) {
    GTEST_SKIP() << "libfaketime sets the clock of a program of this machine, dynamically linked, alone";
  }
  TestCa ca;
  ASSERT_TRUE(ca.ok()) << ca.error();
  const auto valid = ca.issue("IP:127.0.0.1", "20000101000000Z", "20991231235959Z");
  const auto expired = ca.issue("IP:127.0.0.1", "20000101000000Z", "20010101000000Z");
  ASSERT_TRUE(valid && expired) << ca.error();
  Nginx stale(freeLoopbackPort());
  nginx_->enableTls(valid->certFile, valid->keyFile);
  stale.enableTls(expired->certFile, expired->keyFile);
  for (const Nginx* server : {nginx_.get(), &stale}) ASSERT_TRUE(server->putFile("/files/small.txt", "from the box"));
  ASSERT_TRUE(nginx_->start()) << nginx_->error();
  ASSERT_TRUE(stale.start()) << stale.error();
  // Debian's package faketime: the loader finds the library for the
  // program's own CPU through $LIB (a missing one is reported on stderr).
  // The faketime command itself runs the program as a child that a signal
  // to it does not reach. An AddressSanitizer build wants its runtime
  // loaded first, and is told that this one may come before it.
  const char* options = std::getenv("ASAN_OPTIONS");
  const std::string asan = options != nullptr && *options != '\0' ? std::string(options) + ":" : "";
  proxy_ = std::make_unique<Proxy>(
      PROXY_BINARY, std::vector<std::string>{"env", "LD_PRELOAD=/usr/$LIB/faketime/libfaketime.so.1",
                                             "FAKETIME=@1971-06-01 12:00:00", "FAKETIME_DONT_FAKE_MONOTONIC=1",
                                             "ASAN_OPTIONS=" + asan + "verify_asan_link_order=0"});
  ASSERT_TRUE(proxy_->start({"--debug", "--ca-file", ca.certFile()})) << proxy_->diagnostics();

  for (int k = 0; k < 2; ++k) {
    HttpReply reply = httpGet(proxy_->port(), "/x?li=" + nginx_->url("/files/small.txt"), 30s);
    EXPECT_EQ(reply.body(), "from the box") << k;
  }
  HttpReply reply = httpGet(proxy_->port(), "/x?li=" + stale.url("/files/small.txt"), 30s);
  EXPECT_EQ(reply.raw, kAnswer404);
  const auto stopped = proxy_->stop();  // the log complete
  EXPECT_TRUE(stopped && stopped->exited && stopped->code == 0) << describe(stopped);
  const std::string log = proxy_->log();
  EXPECT_EQ(occurrences(log, "WARNING: tlsConnect, the clock stands before the program's build: certificates are "
                             "judged as of the build time until the clock is set.\n"),
            1);
  EXPECT_NE(log.find("ERROR: tlsConnect, the certificate of 127.0.0.1 does not check out: expired.\n"),
            std::string::npos);
}

}  // namespace
