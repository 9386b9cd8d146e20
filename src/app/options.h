#ifndef ZTV_APP_OPTIONS_H
#define ZTV_APP_OPTIONS_H

// The command line: parseCommandLine stores what the options ask for (and
// prints the help for --help), then checkBindAddress and checkPort turn the
// stored texts into the address and port the server listens on.

#include "base/heap_text.h"

inline constexpr char kDefaultLockPath[] = "/var/run/zomaktvproxy.pid";
inline constexpr char kDefaultAddress[] = "0.0.0.0";
inline constexpr int kDefaultPort = 8666;

// What the options asked for; the last of repeated options wins.
// The texts are owned; one that is not held (get() null) was not given.
struct StartupSettings {
  HeapText lockPath;     // --lock; parseCommandLine sets kDefaultLockPath when none is given
  HeapText logPath;      // --log; none: log on stderr
  HeapText bindText;     // --bind as given, not yet checked
  HeapText portText;     // --port as given, not yet converted
  HeapText timelineHostText;  // --timeline-host as given, not yet checked
  HeapText playersText;  // --players as given, not yet converted
  HeapText caFilePath;   // --ca-file: the trusted certificates for https; none: the system's
  HeapText channelsPath; // --channels: the channel list's file; none: an empty list
  HeapText deviceIdText; // --device-id as given, not yet checked; none: derived
  bool daemon = false;   // --daemon
};

enum class ParseResult { Run, HelpShown, OutOfMemory };

// Handles the options in command-line order: --help prints the help and ends
// parsing (HelpShown), the verbosity options set debuglevel at once, the rest
// are stored in `settings`. Unknown options and other arguments are ignored.
// OutOfMemory (logged) when an option's text cannot be kept.
ParseResult parseCommandLine(int argc, char** argv, StartupSettings* settings);

// The help text, through LogPrintf, with `port` as the default port.
void printHelp(int port);

// Whether `path` (--ca-file; null when not given) can be used: null, or a
// file that can be read and holds at least one PEM certificate. A false
// answer is logged.
bool checkCaFile(const char* path);

// `text` when inet_addr accepts it, otherwise "0.0.0.0" (logged). Null: "0.0.0.0".
const char* checkBindAddress(const char* text);

// `text` when it is a host name or IPv4 address with an optional ":port"
// (1..65535), either alone or behind "http://" or "https://", otherwise the
// build-time timeline host (logged). Null: that default.
const char* checkTimelineHost(const char* text);

// The number of players `text` names (decimal digits, 1..kMaxPlayers),
// otherwise kDefaultPlayers (logged). Null: kDefaultPlayers.
int checkPlayers(const char* text);

// The port `text` names, read as atoi reads it (0 without digits) but clamped
// to the int range; 8666 (logged) when outside 0..65535. Null: 8666.
int checkPort(const char* text);

#endif  // ZTV_APP_OPTIONS_H
