#ifndef ZTV_TESTS_E2E_E2E_FIXTURE_H
#define ZTV_TESTS_E2E_E2E_FIXTURE_H

// What an end-to-end suite shares: its sample media, named by the suite's
// recipes() and made once per suite, served by an nginx on a fresh port of
// its own at /v/NAME.flv (over TLS when the test enables it), which the
// proxy takes for its timeline host (so that tests run side by side); the
// proxy started on demand and stopped cleanly after each test; its log and
// nginx's on failure.

#include <gtest/gtest.h>

#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/media.h"
#include "support/nginx.h"
#include "support/proxy.h"
#include "support/sample_set.h"
#include "support/stream_check.h"
#include "support/timeline_doc.h"

namespace testsupport {

// Suite names the suite class, which has a static recipes() giving the
// samples by name.
template <class Suite>
class E2eTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    samples_ = makeSamples(Suite::recipes(), mediaCacheDir(BINARY_DIR "/test-media"), &sampleError_);
  }

  void SetUp() override {
    ASSERT_EQ(samples_.size(), Suite::recipes().size()) << "sample media could not be made: " << sampleError_;
    nginx_ = std::make_unique<Nginx>(freeLoopbackPort());
    for (const auto& [name, sample] : samples_) {
      ASSERT_TRUE(nginx_->copyFile("/v/" + name + ".flv", sample.path));
    }
  }

  void TearDown() override {
    if (proxy_ && proxy_->process().running()) {
      // Every scenario ends with a clean stop, and a sanitizer build of the
      // proxy gets to report what it found.
      auto status = proxy_->stop();
      EXPECT_TRUE(status && status->exited && status->code == 0) << describe(status);
    }
    if (proxy_) {
      EXPECT_EQ(proxy_->process().stderrText().find("Sanitizer"), std::string::npos);
    }
    if (HasFailure() && proxy_) std::cerr << proxy_->diagnostics() << "\n";
    if (HasFailure() && nginx_) std::cerr << "--- nginx ---\n" << nginx_->accessLog() << "\n";
  }

  // Starts nginx, then the proxy (with `options` besides its own); a fatal
  // failure when either does not start.
  void startService(const std::vector<std::string>& options = {}) {
    ASSERT_TRUE(nginx_->start()) << nginx_->error();
    proxy_ = std::make_unique<Proxy>(PROXY_BINARY);
    // Plain: "127.0.0.1:PORT", as the default host is written; with TLS its scheme too.
    const std::string origin = nginx_->url("");
    const std::string host = origin.rfind("http://", 0) == 0 ? origin.substr(7) : origin;
    std::vector<std::string> all = {"--debug", "--timeline-host", host};
    all.insert(all.end(), options.begin(), options.end());
    ASSERT_TRUE(proxy_->start(all)) << proxy_->diagnostics();
  }

  std::string videoUrl(const std::string& name) { return nginx_->url("/v/" + name + ".flv"); }

  // The timeline of `channel`: each item's source among decoys the proxy must not take.
  bool putChannel(int channel, const std::vector<TimelineItem>& items, int offset = 0) {
    return nginx_->putTimeline(channel, timelineDocument(items, offset, Decoys::Around));
  }

  // The samples `names` played whole, one after another.
  std::vector<Played> plays(const std::vector<std::string>& names) {
    std::vector<Played> result;
    for (const auto& name : names) result.push_back({&samples_.at(name).flv, 0, 0});
    return result;
  }

  static inline std::map<std::string, Sample> samples_;  // every test may put these into its channel, by name
  static inline std::string sampleError_;
  std::unique_ptr<Nginx> nginx_;
  std::unique_ptr<Proxy> proxy_;
};

}  // namespace testsupport

#endif  // ZTV_TESTS_E2E_E2E_FIXTURE_H
