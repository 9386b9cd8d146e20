#ifndef ZTV_SERVER_HTTP_REQUEST_H
#define ZTV_SERVER_HTTP_REQUEST_H

// What a player asked for, read from the text of its one received request:
// a GET or HEAD whose path has a query opening with "id=<channel number>" (a
// channel stream, with an optional "format=flv|ts") or "li=<url>" (a relay of
// that URL), or one of the pages by its path (any query is ignored there);
// for a relay, the one byte range the player may ask for. Nothing is decoded.

#include "base/text_view.h"

enum class RequestKind {
  Unsupported,  // not a GET, or fewer than 5 bytes: no answer at all
  NotFound,     // a GET the proxy cannot use: the 404 answer
  BadRequest,   // a target that holds a control byte (below 0x20, or 0x7F): the 400 answer
  Channel,      // a channel stream of channelId
  Relay,        // a relay of url
  Status,       // the status page: the path "/status"
  StatusJson,   // "/status.json": the same for tools
  StartPage,    // "/": the HTML page to start from
  Playlist,     // "/channels.m3u": the channel list as M3U (format: which URLs)
  Discover,     // "/discover.json": the network tuner's description
  Lineup,       // "/lineup.json": its channels
  LineupStatus, // "/lineup_status.json": its scan state
  LineupPost,   // "/lineup.post": a scan request, answered 200 and ignored
  DeviceXml,    // "/device.xml": its UPnP device description
  BadFormat,    // a format that is neither flv nor ts: 400
  NotAllowed,   // a POST anywhere but "/lineup.post": 405
  NotImplemented,  // a method other than GET, HEAD and POST: 501
};

// The form a channel is sent in (and the URLs a playlist lists).
enum class StreamFormat { Flv, Ts };

struct HttpRequest {
  RequestKind kind = RequestKind::Unsupported;
  TextView path;          // from the fifth byte to the first blank, NUL or the line's end (LF, or CR LF);
                          // empty when Unsupported
  int channelId = 0;      // Channel: the channel number, never 0
  TextView url;           // Relay: everything behind "li=", never empty
  TextView range;         // Relay: the player's Range ("bytes=N-", "bytes=N-M", "bytes=-N"); empty
                          // without one, or with one the proxy does not pass on
  bool head = false;      // HEAD: the answer's header alone, nothing fetched for a body
  bool post = false;      // POST: a body may follow the header, to be read and dropped
  StreamFormat format = StreamFormat::Flv;  // Channel and Playlist: "format=" of the query
  TextView host;          // the Host header's value as sent (checked where it is used); empty without one
};

// Parses `received`, the bytes of the one receive; the views point into it.
HttpRequest parseHttpRequest(TextView received);

// `value` read as atoi reads it (leading white space, a sign, decimal digits
// up to the first other character; 0 without digits), saturated to the int
// range instead of overflowing.
int parseChannelNumber(TextView value);

#endif  // ZTV_SERVER_HTTP_REQUEST_H
