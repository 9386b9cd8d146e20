#ifndef ZTV_SERVER_PAGES_H
#define ZTV_SERVER_PAGES_H

// The box's pages: the start page (/), the status for tools (/status.json),
// the playlist (/channels.m3u) and the network tuner's documents. Each is
// written whole into a PageText, from a held channel list and the streams'
// published slots, and sent with its length; HEAD gets the header alone.
// The URLs in them name the box as the asking device reached it.

#include <stddef.h>

#include "base/text_view.h"
#include "server/http_request.h"
#include "server/http_server.h"

// Answers `socket` the page `request` asks for (500 when it cannot be made).
void answerPage(ServerControl* server, int socket, const HttpRequest& request);

// "http://" and the box's address as `host` names it when it is a well-formed
// host[:port] (letters, digits, dots, hyphens, or an IPv6 address in
// brackets), else the address `socket` was accepted on with its port; into
// `out` (at least kBaseSize bytes).
constexpr size_t kBaseSize = 300;
void boxBaseUrl(TextView host, int socket, char* out, size_t size);

#endif  // ZTV_SERVER_PAGES_H
