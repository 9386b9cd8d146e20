#ifndef ZTV_APP_OPTIONS_H
#define ZTV_APP_OPTIONS_H

// The command line: parseCommandLine stores what the options ask for (and
// prints the help for --help), then checkBindAddress and checkPort turn the
// stored texts into the address and port the server listens on.

#include <optional>
#include <string>

inline constexpr char kDefaultLockPath[] = "/var/run/zomaktvproxy.pid";
inline constexpr char kDefaultAddress[] = "0.0.0.0";
inline constexpr int kDefaultPort = 8666;

// What the options asked for; the last of repeated options wins.
struct StartupSettings {
  std::string lockPath = kDefaultLockPath;  // --lock
  std::optional<std::string> logPath;       // --log; none: log on stderr
  std::optional<std::string> bindText;      // --bind as given, not yet checked
  std::optional<std::string> portText;      // --port as given, not yet converted
  bool daemon = false;                      // --daemon
};

enum class ParseResult { Run, HelpShown };

// Handles the options in command-line order: --help prints the help and ends
// parsing (HelpShown), the verbosity options set debuglevel at once, the rest
// are stored in `settings`. Unknown options and other arguments are ignored.
ParseResult parseCommandLine(int argc, char** argv, StartupSettings* settings);

// The help text, through LogPrintf, with `port` as the default port.
void printHelp(int port);

// `text` when inet_addr accepts it, otherwise "0.0.0.0" (logged). No text: "0.0.0.0".
std::string checkBindAddress(const std::optional<std::string>& text);

// The port `text` names, read as atoi reads it (0 without digits) but clamped
// to the int range; 8666 (logged) when outside 0..65535. No text: 8666.
int checkPort(const std::optional<std::string>& text);

#endif  // ZTV_APP_OPTIONS_H
