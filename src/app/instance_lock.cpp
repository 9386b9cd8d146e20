#include "app/instance_lock.h"

#include <fcntl.h>
#include <unistd.h>

#include <stdio.h>
#include <stdlib.h>

#include "log/log.h"

namespace {

// Replaces the file's content by the process id line. Without the truncation
// a longer earlier id would leave its tail behind ("987\n56\n"), and
// `kill $(cat FILE)` would then signal a stranger too.
void writePid(int fd) {
  char text[32];
  int length = snprintf(text, sizeof text, "%d\n", static_cast<int>(getpid()));
  ssize_t written = pwrite(fd, text, static_cast<size_t>(length), 0);
  if (written == length) (void)ftruncate(fd, length);
}

}  // namespace

LockResult tryInstanceLock(const char* path, int* fd) {
  int file = open(path, O_RDWR | O_CREAT, 0640);
  if (file < 0) return LockResult::CannotOpen;
  if (lockf(file, F_TLOCK, 0) < 0) {
    close(file);  // this process holds no lock on the file, so nothing is released
    return LockResult::AlreadyRunning;
  }
  writePid(file);
  *fd = file;
  return LockResult::Locked;
}

int takeInstanceLock(const char* path) {
  int fd = -1;
  switch (tryInstanceLock(path, &fd)) {
    case LockResult::Locked:
      return fd;
    case LockResult::CannotOpen:
      Log(ERROR, "can not open file %s, exiting!", path);
      exit(1);
    case LockResult::AlreadyRunning:
      Log(ERROR, "Zomak TV Proxy Server already running, exiting!");
      exit(0);
  }
  return fd;
}
