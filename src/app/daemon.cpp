#include "app/daemon.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdlib.h>

#include "app/instance_lock.h"
#include "app/signals.h"

namespace {

void detachFromParent() {
  pid_t child = fork();
  if (child < 0) exit(1);
  if (child > 0) exit(0);
  (void)setsid();
}

// Everything inherited is closed; 0, 1 and 2 become /dev/null in that order.
void resetDescriptors() {
  for (int fd = getdtablesize(); fd >= 0; --fd) close(fd);
  int null = open("/dev/null", O_RDWR);
  (void)dup(null);
  (void)dup(null);
}

}  // namespace

void startDaemonize(const char* lockPath) {
  if (getppid() == 1) return;
  detachFromParent();
  resetDescriptors();
  umask(027);
  (void)chdir("/tmp");
  (void)takeInstanceLock(lockPath);
  ignoreDaemonSignals();
}
