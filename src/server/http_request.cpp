#include "server/http_request.h"

#include "base/text.h"

namespace {

constexpr size_t kPathStart = 4;   // the byte behind "GET" is skipped whatever it is
constexpr size_t kMinQuery = 5;    // "?id=1": the "?", a key of three and one character
constexpr TextView kChannelKey = "id=";
constexpr TextView kRelayKey = "li=";
constexpr size_t kLongestMethod = 16;  // longer than any method HTTP names
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

// A page of the box, by its path without the query; NotFound for any other.
RequestKind pageAt(TextView where) {
  static constexpr struct {
    TextView path;
    RequestKind kind;
  } kPages[] = {
      {"/", RequestKind::StartPage},          {"/status", RequestKind::Status},
      {"/status.json", RequestKind::StatusJson}, {"/channels.m3u", RequestKind::Playlist},
      {"/discover.json", RequestKind::Discover}, {"/lineup.json", RequestKind::Lineup},
      {"/lineup_status.json", RequestKind::LineupStatus}, {"/lineup.post", RequestKind::LineupPost},
      {"/device.xml", RequestKind::DeviceXml},
  };
  for (const auto& page : kPages) {
    if (where == page.path) return page.kind;
  }
  return RequestKind::NotFound;
}

// The value of the query's first parameter `name` ("name=value", the
// parameters split at '&'); `*found` tells whether there is one.
TextView queryParameter(TextView query, TextView name, bool* found) {
  for (size_t at = 0; at <= query.size;) {
    size_t end = findChar(query, '&', at);
    if (end == kNotFound) end = query.size;
    const TextView parameter = subText(query, at, end - at);
    if (startsWith(parameter, name) && parameter.size > name.size && parameter[name.size] == '=') {
      *found = true;
      return subText(parameter, name.size + 1);
    }
    at = end + 1;
  }
  *found = false;
  return {};
}

// "format=" of the query: absent or "flv" the FLV form, "ts" the transport
// stream; false for any other value.
bool readFormat(TextView query, StreamFormat* format) {
  bool found = false;
  const TextView value = queryParameter(query, "format", &found);
  *format = found && value == "ts" ? StreamFormat::Ts : StreamFormat::Flv;
  return !found || value == "ts" || value == "flv";
}

// A query that opens with "id=" or "li=", read as it always has been: the
// value is the whole rest of the path (a channel's number read as atoi reads it).
void classifyStream(TextView path, size_t mark, HttpRequest* request) {
  if (path.size - mark < kMinQuery) return;
  TextView key = subText(path, mark + 1, kChannelKey.size);
  TextView value = subText(path, mark + 1 + kChannelKey.size);
  if (key == kChannelKey) {
    request->channelId = parseChannelNumber(value);
    if (request->channelId == 0) return;
    request->kind = readFormat(subText(path, mark + 1), &request->format) ? RequestKind::Channel
                                                                          : RequestKind::BadFormat;
  } else {
    request->url = value;
    request->kind = RequestKind::Relay;
  }
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
  HttpRequest request;
  request.kind = RequestKind::NotFound;
  request.path = path;
  if (holdsControlByte(path)) {
    request.kind = RequestKind::BadRequest;
    return request;
  }
  if (path.empty() || path[0] != '/') return request;
  const size_t mark = findChar(path, '?');
  const TextView query = mark == kNotFound ? TextView() : subText(path, mark + 1);
  if (startsWith(query, kChannelKey) || startsWith(query, kRelayKey)) {
    classifyStream(path, mark, &request);
    return request;
  }
  // Any other query is a media server's or a browser's own (transcode=...): ignored.
  request.kind = pageAt(subText(path, 0, mark));
  if (request.kind == RequestKind::Playlist && !readFormat(query, &request.format)) {
    request.kind = RequestKind::BadFormat;
  }
  return request;
}

// Where the path starts behind the method, which is told in `*request`; 0
// for a request that gets no answer (fewer than 5 bytes, no method). "GET"
// is taken as it always was: the byte behind it is skipped whatever it is.
size_t readMethod(TextView received, HttpRequest* request) {
  if (received.size < kPathStart + 1) return 0;
  if (startsWith(received, "GET")) return kPathStart;
  size_t length = 0;
  while (length < received.size && length <= kLongestMethod && received[length] >= 'A' && received[length] <= 'Z') {
    ++length;
  }
  if (length == 0 || length > kLongestMethod || length == received.size || received[length] != ' ') return 0;
  const TextView method = subText(received, 0, length);
  request->head = method == "HEAD";
  request->post = method == "POST";
  return length + 1;
}

// The path ends at the first blank (the end of the request target), at the
// end of the line (a request without a version) or at the end of the text;
// a NUL ends the text, as it would for any C string reader.
TextView cutPath(TextView received, size_t start) {
  const TextView path = cutAtAnyOf(subText(received, start), TextView(" \n\0", 3));
  const bool lineEnds = path.data + path.size < received.data + received.size && path.data[path.size] == '\n';
  return lineEnds && endsWith(path, "\r") ? subText(path, 0, path.size - 1) : path;
}

// What a method other than GET and HEAD gets: a scan request is taken, any
// other POST is not allowed where it goes, any other method is not known.
// A control byte in the target is a bad request whatever the method.
void judgeMethod(HttpRequest* request, bool get) {
  if (get || request->head || request->kind == RequestKind::BadRequest) return;
  if (request->post) {
    if (request->kind != RequestKind::LineupPost) request->kind = RequestKind::NotAllowed;
    return;
  }
  request->kind = RequestKind::NotImplemented;
}

}  // namespace

int parseChannelNumber(TextView value) { return readClampedDecimal(value); }

HttpRequest parseHttpRequest(TextView received) {
  HttpRequest method;
  const size_t start = readMethod(received, &method);
  if (start == 0) return {};
  HttpRequest request = classify(cutPath(received, start));
  request.head = method.head;
  request.post = method.post;
  judgeMethod(&request, startsWith(received, "GET"));
  request.host = headerField(received, "Host");
  if (request.kind == RequestKind::Relay) request.range = byteRange(headerField(received, "Range"));
  return request;
}
