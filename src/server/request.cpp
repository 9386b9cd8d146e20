#include "server/request.h"

#include <unistd.h>

// Placeholder until request handling lands: the connection is closed unanswered.
void receiveHttpData(ServerControl* /*server*/, int socket) { close(socket); }
