#include "net/resolve.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "base/atomic_word.h"
#include "log/log.h"
#include "base/wait.h"
#include "net/socket.h"

namespace {

// The resolver's own buffers live on its stack; far below the default 8 MiB.
const size_t kStackSize = 256 * 1024;

// One look-up, shared by the caller and the helper thread; whichever lets go
// last frees it. The names are copied behind the record.
struct Lookup {
  AtomicWord references;   // 2 while both hold it
  AtomicWord done;         // 1 once code and list are set
  int code;                // getaddrinfo's result
  int error;               // the helper's errno when code is EAI_SYSTEM
  struct addrinfo* list;   // its addresses; taken (set null) by a caller that waited
  struct addrinfo hints;
  int wake[2];             // pipe: the helper writes one byte when done
  char* host;              // into the same block
  char* service;           // into the same block
};

// The look-up this thread last gave up on while its helper still ran. The
// thread starts no other until that one has ended: tries against a name
// server that does not answer cannot pile up helpers, threads and pipes.
thread_local Lookup* tGivenUp = nullptr;

void release(Lookup* lookup) {
  if (lookup->references.subtract(1) != 0) return;
  if (lookup->list != NULL) freeaddrinfo(lookup->list);
  close(lookup->wake[0]);
  close(lookup->wake[1]);
  free(lookup);
}

void* lookUp(void* argument) {
  Lookup* lookup = static_cast<Lookup*>(argument);
  lookup->code = getaddrinfo(lookup->host, lookup->service, &lookup->hints, &lookup->list);
  lookup->error = errno;
  lookup->done.store(1);
  const char byte = 1;
  (void)!write(lookup->wake[1], &byte, 1);
  release(lookup);
  return NULL;
}

// A record holding copies of the names, with its pipe; null when memory or
// descriptors are short.
Lookup* newLookup(const char* host, const char* service, const struct addrinfo* hints) {
  const size_t hostSize = strlen(host) + 1;
  const size_t serviceSize = strlen(service) + 1;
  Lookup* lookup = static_cast<Lookup*>(calloc(1, sizeof(Lookup) + hostSize + serviceSize));
  if (lookup == NULL) return NULL;
  if (pipe(lookup->wake) != 0) {
    free(lookup);
    return NULL;
  }
  (void)fcntl(lookup->wake[0], F_SETFD, FD_CLOEXEC);
  (void)fcntl(lookup->wake[1], F_SETFD, FD_CLOEXEC);
  lookup->references.store(2);
  lookup->hints = *hints;
  lookup->host = reinterpret_cast<char*>(lookup + 1);
  lookup->service = lookup->host + hostSize;
  memcpy(lookup->host, host, hostSize);
  memcpy(lookup->service, service, serviceSize);
  return lookup;
}

// Starts the helper thread; false when it cannot be had.
bool startHelper(Lookup* lookup) {
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return false;
  (void)pthread_attr_setstacksize(&attributes, kStackSize);
  (void)pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  const int started = pthread_create(&thread, &attributes, lookUp, lookup);
  pthread_attr_destroy(&attributes);
  return started == 0;
}

// Waits until the helper is done: 0, or EAI_AGAIN past the deadline,
// EAI_SYSTEM/ECANCELED when interrupted.
int awaitDone(Lookup* lookup, int64_t deadlineMs) {
  while (lookup->done.load() == 0) {
    if (socket_interrupted()) {
      errno = ECANCELED;
      return EAI_SYSTEM;
    }
    if (passed(deadlineMs)) return EAI_AGAIN;
    (void)waitStep(lookup->wake[0], POLLIN, deadlineMs);
  }
  return 0;
}


// Whether `lookup` asks what a look-up of `host` and `service` with `hints` would.
bool sameQuestion(const Lookup& lookup, const char* host, const char* service, const struct addrinfo& hints) {
  return strcmp(lookup.host, host) == 0 && strcmp(lookup.service, service) == 0 &&
         lookup.hints.ai_family == hints.ai_family && lookup.hints.ai_socktype == hints.ai_socktype &&
         lookup.hints.ai_protocol == hints.ai_protocol && lookup.hints.ai_flags == hints.ai_flags;
}

// Waits for the helper until the deadline: its code with the list handed
// over, or as awaitDone; a look-up given up on is kept as the thread's, to
// be waited for by its next one.
int finish(Lookup* lookup, struct addrinfo** result, int64_t deadlineMs) {
  const int waited = awaitDone(lookup, deadlineMs);
  if (waited != 0) {
    tGivenUp = lookup;
    return waited;
  }
  *result = lookup->list;
  lookup->list = NULL;
  const int answer = lookup->code;
  const int error = lookup->error;
  release(lookup);
  // A system error is the helper's, not this thread's.
  if (answer == EAI_SYSTEM) errno = error;
  return answer;
}

}  // namespace

int resolveWithin(const char* host, const char* service, const struct addrinfo* hints,
                  struct addrinfo** result, int64_t limitMs) {
  struct addrinfo numeric = *hints;
  numeric.ai_flags |= AI_NUMERICHOST;
  const int code = getaddrinfo(host, service, &numeric, result);
  if (code != EAI_NONAME) return code;  // an address, or a failure a name would not mend

  const int64_t deadlineMs = monotonicMs() + limitMs;
  Lookup* lookup = tGivenUp;
  tGivenUp = nullptr;
  if (lookup != nullptr && !sameQuestion(*lookup, host, service, *hints)) {
    // Another name's look-up still runs: it ends first.
    const int waited = awaitDone(lookup, deadlineMs);
    if (waited != 0) {
      tGivenUp = lookup;
      return waited;
    }
    release(lookup);
    lookup = nullptr;
  }
  if (lookup != nullptr) return finish(lookup, result, deadlineMs);  // the same question: its answer will do
  lookup = newLookup(host, service, hints);
  if (lookup == NULL || !startHelper(lookup)) {
    // No thread to be had (memory, descriptors or the thread limit): the
    // look-up fails at once as one that may pass, rather than wait without
    // a limit that no stop could end.
    Log(ERROR, "%s, no thread for the look-up of %s: it may pass, later", "resolveWithin", host);
    if (lookup != NULL) {
      close(lookup->wake[0]);
      close(lookup->wake[1]);
      free(lookup);
    }
    return EAI_AGAIN;
  }
  return finish(lookup, result, deadlineMs);
}

void resolveLetGo(void) {
  if (tGivenUp != nullptr) release(tGivenUp);
  tGivenUp = nullptr;
}
