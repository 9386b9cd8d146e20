#ifndef ZTV_TESTS_SUPPORT_PROXY_H
#define ZTV_TESTS_SUPPORT_PROXY_H

// The zomaktvproxy program under test, run in the foreground on 127.0.0.1
// with a fresh port, a throw-away lock file and its log in a file (at debug
// level by default), so that a failing test can show what the proxy saw.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/process.h"

namespace testsupport {

class Proxy {
 public:
  // `wrapper`: a command that runs the program in its own process, given
  // before it ("env", "NAME=value", say).
  explicit Proxy(std::string binary, std::vector<std::string> wrapper = {});
  ~Proxy();  // the child is killed and reaped when still running

  // Starts the program (through programCommand()) with `options` added after
  // --bind/--port/--lock/--log and waits until it listens. False when it
  // does not (see diagnostics()).
  bool start(const std::vector<std::string>& options = {"--debug"});

  // SIGTERM and wait (30 s at most, for an emulated program): the exit, or nothing when it hangs
  // (it is killed then). Also what a sanitizer build needs to report leaks.
  std::optional<ExitStatus> stop();

  uint16_t port() const { return port_; }
  ChildProcess& process() { return process_; }
  std::string log() const;  // the log file's content
  // Whether the log holds `text`, waiting for it up to `limit`: what the
  // proxy logs after an event a test caused may come a moment later.
  bool logShows(const std::string& text, std::chrono::milliseconds limit = std::chrono::seconds(10)) const;
  const std::string& logPath() const { return logPath_; }
  // Exit status, log and stderr, for assertion messages.
  std::string diagnostics();

 private:
  std::string binary_;
  std::vector<std::string> wrapper_;
  TempDir dir_;
  std::string logPath_;
  uint16_t port_ = 0;
  ChildProcess process_;
};

// The command line that starts the program under test: `built` (the program
// of this build), or the binary that ZTV_PROXY_BINARY names, behind the
// emulator command in ZTV_PROXY_EMULATOR (split at blanks, for example
// "qemu-arm -L /usr/arm-linux-gnueabihf") when that is set. This is how the
// suites run a release binary for another CPU.
std::vector<std::string> programCommand(const std::string& built);

}  // namespace testsupport

#endif  // ZTV_TESTS_SUPPORT_PROXY_H
