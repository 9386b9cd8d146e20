#include "app/options.h"

#include <arpa/inet.h>
#include <getopt.h>

#include <ctype.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include "log/log.h"
#include "net/tls.h"
#include "server/http_server.h"

namespace {

// --timeline-host and --players have no short form: their getopt values lie
// beyond the letters.
constexpr int kTimelineHostOption = 256;
constexpr int kPlayersOption = 257;
constexpr int kCaFileOption = 258;
constexpr int kChannelsOption = 259;
constexpr int kDeviceIdOption = 260;
// A DNS name is at most 253 characters; ":65535" follows.
constexpr size_t kMaxHostLength = 253;

constexpr char kShortOptions[] = "hdzqvb:p:l:L:";
const option kLongOptions[] = {
    {"help", no_argument, nullptr, 'h'},      {"daemon", no_argument, nullptr, 'd'},
    {"debug", no_argument, nullptr, 'z'},     {"quiet", no_argument, nullptr, 'q'},
    {"verbose", no_argument, nullptr, 'v'},   {"bind", required_argument, nullptr, 'b'},
    {"port", required_argument, nullptr, 'p'}, {"log", required_argument, nullptr, 'l'},
    {"lock", required_argument, nullptr, 'L'}, {"timeline-host", required_argument, nullptr, kTimelineHostOption},
    {"players", required_argument, nullptr, kPlayersOption}, {"ca-file", required_argument, nullptr, kCaFileOption},
    {"channels", required_argument, nullptr, kChannelsOption}, {"device-id", required_argument, nullptr, kDeviceIdOption},
    {nullptr, 0, nullptr, 0},
};

// The setting an option with an argument stores into, or null.
HeapText* textOption(int letter, StartupSettings* settings) {
  switch (letter) {
    case 'b': return &settings->bindText;
    case 'p': return &settings->portText;
    case 'l': return &settings->logPath;
    case 'L': return &settings->lockPath;
    case kTimelineHostOption: return &settings->timelineHostText;
    case kPlayersOption: return &settings->playersText;
    case kCaFileOption: return &settings->caFilePath;
    case kChannelsOption: return &settings->channelsPath;
    case kDeviceIdOption: return &settings->deviceIdText;
    default: return nullptr;
  }
}

// Stores or acts on one option; Run unless parsing must end.
ParseResult handleOption(int letter, const char* argument, StartupSettings* settings) {
  if (HeapText* text = textOption(letter, settings)) {
    return copyText(text, argument) ? ParseResult::Run : ParseResult::OutOfMemory;
  }
  switch (letter) {
    case 'h': printHelp(kDefaultPort); return ParseResult::HelpShown;
    case 'd': settings->daemon = true; break;
    case 'z': debuglevel = 6; break;
    case 'q': debuglevel = 0; break;
    case 'v': debuglevel = 4; break;
    default: break;  // getopt has already printed its diagnostic
  }
  return ParseResult::Run;
}

// Scans the options; Run, HelpShown or OutOfMemory as parseCommandLine.
ParseResult scanOptions(int argc, char** argv, StartupSettings* settings) {
  if (settings->lockPath.get() == nullptr && !copyText(&settings->lockPath, kDefaultLockPath)) {
    return ParseResult::OutOfMemory;
  }
  optind = 0;  // glibc: 0 restarts the scan from scratch, so a second parse works too
  int letter;
  while ((letter = getopt_long(argc, argv, kShortOptions, kLongOptions, nullptr)) != -1) {
    const ParseResult result = handleOption(letter, optarg, settings);
    if (result != ParseResult::Run) return result;
  }
  return ParseResult::Run;
}

}  // namespace

ParseResult parseCommandLine(int argc, char** argv, StartupSettings* settings) {
  const ParseResult result = scanOptions(argc, argv, settings);
  if (result == ParseResult::OutOfMemory) Log(ERROR, "Couldn't allocate memory for the options, exiting!");
  return result;
}

