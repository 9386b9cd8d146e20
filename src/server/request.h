#ifndef ZTV_SERVER_REQUEST_H
#define ZTV_SERVER_REQUEST_H

// Serving one player connection: wait for the request, answer 200, 403 or 404,
// then pump chunks of the channel stream or the relay until the source ends,
// a send fails or a stop is requested.

#include "server/http_server.h"

// Serves and closes `socket`; leaves the state Accepting unless a stop was requested.
void receiveHttpData(ServerControl* server, int socket);

#endif  // ZTV_SERVER_REQUEST_H
