#ifndef ZTV_TESTS_SUPPORT_LOG_CAPTURE_H
#define ZTV_TESTS_SUPPORT_LOG_CAPTURE_H

// Sends the log to a temporary file at `level` while the capture lives and
// restores the output and the level afterwards; text() is everything
// written so far. Hold one as a fixture member to cover SetUp and TearDown.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include <unistd.h>

#include "log/log.h"

namespace testsupport {

class LogCapture {
 public:
  explicit LogCapture(int32_t level = DEBUG) : savedLevel_(debuglevel), out_(std::tmpfile()) {
    if (out_ == nullptr) ADD_FAILURE() << "no temporary file for the log";
    debuglevel = level;
    savedOutput_ = fmsg;  // LogSetOutput returns the new stream, not the one before
    LogSetOutput(out_);
  }
  ~LogCapture() {
    LogSetOutput(savedOutput_);
    if (out_ != nullptr) std::fclose(out_);
    debuglevel = savedLevel_;
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::string text() {
    if (out_ == nullptr) return "";
    std::fflush(out_);
    std::string all;
    char chunk[4096];
    for (off_t at = 0;;) {
      ssize_t got = pread(fileno(out_), chunk, sizeof chunk, at);
      if (got <= 0) break;
      all.append(chunk, static_cast<size_t>(got));
      at += got;
    }
    return all;
  }
  bool contains(const std::string& needle) { return text().find(needle) != std::string::npos; }

  // Forgets what was written, for tests that check several steps in turn.
  void clear() {
    if (out_ == nullptr) return;
    std::fflush(out_);
    std::rewind(out_);
    if (ftruncate(fileno(out_), 0) != 0) ADD_FAILURE() << "the log file could not be emptied";
  }

 private:
  int32_t savedLevel_;
  FILE* out_;
  FILE* savedOutput_ = nullptr;
};

}  // namespace testsupport

#endif  // ZTV_TESTS_SUPPORT_LOG_CAPTURE_H
