#ifndef ZTV_APP_INSTANCE_LOCK_H
#define ZTV_APP_INSTANCE_LOCK_H

// The instance lock: an exclusive lockf lock on the lock file, which then
// holds the process id as "%d\n". The lock belongs to the process and lasts
// while any descriptor of the file stays open, so the descriptor is kept
// until the process ends.

enum class LockResult { Locked, CannotOpen, AlreadyRunning };

// Opens `path` (created 0640 when missing, never truncated before the lock is
// held), locks it without waiting, then writes the process id and cuts the
// file to that text. On Locked `*fd` is the open descriptor; on AlreadyRunning
// the file is left exactly as it was.
LockResult tryInstanceLock(const char* path, int* fd);

// The start-up form: on failure logs and ends the process (status 1 when the
// file cannot be opened, 0 when another process holds the lock).
int takeInstanceLock(const char* path);

#endif  // ZTV_APP_INSTANCE_LOCK_H
