#include "app/signals.h"

#include <pthread.h>

#include <signal.h>
#include <time.h>

#include "log/log.h"

ServerControl* httpServer = nullptr;

namespace {

sigset_t stopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

void sigHandler(int signum) {
  LogPrintf("Caught signal: %d, cleaning up, just a second...\n", signum);
  if (httpServer != nullptr) stopHttpServer(httpServer);
}

void setupSignals() {
  signal(SIGHUP, SIG_IGN);
  signal(SIGABRT, SIG_IGN);
  signal(SIGPIPE, SIG_IGN);
  signal(SIGTSTP, SIG_IGN);
  // An ignore inherited from the starting shell must not swallow the stop.
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  sigset_t set = stopSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void ignoreDaemonSignals() {
  signal(SIGCHLD, SIG_IGN);
  signal(SIGTTOU, SIG_IGN);
  signal(SIGTTIN, SIG_IGN);
}

void waitStep() {
  sigset_t set = stopSignals();
  timespec oneSecond{1, 0};
  int signum = sigtimedwait(&set, nullptr, &oneSecond);
  if (signum > 0) sigHandler(signum);
}
