#ifndef ZTV_SERVER_OTHER_ANSWERS_H
#define ZTV_SERVER_OTHER_ANSWERS_H

// Answers to requests that are not a player's stream: the pages, a method
// the proxy does not serve (405, 501) or a format it does not know (400),
// and the body of a POST, read and dropped. Also the header block of a channel's answer, chosen by
// the form the channel is sent in, in one place for its GET and its HEAD.

#include "base/text_view.h"
#include "server/http_request.h"
#include "server/http_server.h"

// The header block behind a channel's status line: its Content-Type is the
// form's (the FLV form's block is the one every other answer has).
const char* channelHeaderBlock(StreamFormat format);

// Answers `request` (whose text is `received`) when it is not a stream:
// true when it was answered here.
bool answerBesidesStreams(ServerControl* server, int socket, const HttpRequest& request, TextView received);

#endif  // ZTV_SERVER_OTHER_ANSWERS_H
