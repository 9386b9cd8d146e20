#include "log/log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include <unistd.h>

namespace {

// Captures the log output in a temporary file and restores the globals.
class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedLevel_ = debuglevel;
    out_ = std::tmpfile();
    ASSERT_NE(out_, nullptr);
    LogSetOutput(out_);
  }
  void TearDown() override {
    LogSetOutput(nullptr);
    std::fclose(out_);
    debuglevel = savedLevel_;
  }
  // Everything written so far; `flush` first when the test does not check buffering.
  std::string written(bool flush = true) {
    if (flush) std::fflush(out_);
    long end = std::ftell(out_);
    std::string text(static_cast<size_t>(end < 0 ? 0 : end), '\0');
    int fd = fileno(out_);
    ssize_t got = pread(fd, text.data(), text.size(), 0);
    text.resize(got < 0 ? 0 : static_cast<size_t>(got));
    return text;
  }

  FILE* out_ = nullptr;
  int32_t savedLevel_ = 1;
};

TEST_F(LogTest, LevelFilterFollowsDebuglevel) {
  struct Case {
    int32_t debuglevel;
    LogLevel level;
    bool written;
  };
  const Case cases[] = {
      {1, ERROR, true},  {1, DEBUG, false}, {0, ERROR, false}, {0, CRIT, true},
      {4, DEBUG, true},  {4, DEBUG2, false}, {6, DEBUG2, true},
  };
  for (const Case& c : cases) {
    debuglevel = c.debuglevel;
    long before = std::ftell(out_);
    Log(c.level, "x%d", 1);
    std::fflush(out_);
    EXPECT_EQ(std::ftell(out_) > before, c.written) << "debuglevel " << c.debuglevel << " level " << c.level;
  }
}

// Each line is in the file as soon as it is written (an operator tailing
// the log sees a failure when it happens), whatever its level.
TEST_F(LogTest, LineHasLevelNameAndNewlineAndIsFlushedAtOnce) {
  debuglevel = 4;
  Log(ERROR, "%s, listen failed", "startHttpServer");
  EXPECT_EQ(written(false), "ERROR: startHttpServer, listen failed\n");
  Log(WARNING, "late");
  Log(DEBUG, "progress");
  EXPECT_EQ(written(false), "ERROR: startHttpServer, listen failed\nWARNING: late\nDEBUG: progress\n");
}

TEST_F(LogTest, NoNameFilterAppliesBelowDebugOnly) {
  debuglevel = 1;
  Log(ERROR, "host %s", "no-name.example");
  LogPrintf("plain no-name text\n");
  EXPECT_EQ(written(), "plain no-name text\n");
  debuglevel = 6;
  Log(ERROR, "host %s", "no-name.example");
  EXPECT_EQ(written(), "plain no-name text\nERROR: host no-name.example\n");
}

TEST_F(LogTest, LongTextIsCutAt2046Characters) {
  debuglevel = 1;
  std::string longText(3000, 'a');
  Log(ERROR, "%s", longText.c_str());
  EXPECT_EQ(written(), "ERROR: " + std::string(2046, 'a') + "\n");
}

TEST_F(LogTest, PrintfFlushesOnlyCompleteLines) {
  debuglevel = 1;
  LogPrintf("partial");
  EXPECT_EQ(written(false), "");
  LogPrintf(" line\n");
  EXPECT_EQ(written(false), "partial line\n");

  std::string longLine(3000, 'b');
  LogPrintf("%s\n", longLine.c_str());
  EXPECT_EQ(written(true).size(), std::string("partial line\n").size() + 2046);
}

TEST_F(LogTest, QuietWritesNoPlainText) {
  debuglevel = 0;
  LogPrintf("banner\n");
  Log(ERROR, "failure");
  EXPECT_EQ(written(), "");
}

}  // namespace
