#include "app/options.h"

#include <arpa/inet.h>
#include <getopt.h>

#include <climits>
#include <cstdlib>

#include "log/log.h"

namespace {

constexpr char kShortOptions[] = "hdzqvb:p:l:L:";
const option kLongOptions[] = {
    {"help", no_argument, nullptr, 'h'},      {"daemon", no_argument, nullptr, 'd'},
    {"debug", no_argument, nullptr, 'z'},     {"quiet", no_argument, nullptr, 'q'},
    {"verbose", no_argument, nullptr, 'v'},   {"bind", required_argument, nullptr, 'b'},
    {"port", required_argument, nullptr, 'p'}, {"log", required_argument, nullptr, 'l'},
    {"lock", required_argument, nullptr, 'L'}, {nullptr, 0, nullptr, 0},
};

// Stores or acts on one option; false when parsing must end (--help).
bool handleOption(int letter, const char* argument, StartupSettings* settings) {
  switch (letter) {
    case 'h': printHelp(kDefaultPort); return false;
    case 'd': settings->daemon = true; break;
    case 'z': debuglevel = 6; break;
    case 'q': debuglevel = 0; break;
    case 'v': debuglevel = 4; break;
    case 'b': settings->bindText = argument; break;
    case 'p': settings->portText = argument; break;
    case 'l': settings->logPath = argument; break;
    case 'L': settings->lockPath = argument; break;
    default: break;  // getopt has already printed its diagnostic
  }
  return true;
}

}  // namespace

ParseResult parseCommandLine(int argc, char** argv, StartupSettings* settings) {
  optind = 0;  // glibc: 0 restarts the scan from scratch, so a second parse works too
  int letter;
  while ((letter = getopt_long(argc, argv, kShortOptions, kLongOptions, nullptr)) != -1) {
    if (!handleOption(letter, optarg, settings)) return ParseResult::HelpShown;
  }
  return ParseResult::Run;
}

void printHelp(int port) {
  LogPrintf("\n");
  LogPrintf("--bind|-b               Streaming ip address (default: %s)\n", kDefaultAddress);
  LogPrintf("--port|-p               Streaming port (default: %d)\n\n", port);
  LogPrintf("--lock|-L               Lock file (default: %s)\n", kDefaultLockPath);
  LogPrintf("--log|-l                Log file\n\n");
  LogPrintf("--daemon|-d             Daemon mode.\n\n");
  LogPrintf("--quiet|-q              Supresses all command output.\n");
  LogPrintf("--verbose|-v            Verbose command output.\n");
  LogPrintf("--debug|-z              Debug level command output.\n\n");
  LogPrintf("--help|-h               Prints this help screen.\n\n");
}

std::string checkBindAddress(const std::optional<std::string>& text) {
  if (!text) return kDefaultAddress;
  if (inet_addr(text->c_str()) == INADDR_NONE) {
    Log(ERROR, "Invalid binding address (requested address %s), ignoring", text->c_str());
    return kDefaultAddress;
  }
  return *text;
}

int checkPort(const std::optional<std::string>& text) {
  if (!text) return kDefaultPort;
  // strtol reads what atoi reads but saturates instead of overflowing.
  long value = std::strtol(text->c_str(), nullptr, 10);
  int port = value > INT_MAX ? INT_MAX : value < INT_MIN ? INT_MIN : static_cast<int>(value);
  if (port < 0 || port > 65535) {
    Log(ERROR, "Port out of range (requested port %d), ignoring", port);
    return kDefaultPort;
  }
  return port;
}
