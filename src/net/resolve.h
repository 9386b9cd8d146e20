#ifndef ZTV_NET_RESOLVE_H
#define ZTV_NET_RESOLVE_H

// Name look-ups bounded like every other wait of a download. The C
// library's resolver has its own timeouts and retries (ten seconds and more
// for a name server that does not answer) and no way to be cancelled, so a
// look-up of a name runs on a small detached thread while the caller waits
// for it in short steps that watch socket_interrupt. A look-up the caller
// gave up on finishes on its own and frees what it got. A thread has at most
// one look-up running: the next waits for the one it gave up on (and takes
// its answer, when it asked the same). Numeric addresses are taken without
// a thread.

#include <netdb.h>
#include <stdint.h>

// getaddrinfo's result for `host` and `service` with `hints`, waited for up
// to `limitMs`: 0 with `*result` to be freed by freeaddrinfo, else an EAI_
// code: EAI_AGAIN past the limit or when no thread for the look-up can be
// started (logged), EAI_SYSTEM with errno ECANCELED when interrupted, or with
// the look-up's own errno when the resolver failed on a system error.
int resolveWithin(const char* host, const char* service, const struct addrinfo* hints,
                  struct addrinfo** result, int64_t limitMs);

// Lets go of the look-up this thread gave up on, if any (it frees itself
// when its helper ends). A thread that looks names up calls it before it ends.
void resolveLetGo(void);

#endif  // ZTV_NET_RESOLVE_H