void printHelp(int port) {
  LogPrintf("\n");
  LogPrintf("--bind|-b               Streaming ip address (default: %s)\n", kDefaultAddress);
  LogPrintf("--port|-p               Streaming port (default: %d)\n\n", port);
  LogPrintf("--timeline-host         Timeline host, host or host:port (default: %s)\n", TIMELINE_HOST);
  LogPrintf("--players               Players served at once, 1 to %d (default: %d)\n", kMaxPlayers,
            kDefaultPlayers);
  LogPrintf("--ca-file               Trusted certificates for https, a PEM file (default: the system's)\n\n");
  LogPrintf("--channels              Channel list, a file of lines \"ID NAME\" (default: none)\n");
  LogPrintf("--device-id             Tuner id for media servers, 8 hex digits (default: derived)\n\n");
  LogPrintf("--lock|-L               Lock file (default: %s)\n", kDefaultLockPath);
  LogPrintf("--log|-l                Log file\n\n");
  LogPrintf("--daemon|-d             Daemon mode.\n\n");
  LogPrintf("--quiet|-q              Supresses all command output.\n");
  LogPrintf("--verbose|-v            Verbose command output.\n");
  LogPrintf("--debug|-z              Debug level command output.\n\n");
  LogPrintf("--help|-h               Prints this help screen.\n\n");
}

bool checkCaFile(const char* path) {
  if (path == nullptr) return true;
  const char* fault = tls_trustFileFault(path);
  if (fault == nullptr) return true;
  Log(ERROR, "Cannot read the certificate file %s (%s), exiting!", path, fault);
  return false;
}

const char* checkBindAddress(const char* text) {
  if (text == nullptr) return kDefaultAddress;
  if (inet_addr(text) == INADDR_NONE) {
    Log(ERROR, "Invalid binding address (requested address %s), ignoring", text);
    return kDefaultAddress;
  }
  return text;
}

namespace {

// Letters, digits, dots and hyphens: what a host name or a dotted address holds.
bool isHostName(const char* text, size_t length) {
  if (length == 0 || length > kMaxHostLength) return false;
  for (size_t i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (!isalnum(c) && c != '.' && c != '-') return false;
  }
  return true;
}

// 1..65535 in decimal digits alone.
bool isPortNumber(const char* text) {
  if (*text == '\0' || strlen(text) > 5) return false;
  for (const char* c = text; *c != '\0'; ++c) {
    if (!isdigit(static_cast<unsigned char>(*c))) return false;
  }
  const long port = strtol(text, nullptr, 10);
  return port >= 1 && port <= 65535;
}

}  // namespace

const char* checkTimelineHost(const char* text) {
  if (text == nullptr) return TIMELINE_HOST;
  const char* host = text;
  if (strncmp(host, "https://", 8) == 0) host += 8;
  else if (strncmp(host, "http://", 7) == 0) host += 7;
  const char* colon = strchr(host, ':');
  const size_t hostLength = colon != nullptr ? static_cast<size_t>(colon - host) : strlen(host);
  if (isHostName(host, hostLength) && (colon == nullptr || isPortNumber(colon + 1))) return text;
  Log(ERROR, "Invalid timeline host (requested host %s), ignoring", text);
  return TIMELINE_HOST;
}

int checkPlayers(const char* text) {
  if (text == nullptr) return kDefaultPlayers;
  const size_t length = strlen(text);
  const long players = length > 0 && length <= 2 && strspn(text, "0123456789") == length ? strtol(text, nullptr, 10) : 0;
  if (players < 1 || players > kMaxPlayers) {
    Log(ERROR, "Invalid number of players (requested %s), ignoring", text);
    return kDefaultPlayers;
  }
  return static_cast<int>(players);
}

int checkPort(const char* text) {
  if (text == nullptr) return kDefaultPort;
  // strtol reads what atoi reads but saturates instead of overflowing.
  long value = strtol(text, nullptr, 10);
  int port = value > INT_MAX ? INT_MAX : value < INT_MIN ? INT_MIN : static_cast<int>(value);
  if (port < 0 || port > 65535) {
    Log(ERROR, "Port out of range (requested port %d), ignoring", port);
    return kDefaultPort;
  }
  return port;
}
