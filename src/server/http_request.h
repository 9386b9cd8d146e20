#ifndef ZTV_SERVER_HTTP_REQUEST_H
#define ZTV_SERVER_HTTP_REQUEST_H

// What a player asked for, read from the text of its one received request:
// a GET whose path has a query opening with "id=<channel number>" (a channel
// stream) or "li=<url>" (a relay of that URL), or the status page; for a
// relay, the one byte range the player may ask for. Nothing is decoded.

#include "base/text_view.h"

enum class RequestKind {
  Unsupported,  // not a GET, or fewer than 5 bytes: no answer at all
  NotFound,     // a GET the proxy cannot use: the 404 answer
  BadRequest,   // a GET whose target holds a control byte (below 0x20, or 0x7F): the 400 answer
  Channel,      // a channel stream of channelId
  Relay,        // a relay of url
  Status,       // the status page: the path "/status"
};

struct HttpRequest {
  RequestKind kind = RequestKind::Unsupported;
  TextView path;          // from the fifth byte to the first blank, NUL or the line's end (LF, or CR LF);
                          // empty when Unsupported
  int channelId = 0;      // Channel: the channel number, never 0
  TextView url;           // Relay: everything behind "li=", never empty
  TextView range;         // Relay: the player's Range ("bytes=N-", "bytes=N-M", "bytes=-N"); empty
                          // without one, or with one the proxy does not pass on
};

// Parses `received`, the bytes of the one receive; the views point into it.
HttpRequest parseHttpRequest(TextView received);

// `value` read as atoi reads it (leading white space, a sign, decimal digits
// up to the first other character; 0 without digits), saturated to the int
// range instead of overflowing.
int parseChannelNumber(TextView value);

#endif  // ZTV_SERVER_HTTP_REQUEST_H
