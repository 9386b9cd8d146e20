#include "server/http_request.h"

#include "base/text.h"

namespace {

constexpr size_t kPathStart = 4;   // the byte behind "GET" is skipped whatever it is
constexpr size_t kMinQuery = 5;    // "?id=1": the "?", a key of three and one character
constexpr TextView kChannelKey = "id=";
constexpr TextView kRelayKey = "li=";
constexpr TextView kStatusPath = "/status";
constexpr TextView kRangeUnit = "bytes=";
constexpr size_t kLongestRange = 48;  // "bytes=" and two 20-digit positions

// A player's Range that goes on to the source as it stands: one range of
// bytes, from a position on, between two, or the last so many. Anything
// else (several ranges, other units, text that could end the header line)
// is not passed on, and the player gets the whole body.
TextView byteRange(TextView value) {
  if (!startsWith(value, kRangeUnit) || value.size > kLongestRange) return {};
  const TextView span = subText(value, kRangeUnit.size);
  const size_t dash = findChar(span, '-');
  if (dash == kNotFound || span.size == 1 || findChar(span, '-', dash + 1) != kNotFound) return {};
  return madeOf(span, "0123456789-") ? value : TextView();
}

// The path ends at the first blank (the end of the request target), at the
// end of the line (a request without a version) or at the end of the text;
// a NUL ends the text, as it would for any C string reader.
TextView cutPath(TextView received) {
  const TextView path = cutAtAnyOf(subText(received, kPathStart), TextView(" \n\0", 3));
  const bool lineEnds = path.data + path.size < received.data + received.size && path.data[path.size] == '\n';
  return lineEnds && endsWith(path, "\r") ? subText(path, 0, path.size - 1) : path;
}

// Whether the target holds a byte that would end or bend a request line or
// a log line where it went on (CR, LF, TAB, the other controls, DEL).
bool holdsControlByte(TextView path) {
  for (size_t i = 0; i < path.size; ++i) {
    if (static_cast<unsigned char>(path[i]) < 0x20 || path[i] == 0x7f) return true;
  }
  return false;
}

HttpRequest classify(TextView path) {
  HttpRequest request{RequestKind::NotFound, path, 0, {}, {}};
  if (holdsControlByte(path)) {
    request.kind = RequestKind::BadRequest;
    return request;
  }
  if (path.empty() || path[0] != '/') return request;
  if (path == kStatusPath) {
    request.kind = RequestKind::Status;
    return request;
  }
  size_t mark = findChar(path, '?');
  if (mark == kNotFound || path.size - mark < kMinQuery) return request;
  TextView key = subText(path, mark + 1, kChannelKey.size);
  TextView value = subText(path, mark + 1 + kChannelKey.size);
  if (key == kChannelKey) {
    request.channelId = parseChannelNumber(value);
    if (request.channelId != 0) request.kind = RequestKind::Channel;
  } else if (key == kRelayKey) {
    request.url = value;
    request.kind = RequestKind::Relay;
  }
  return request;
}

}  // namespace

int parseChannelNumber(TextView value) { return readClampedDecimal(value); }

HttpRequest parseHttpRequest(TextView received) {
  if (received.size < kPathStart + 1 || !startsWith(received, "GET")) return {};
  HttpRequest request = classify(cutPath(received));
  if (request.kind == RequestKind::Relay) request.range = byteRange(headerField(received, "Range"));
  return request;
}
