#ifndef ZTV_APP_SIGNALS_H
#define ZTV_APP_SIGNALS_H

// Signals and the wait for the end. SIGINT and SIGTERM are blocked in every
// thread and taken synchronously by the main thread in its one-second wait
// step, so the stop (which may wait for the connection thread) always runs
// on the main thread and in normal context, never inside a handler.

#include "server/http_server.h"

// The running server; set once by main before the wait loop, read by sigHandler.
extern ServerControl* httpServer;

// Prints the caught-signal line and stops the server when there is one.
void sigHandler(int signum);

// Ignores SIGHUP, SIGABRT, SIGPIPE and SIGTSTP, and blocks SIGINT and SIGTERM
// in the calling thread; call it before any other thread exists, so that
// every thread inherits the block.
void setupSignals();

// Ignores the signals a daemon has no use for: SIGCHLD, SIGTTOU, SIGTTIN.
void ignoreDaemonSignals();

// Waits up to one second for SIGINT or SIGTERM and hands a caught one to sigHandler.
void waitStep();

#endif  // ZTV_APP_SIGNALS_H
