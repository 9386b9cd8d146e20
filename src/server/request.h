#ifndef ZTV_SERVER_REQUEST_H
#define ZTV_SERVER_REQUEST_H

// Serving one player connection: wait for the request, answer 200, 403, 404 or 503,
// then pump chunks of the channel stream or the relay until the source ends,
// a send fails or a stop is requested.

#include "server/http_server.h"

// Serves and closes `socket` on a connection thread of its own: nothing
// while the server is not Accepting; a stream only while one of the
// server's `players` streams is free (503 otherwise).
void receiveHttpData(ServerControl* server, int socket);

// Answers `socket` 503 without serving it and closes it, within about a
// second (the player's request is read first, so that the answer is not
// lost to a reset). For a connection that gets no thread of its own.
void refuseConnection(ServerControl* server, int socket);

#endif  // ZTV_SERVER_REQUEST_H
