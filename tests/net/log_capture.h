#ifndef ZTV_TESTS_NET_LOG_CAPTURE_H
#define ZTV_TESTS_NET_LOG_CAPTURE_H

// Sends the log to a temporary file at DEBUG for one test and restores the
// globals afterwards; text() is everything written so far.

#include <cstdio>
#include <string>

#include <unistd.h>

#include "log/log.h"

class LogCapture {
 public:
  LogCapture() : savedLevel_(debuglevel), out_(std::tmpfile()) {
    debuglevel = DEBUG;
    LogSetOutput(out_);
  }
  ~LogCapture() {
    LogSetOutput(nullptr);
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
    for (off_t at = 0;; ) {
      ssize_t got = pread(fileno(out_), chunk, sizeof chunk, at);
      if (got <= 0) break;
      all.append(chunk, static_cast<size_t>(got));
      at += got;
    }
    return all;
  }
  bool contains(const std::string& needle) { return text().find(needle) != std::string::npos; }

 private:
  int32_t savedLevel_;
  FILE* out_;
};

#endif  // ZTV_TESTS_NET_LOG_CAPTURE_H
