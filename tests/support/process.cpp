#include "support/process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace testsupport {

namespace fs = std::filesystem;

namespace {

std::string tempRoot() {
  const char* dir = std::getenv("TMPDIR");
  return (dir != nullptr && dir[0] != '\0') ? dir : "/tmp";
}

// argv[0] resolved through PATH, done before fork because the child of a
// threaded program should only make async-signal-safe calls.
std::string resolveProgram(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return name;
}

std::vector<char*> pointersTo(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (auto& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

// Runs in the child between fork and exec: only async-signal-safe calls.
// Reports errno through `reportFd` (close-on-exec) when it fails.
[[noreturn]] void execChild(const char* program, char* const* argv, char* const* envp,
                            const char* workingDir, const char* outPath, const char* errPath,
                            pid_t parent, int reportFd) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(127);  // the parent died before prctl
  setpgid(0, 0);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  int in = open("/dev/null", O_RDONLY);
  int out = open(outPath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  int err = open(errPath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  bool ok = in >= 0 && out >= 0 && err >= 0 && dup2(in, 0) == 0 && dup2(out, 1) == 1 &&
            dup2(err, 2) == 2 && (workingDir[0] == '\0' || chdir(workingDir) == 0);
  if (ok) execve(program, argv, envp);
  int code = errno;
  ssize_t written = write(reportFd, &code, sizeof code);
  (void)written;
  _exit(127);
}

}  // namespace

TempDir::TempDir() {
  std::string pattern = tempRoot() + "/ztvtest-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    std::abort();
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

std::string TempDir::file(std::string_view name) const {
  return path_ + "/" + std::string(name);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

bool writeFile(const std::string& path, std::string_view content) {
  std::error_code ignored;
  fs::create_directories(fs::path(path).parent_path(), ignored);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  return static_cast<bool>(out.flush());
}

ChildProcess::ChildProcess()
    : stdoutPath_(outputDir_.file("stdout")), stderrPath_(outputDir_.file("stderr")) {}

ChildProcess::~ChildProcess() { kill(); }

bool ChildProcess::start(const std::vector<std::string>& argv, const SpawnOptions& options) {
  if (pid_ > 0 || argv.empty()) {
    error_ = argv.empty() ? "empty argv" : "already started";
    return false;
  }
  commandLine_.clear();
  for (const auto& arg : argv) commandLine_ += (commandLine_.empty() ? "" : " ") + arg;
  std::string program = resolveProgram(argv[0]);
  std::vector<std::string> args = argv;
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
  env.insert(env.end(), options.env.begin(), options.env.end());
  std::vector<char*> argPointers = pointersTo(args), envPointers = pointersTo(env);

  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) {
    error_ = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  pid_t parent = getpid();
  pid_t child = fork();
  if (child == 0) {
    execChild(program.c_str(), argPointers.data(), envPointers.data(), options.workingDir.c_str(),
              stdoutPath_.c_str(), stderrPath_.c_str(), parent, report[1]);
  }
  int forkErrno = errno;
  close(report[1]);
  if (child < 0) {
    close(report[0]);
    error_ = std::string("fork: ") + std::strerror(forkErrno);
    return false;
  }
  // The pipe closes at exec (nothing read) or carries the errno of a failure.
  int childErrno = 0;
  ssize_t got;
  do {
    got = read(report[0], &childErrno, sizeof childErrno);
  } while (got < 0 && errno == EINTR);
  close(report[0]);
  pid_ = child;
  status_.reset();
  if (got == static_cast<ssize_t>(sizeof childErrno)) {
    reap(true);
    error_ = "cannot start " + program + ": " + std::strerror(childErrno);
    return false;
  }
  return true;
}

bool ChildProcess::reap(bool block) {
  if (pid_ <= 0 || status_) return status_.has_value();
  int raw = 0;
  pid_t got;
  do {
    got = waitpid(pid_, &raw, block ? 0 : WNOHANG);
  } while (got < 0 && errno == EINTR);
  if (got == 0) return false;
  ExitStatus status;
  if (got > 0 && WIFEXITED(raw)) {
    status.exited = true;
    status.code = WEXITSTATUS(raw);
  } else if (got > 0 && WIFSIGNALED(raw)) {
    status.signal = WTERMSIG(raw);
  }
  status_ = status;
  return true;
}

bool ChildProcess::running() { return pid_ > 0 && !reap(false); }

std::optional<ExitStatus> ChildProcess::wait(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return status_;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!reap(false)) {
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(5ms);
  }
  return status_;
}

bool ChildProcess::signal(int sig) { return running() && ::kill(pid_, sig) == 0; }

void ChildProcess::kill() {
  if (!running()) return;
  // The whole group: anything the child started without leaving it goes too.
  ::kill(-pid_, SIGKILL);
  ::kill(pid_, SIGKILL);
  reap(true);
}

std::string ChildProcess::stdoutText() const { return readFile(stdoutPath_); }
std::string ChildProcess::stderrText() const { return readFile(stderrPath_); }

std::optional<ExitStatus> runProgram(const std::vector<std::string>& argv,
                                     std::chrono::milliseconds timeout, std::string* output,
                                     const SpawnOptions& options) {
  ChildProcess child;
  if (!child.start(argv, options)) {
    if (output != nullptr) *output += child.error() + "\n";
    return std::nullopt;
  }
  auto status = child.wait(timeout);
  child.kill();
  if (output != nullptr) *output += child.stdoutText() + child.stderrText();
  return status;
}

uint16_t freeLoopbackPort() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  uint16_t port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}

int listenOnLoopback(int backlog, sockaddr_in* bound) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, backlog) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  if (bound != nullptr) *bound = address;
  return fd;
}

namespace {

bool portAccepts(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return ok;
}

// Checks `done` every 10 ms until it holds (true) or `timeout` has passed (false).
template <typename Predicate>
bool pollUntil(Predicate done, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

}  // namespace

bool waitForPort(uint16_t port, std::chrono::milliseconds timeout) {
  return pollUntil([&] { return portAccepts(port); }, timeout);
}

namespace {

// A line of /proc/net/tcp: "sl local_address rem_address st ...", addresses
// as hex "AABBCCDD:PPPP", state 0A being LISTEN.
bool listening(uint16_t port) {
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);  // the column names
  char wanted[8];
  std::snprintf(wanted, sizeof wanted, ":%04X", port);
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    bool loopbackOrAny = local.rfind("0100007F:", 0) == 0 || local.rfind("00000000:", 0) == 0;
    if (state == "0A" && loopbackOrAny && local.size() >= 5 &&
        local.compare(local.size() - 5, 5, wanted) == 0) {
      return true;
    }
  }
  return false;
}

}  // namespace

bool waitForListener(uint16_t port, std::chrono::milliseconds timeout) {
  return pollUntil([&] { return listening(port); }, timeout);
}

bool waitForFileText(const std::string& path, std::string_view text,
                     std::chrono::milliseconds timeout) {
  return pollUntil([&] { return readFile(path).find(text) != std::string::npos; }, timeout);
}

std::string describe(const std::optional<ExitStatus>& status) {
  if (!status) return "still running";
  if (status->exited) return "exit " + std::to_string(status->code);
  return "signal " + std::to_string(status->signal);
}

}  // namespace testsupport
