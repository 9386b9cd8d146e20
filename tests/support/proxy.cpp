#include "support/proxy.h"

#include <csignal>
#include <cstdlib>
#include <sstream>
#include <thread>

namespace testsupport {

Proxy::Proxy(std::string binary, std::vector<std::string> wrapper)
    : binary_(std::move(binary)), wrapper_(std::move(wrapper)), logPath_(dir_.file("proxy.log")) {}

Proxy::~Proxy() { process_.kill(); }

bool Proxy::start(const std::vector<std::string>& options) {
  port_ = freeLoopbackPort();
  std::vector<std::string> argv = wrapper_;
  for (const std::string& word : programCommand(binary_)) argv.push_back(word);
  argv.insert(argv.end(), {"--bind", "127.0.0.1", "--port", std::to_string(port_), "--lock",
                           dir_.file("proxy.pid"), "--log", logPath_});
  argv.insert(argv.end(), options.begin(), options.end());
  if (port_ == 0 || !process_.start(argv)) return false;
  // Watched without connecting: the proxy serves one connection at a time
  // and would hold a probe connection for its whole request wait.
  auto deadline = std::chrono::steady_clock::now() + 30s;
  while (std::chrono::steady_clock::now() < deadline) {
    if (waitForListener(port_, 100ms)) return true;
    if (!process_.running()) return false;
  }
  return false;
}

std::optional<ExitStatus> Proxy::stop() {
  if (process_.running()) process_.signal(SIGTERM);
  auto status = process_.wait(30s);
  process_.kill();
  return status;
}

std::string Proxy::log() const { return readFile(logPath_); }

bool Proxy::logShows(const std::string& text, std::chrono::milliseconds limit) const {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (log().find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

std::string Proxy::diagnostics() {
  constexpr size_t kTail = 16384;  // a debug log of a long stream is mostly noise
  std::string text = log();
  if (text.size() > kTail) text = "[...]\n" + text.substr(text.size() - kTail);
  return "proxy " + process_.commandLine() + " (" + describe(process_.wait(0ms)) +
         ")\n--- log ---\n" + text + "\n--- stderr ---\n" + process_.stderrText();
}

std::vector<std::string> programCommand(const std::string& built) {
  std::vector<std::string> command;
  if (const char* emulator = std::getenv("ZTV_PROXY_EMULATOR")) {
    std::istringstream words(emulator);
    for (std::string word; words >> word;) command.push_back(word);
  }
  const char* binary = std::getenv("ZTV_PROXY_BINARY");
  command.push_back(binary != nullptr && *binary != '\0' ? binary : built);
  return command;
}

}  // namespace testsupport
