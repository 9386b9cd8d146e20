#ifndef ZTV_APP_DAEMON_H
#define ZTV_APP_DAEMON_H

// Daemon mode: detach from the parent and the terminal before anything is
// opened or printed. Call it while the process has a single thread.

// Forks (the parent ends with status 0, a failed fork ends with status 1),
// starts a new session, puts descriptors 0 to 2 on /dev/null and closes all
// others, sets the mask 027 and the working directory /tmp, takes the
// instance lock on `lockPath` (ending the process as takeInstanceLock does)
// and ignores SIGCHLD, SIGTTOU and SIGTTIN. Does nothing when the parent is
// already init.
void startDaemonize(const char* lockPath);

#endif  // ZTV_APP_DAEMON_H
