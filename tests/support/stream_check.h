#ifndef ZTV_TESTS_SUPPORT_STREAM_CHECK_H
#define ZTV_TESTS_SUPPORT_STREAM_CHECK_H

// Holds a channel stream received from the proxy against the source files it
// was made of: one synthesized header, then the tags of each played file in
// order, byte for byte but for the timestamps of audio and video, which rise
// together across the joins, and a PreviousTagSize chain sound at every join.

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "support/flv.h"

namespace testsupport {

// The proxy's fixed 200 answer.
inline constexpr std::string_view kAnswer200 =
    "HTTP/1.0 200 OK\r\nServer: Zomak TV Proxy Server for Pendrake \r\n"
    "Content-Type: Video/MPEG \r\nConnection: close \r\n\r\n";
inline constexpr std::string_view kAnswer404 =
    "HTTP/1.0 404 File Not Found\r\nServer: Zomak TV Proxy Server for Pendrake \r\n"
    "Content-Type: Video/MPEG \r\nConnection: close \r\n\r\n";
inline constexpr std::string_view kAnswer400 =
    "HTTP/1.0 400 Bad Request\r\nServer: Zomak TV Proxy Server for Pendrake \r\n"
    "Content-Type: Video/MPEG \r\nConnection: close \r\n\r\n";

// One stretch of a source file as the player should get it: the tags
// [firstTag, endTag) of `file` (endTag 0 meaning to the end).
struct Played {
  const FlvStream* file = nullptr;
  size_t firstTag = 0;
  size_t endTag = 0;
};

// Stream bytes (after the 200 answer) that the plays add up to.
size_t streamBytes(const std::vector<Played>& plays);

// "" when `stream` begins with the header and then exactly the tags of
// `plays` (more tags after them are allowed), in the shape FlvShape checks;
// otherwise the first mismatch.
std::string streamMismatch(std::string_view stream, const std::vector<Played>& plays);

// "" when `stream` is what a player that joined the channel of `plays` on
// air gets: the header, decoder set-ups and metadata that the plays hold,
// then their tags from one of their keyframes on, in the shape FlvShape
// checks, with a single player's timestamps less that keyframe's (audio
// before it at 0). Otherwise the first mismatch. `left` gets the number of
// the plays' tags still to come.
std::string joinerMismatch(std::string_view stream, const std::vector<Played>& plays, size_t* left = nullptr);

// Connects to the proxy, asks for `target` and reads the answer and `bytes`
// stream bytes (less when the proxy closes or `timeout` passes). The answer
// header is split off into `answer` when given.
std::string readStream(uint16_t port, std::string_view target, size_t bytes,
                       std::chrono::milliseconds timeout, std::string* answer = nullptr);

}  // namespace testsupport

#endif  // ZTV_TESTS_SUPPORT_STREAM_CHECK_H
