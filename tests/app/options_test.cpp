#include "app/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log/log.h"
#include "support/help_text.h"
#include "support/log_capture.h"

namespace {

using testsupport::kHelp;

class OptionsTest : public ::testing::Test {
 protected:
  ParseResult parse(std::vector<std::string> args, StartupSettings* settings) {
    args.insert(args.begin(), "zomaktvproxy");
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    return parseCommandLine(static_cast<int>(args.size()), argv.data(), settings);
  }

  testsupport::LogCapture log_{ERROR};  // the default level; the parser's complaints
};

TEST_F(OptionsTest, HelpEndsParsingAndHonoursEarlierOptionsOnly) {
  struct Case {
    std::vector<std::string> args;
    std::string output;
    int32_t levelAfter;
    bool daemonAfter;
  };
  const Case cases[] = {
      {{"-h"}, kHelp, 1, false},
      {{"-q", "-h"}, "", 0, false},
      {{"-h", "-q"}, kHelp, 1, false},            // -q is never parsed
      {{"-p", "9000", "--help"}, kHelp, 1, false},  // the default port is still shown
      {{"--daemon", "-v", "-h", "-z"}, kHelp, 4, true},
  };
  for (const Case& c : cases) {
    debuglevel = 1;
    log_.clear();
    StartupSettings settings;
    EXPECT_EQ(parse(c.args, &settings), ParseResult::HelpShown);
    EXPECT_EQ(log_.text(), c.output) << c.args[0];
    EXPECT_EQ(debuglevel, c.levelAfter) << c.args[0];
    EXPECT_EQ(settings.daemon, c.daemonAfter) << c.args[0];
  }
}

TEST_F(OptionsTest, StoresArgumentsLastOccurrenceWinning) {
  StartupSettings settings;
  EXPECT_EQ(parse({"-b", "10.0.0.1", "--port", "1", "extra", "-p", "2", "--log=a.log", "-L", "x.pid",
                   "--lock", "y.pid", "-z", "-d", "--bind", "127.0.0.1", "--timeline-host", "tv.test:81",
                   "--players", "3"},
                  &settings),
            ParseResult::Run);
  EXPECT_EQ(settings.bindText, "127.0.0.1");
  EXPECT_EQ(settings.portText, "2");
  EXPECT_EQ(settings.logPath, "a.log");
  EXPECT_EQ(settings.lockPath, "y.pid");
  EXPECT_EQ(settings.timelineHostText, "tv.test:81");
  EXPECT_EQ(settings.playersText, "3");
  EXPECT_TRUE(settings.daemon);
  EXPECT_EQ(debuglevel, 6);
  EXPECT_EQ(log_.text(), "");
}

TEST_F(OptionsTest, DefaultsWithoutOptionsAndParsingCanRepeat) {
  for (int round = 0; round < 2; ++round) {
    StartupSettings settings;
    EXPECT_EQ(parse({"--verbose"}, &settings), ParseResult::Run);
    EXPECT_EQ(settings.lockPath, "/var/run/zomaktvproxy.pid");
    EXPECT_FALSE(settings.logPath.get() || settings.bindText.get() || settings.portText.get() ||
                 settings.timelineHostText.get() || settings.daemon);
    EXPECT_EQ(debuglevel, 4);
  }
}

TEST_F(OptionsTest, PortIsReadAsAtoiAndRangeChecked) {
  struct Case {
    const char* text;
    int port;
    const char* message;  // the range complaint, or "" when none
  };
  const Case cases[] = {
      {"8080", 8080, ""},
      {"8080x", 8080, ""},
      {"  +42", 42, ""},
      {"abc", 0, ""},
      {"0", 0, ""},
      {"65535", 65535, ""},
      {"65536", 8666, "requested port 65536"},
      {"70000", 8666, "requested port 70000"},
      {"-1", 8666, "requested port -1"},
      {"99999999999999999999", 8666, "requested port 2147483647"},  // saturates, no overflow
      {"-99999999999", 8666, "requested port -2147483648"},
  };
  for (const Case& c : cases) {
    log_.clear();
    EXPECT_EQ(checkPort(c.text), c.port) << c.text;
    std::string expected = *c.message == '\0' ? "" : std::string("ERROR: Port out of range (") + c.message + "), ignoring\n";
    EXPECT_EQ(log_.text(), expected) << c.text;
  }
  EXPECT_EQ(checkPort(nullptr), 8666);
}

TEST_F(OptionsTest, BindAddressMustBeDottedIpv4) {
  struct Case {
    const char* text;
    const char* address;
    bool complaint;
  };
  const Case cases[] = {
      {"127.0.0.1", "127.0.0.1", false},
      {"0.0.0.0", "0.0.0.0", false},
      {"255.255.255.255", "0.0.0.0", true},  // the error value of inet_addr
      {"localhost", "0.0.0.0", true},
      {"", "0.0.0.0", true},
  };
  for (const Case& c : cases) {
    log_.clear();
    EXPECT_EQ(std::string(checkBindAddress(c.text)), c.address) << c.text;
    std::string expected = c.complaint ? std::string("ERROR: Invalid binding address (requested address ") + c.text + "), ignoring\n" : "";
    EXPECT_EQ(log_.text(), expected) << c.text;
  }
  EXPECT_EQ(std::string(checkBindAddress(nullptr)), "0.0.0.0");
}

TEST_F(OptionsTest, TimelineHostIsHostWithOptionalPort) {
  const struct {
    const char* text;
    bool taken;
  } cases[] = {
      {"timelines.example.net", true}, {"10.0.0.2:8080", true}, {"a-b.test:65535", true},
      {"", false}, {":80", false}, {"host:", false}, {"host:0", false}, {"host:65536", false},
      {"host:80x", false}, {"host:80:81", false}, {"http://host", true}, {"https://a.test:8443", true},
      {"https://", false}, {"ftp://host", false}, {"https://host/path", false}, {"host/path", false},
      {"ho st", false},
  };
  for (const auto& c : cases) {
    log_.clear();
    EXPECT_STREQ(checkTimelineHost(c.text), c.taken ? c.text : TIMELINE_HOST) << c.text;
    std::string expected = c.taken ? "" : std::string("ERROR: Invalid timeline host (requested host ") + c.text + "), ignoring\n";
    EXPECT_EQ(log_.text(), expected) << c.text;
  }
  EXPECT_STREQ(checkTimelineHost(nullptr), TIMELINE_HOST);
}

TEST_F(OptionsTest, PlayersAreOneToSixteen) {
  const std::pair<const char*, int> cases[] = {{"1", 1}, {"16", 16}, {"07", 7}, {"0", 4},  {"17", 4},
                                               {"", 4},  {"-2", 4}, {"3x", 4}, {"100", 4}, {" 3", 4}};
  for (const auto& [text, players] : cases) {
    log_.clear();
    EXPECT_EQ(checkPlayers(text), players) << text;
    const bool taken = players != 4;
    EXPECT_EQ(log_.text(), taken ? "" : std::string("ERROR: Invalid number of players (requested ") + text + "), ignoring\n")
        << text;
  }
  EXPECT_EQ(checkPlayers(nullptr), 4);
}

}  // namespace
