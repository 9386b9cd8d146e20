#ifndef ZTV_TESTS_SUPPORT_PROCESS_H
#define ZTV_TESTS_SUPPORT_PROCESS_H

// Child processes, loopback ports and scratch directories for tests that run
// real programs. Start a ChildProcess, talk to it, wait for its exit or
// signal it; whatever happens in the test, its destructor kills and reaps the
// child, and a child whose test binary dies is killed by the kernel.

#include <netinet/in.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

using namespace std::chrono_literals;

// A directory under $TMPDIR (or /tmp) that is removed with all its content
// when the object goes away.
class TempDir {
 public:
  TempDir();  // aborts the test binary when no directory can be made
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // `path()/name`; `name` may contain subdirectories.
  std::string file(std::string_view name) const;

 private:
  std::string path_;
};

// Whole-file helpers; readFile gives "" for a missing file.
std::string readFile(const std::string& path);
bool writeFile(const std::string& path, std::string_view content);  // creates parent dirs

// How a child ended.
struct ExitStatus {
  bool exited = false;  // ended through exit(); `code` is meaningful
  int code = -1;        // exit status (0-255) when exited
  int signal = 0;       // the terminating signal when killed by one, else 0
};

struct SpawnOptions {
  std::string workingDir;        // empty: the test's own working directory
  std::vector<std::string> env;  // extra "NAME=value" entries on top of ours
};

// One child started from an argv. stdout and stderr go to files in a private
// scratch directory (stdin is /dev/null). Start it from the thread that will
// also end it: the kernel's parent-death signal is tied to that thread.
class ChildProcess {
 public:
  ChildProcess();
  ~ChildProcess();  // kill() when still running
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts argv[0] (looked up in PATH when it has no '/'). False when the
  // program could not be started; error() says why.
  bool start(const std::vector<std::string>& argv, const SpawnOptions& options = {});

  pid_t pid() const { return pid_; }
  bool running();
  // The exit, or nothing when the child still runs after `timeout`.
  std::optional<ExitStatus> wait(std::chrono::milliseconds timeout);
  bool signal(int sig);  // false when there is no running child
  // SIGKILL and reap; a no-op when the child has already ended.
  void kill();

  std::string stdoutText() const;
  std::string stderrText() const;
  const std::string& stdoutPath() const { return stdoutPath_; }
  const std::string& stderrPath() const { return stderrPath_; }
  const std::string& error() const { return error_; }
  // The argv as one line, for failure messages.
  const std::string& commandLine() const { return commandLine_; }

 private:
  bool reap(bool block);

  TempDir outputDir_;
  std::string stdoutPath_, stderrPath_, error_, commandLine_;
  pid_t pid_ = -1;
  std::optional<ExitStatus> status_;
};

// Runs a program to its end (killing it after `timeout`) and returns its exit
// status, nothing when it could not be started or timed out. Output is
// appended to `output` (stdout, then stderr) when given.
std::optional<ExitStatus> runProgram(const std::vector<std::string>& argv,
                                     std::chrono::milliseconds timeout,
                                     std::string* output = nullptr,
                                     const SpawnOptions& options = {});

// A loopback TCP port that was free a moment ago (bound to 127.0.0.1:0 and
// closed again); 0 when none could be had.
uint16_t freeLoopbackPort();

// A TCP socket listening on 127.0.0.1 at a port of the system's choice,
// with `backlog`; its address in `*bound` (when given); -1 on failure.
int listenOnLoopback(int backlog, sockaddr_in* bound = nullptr);

// True once 127.0.0.1:`port` accepts a TCP connection, false after `timeout`.
// The probe is a real connection: do not use it on the proxy, which serves
// one connection at a time and would hold the probe for its request wait.
bool waitForPort(uint16_t port, std::chrono::milliseconds timeout);

// True once a socket listens on 127.0.0.1:`port` (or any address), read from
// /proc/net/tcp without connecting; false after `timeout`.
bool waitForListener(uint16_t port, std::chrono::milliseconds timeout);

// True once the file at `path` contains `text`, false after `timeout`.
bool waitForFileText(const std::string& path, std::string_view text,
                     std::chrono::milliseconds timeout);

// Describes an exit for messages: "exit 0", "signal 9", "still running".
std::string describe(const std::optional<ExitStatus>& status);

}  // namespace testsupport

#endif  // ZTV_TESTS_SUPPORT_PROCESS_H
