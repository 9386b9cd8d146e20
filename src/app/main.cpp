// zomaktvproxy: start-up, the wait for a stop signal, shutdown.

#include <stdio.h>

#include "app/daemon.h"
#include "app/instance_lock.h"
#include "app/options.h"
#include "app/signals.h"
#include "log/log.h"
#include "net/tls.h"
#include "server/channel_list.h"
#include "server/http_server.h"
#include "server/tuner.h"
#include "stream/video_select.h"

namespace {

// From project(VERSION) in CMakeLists.txt.
constexpr char kVersion[] = ZTV_VERSION;

// On failure the log simply stays on stderr. Returns the stream to close at the end.
FILE* openLogFile(const StartupSettings& settings) {
  if (settings.logPath.get() == nullptr) return nullptr;
  FILE* file = fopen(settings.logPath.c_str(), "a");
  if (file != nullptr) LogSetOutput(file);
  return file;
}

// Sleeps in one-second steps (taking stop signals) until the server has stopped.
// The first step comes before the first look at the state.
void waitUntilStopped(ServerControl* server) {
  do {
    waitStep();
  } while (server->state.load() != Stopped);
}

}  // namespace

int main(int argc, char** argv) {
  StartupSettings settings;
  switch (parseCommandLine(argc, argv, &settings)) {
    case ParseResult::Run: break;
    case ParseResult::HelpShown: return 0;
    case ParseResult::OutOfMemory: return 1;
  }
  if (settings.daemon) startDaemonize(settings.lockPath.c_str());
  FILE* logFile = openLogFile(settings);

  LogPrintf("Zomak TV Proxy Server for Pendrake v%s (independent build, no warranty)\n\n", kVersion);
  const char* address = checkBindAddress(settings.bindText.get());
  int port = checkPort(settings.portText.get());
  const int players = checkPlayers(settings.playersText.get());
  timelineHost = checkTimelineHost(settings.timelineHostText.get());  // before any stream thread exists
  if (!checkCaFile(settings.caFilePath.get())) return 1;
  tls_setTrustFile(settings.caFilePath.get());  // kept until the end of main
  if (!channelListStart(settings.channelsPath.get())) return 1;
  if (!tunerStart(settings.deviceIdText.get(), address, port)) return 1;
  (void)takeInstanceLock(settings.lockPath.c_str());  // the descriptor stays open until exit
  setupSignals();

  LogPrintf("Startin Server (address: %s, port: %d)...\n", address, port);
  httpServer = startHttpServer(address, port, players);
  if (httpServer == nullptr) {
    Log(ERROR, "Failed to start HTTP server, exiting!");
    return -1;
  }
  waitUntilStopped(httpServer);

  // Stopped means every thread of the server has ended (the stop waits for them),
  // so nothing else writes to the log any more when it is closed here.
  Log(DEBUG, "Done, exiting...");
  if (logFile != nullptr) {
    LogSetOutput(nullptr);
    fclose(logFile);
  }
  return 0;
}
