#include "net/http_response.h"

#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include "base/heap.h"
#include "base/language.h"
#include "base/text.h"
#include "log/log.h"
#include "net/socket.h"

namespace {

constexpr const char* kSelf = "webFileConnect";  // the operation named in every message
constexpr const char* kClient = "vemo";
constexpr const char* kBuild = "281";
constexpr size_t kStatusOffset = 8;     // "HTTP/1.x " is not checked, only skipped
constexpr size_t kTooLong = SIZE_MAX;   // readHeader: the buffer filled without the blank line
constexpr int kSendLimitMs = 5000;      // the request goes out within the wait of every download

// True when the byte at `length` is the LF that ends CR LF CR LF.
bool endsHeader(const char* buffer, size_t length) {
  return buffer[length] == '\n' && length >= 3 && buffer[length - 3] == '\r' &&
         buffer[length - 2] == '\n' && buffer[length - 1] == '\r';
}

// Reads the header one byte per read so that no body byte leaves the socket.
// Stops at the blank line (whose last LF becomes a NUL and is not counted),
// at the end of the data, after a failed read or five silent seconds.
// Returns the length read, or kTooLong when the buffer filled up first.
size_t readHeader(WebLink link, char* buffer) {
  size_t length = 0;
  while (length < kHttpBufferSize) {
    if (link_read(link, buffer + length, 1) != 1) return length;
    if (endsHeader(buffer, length)) {
      buffer[length] = '\0';
      return length;
    }
    ++length;
  }
  return kTooLong;
}

// The status code as strtol with base 0 reads it, clamped to int.
int parseStatus(TextView header) {
  if (header.size <= kStatusOffset) return 0;
  char text[32] = {};
  TextView digits = subText(header, kStatusOffset, sizeof text - 1);
  memcpy(text, digits.data, digits.size);
  long status = strtol(text, nullptr, 0);
  return static_cast<int>(clampTo<long>(status, INT_MIN, INT_MAX));
}

// The request path's query ("?..." up to a CR), or empty.
TextView queryOf(TextView path) {
  size_t mark = findChar(path, '?');
  if (mark == kNotFound) return {};
  return cutAtAnyOf(subText(path, mark), "\r");
}

void logOutOfMemory() { Log(ERROR, "%s, out of memory.", kSelf); }

// A 206's Content-Range into `range`, when it is one of bytes that can go on
// to a player as it stands; false when memory is short.
bool takeContentRange(TextView header, HeapText* range) {
  const TextView value = headerField(header, "Content-Range");
  if (!startsWith(value, "bytes ") || !madeOf(subText(value, 6), "0123456789-/*")) return true;
  return copyText(range, value);
}

// The Location's value as a reference to follow: the whole field name in any
// case, its value up to the line's end (a bare LF too, so that no header
// text can reach the next request line), without a fragment (never sent)
// and trailing blanks.
TextView locationOf(TextView header) {
  TextView value = cutAtAnyOf(headerField(header, "Location"), "#");
  while (!value.empty() && isBlank(value[value.size - 1])) --value.size;
  return value;
}

// The parameter "start=..." of a query ("?a=1&start=5"), up to the next
// '&', or empty when the query has none.
TextView startParameter(TextView query) {
  for (size_t at = findAnyOf(query, "?&"); at != kNotFound; at = findAnyOf(query, "?&", at + 1)) {
    const TextView rest = subText(query, at + 1);
    if (startsWith(rest, "start=")) return cutAtAnyOf(rest, "&");
  }
  return {};
}

// The location to go to: its own query as written (a signed URL's token),
// with the request's "start=" added when it has none, so that a live jump
// survives a service's redirect; without a query of its own, the request's.
bool composeLocation(TextView location, TextView requestQuery, HeapText* into) {
  const size_t mark = findChar(location, '?');
  if (mark == kNotFound) return joinText(into, location, requestQuery);
  const TextView start = startParameter(requestQuery);
  if (start.empty() || !startParameter(subText(location, mark)).empty()) return copyText(into, location);
  return joinText(into, location, mark + 1 == location.size ? "" : "&", start);
}

HttpAnswer redirectAnswer(TextView header, TextView requestPath, int status) {
  HttpAnswer answer;
  answer.status = status;
  const TextView location = locationOf(header);
  if (location.empty()) {
    Log(ERROR, "%s, redirect without a location (HTTP code: %d).", kSelf, status);
    return answer;
  }
  if (!composeLocation(location, queryOf(requestPath), &answer.location)) {
    logOutOfMemory();
    return answer;
  }
  answer.kind = HttpAnswerKind::Redirect;
  return answer;
}

}  // namespace

bool buildHttpRequest(HeapText* request, const char* host, const char* path, const char* range,
                      const char* method) {
  const bool ranged = range != nullptr && range[0] != '\0';
  return formatText(request,
                    "%s %s HTTP/1.0\r\n"
                    "User-Agent: %s/%s\r\n"
                    "Host: %s\r\n"
                    "Content-Type: application/x-www-form-urlencoded\r\n"
                    "X-Client: %s\r\n"
                    "X-Client-Build: %s\r\n"
                    "X-Client-Params: InstallerType=1\r\n"
                    "%s%s%s"
                    "\r\n",
                    method, path, kClient, kBuild, host, kClient, kBuild, ranged ? "Range: " : "", ranged ? range : "",
                    ranged ? "\r\n" : "");
}

int64_t parseContentLength(TextView text) { return readClampedDecimal(text); }

HttpAnswer interpretHttpHeader(TextView header, TextView requestPath) {
  HttpAnswer answer;
  if (header.size < kHttpMinHeader) return answer;
  header = subText(header, 0, findChar(header, '\0'));  // the header is read as text
  answer.status = parseStatus(header);
  switch (answer.status) {
    case 200:
    case 206:
      answer.kind = HttpAnswerKind::Body;
      answer.contentLength = parseContentLength(headerField(header, "Content-Length"));
      if (answer.status == 206 && !takeContentRange(header, &answer.contentRange)) {
        logOutOfMemory();
        return HttpAnswer{};
      }
      return answer;
    case 301:  // moved for good: today's hosts answer so where they moved a file or went to https
    case 302:
    case 307:
    case 308:
      return redirectAnswer(header, requestPath, answer.status);
    default:
      Log(ERROR, "%s, fail to open file (HTTP code: %d).", kSelf, answer.status);
      return answer;
  }
}

HttpAnswer httpExchange(WebLink link, const char* host, const char* path, const char* range,
                        const char* method) {
  // One byte more than the header may hold: the NUL that ends the text even
  // when the buffer filled up.
  HeapArray<char> buffer = allocZeroed<char>(kHttpBufferSize + 1);
  if (buffer == nullptr) {
    Log(ERROR, "%s, out of memory for the response header.", kSelf);
    return {};
  }
  HeapText request;
  if (!buildHttpRequest(&request, host, path, range, method)) {
    logOutOfMemory();
    return {};
  }
  Log(DEBUG, "%s: Send\n%s\n", kSelf, request.c_str());
  // A request that does not go out shows up as a short or missing answer.
  (void)link_sendAll(link, request.c_str(), request.size(), kSendLimitMs);

  size_t length = readHeader(link, buffer.get());
  bool tooLong = length == kTooLong;
  const TextView header(buffer.get(), tooLong ? kHttpBufferSize : length);
  Log(DEBUG, "%s: Receive\n%s\n", kSelf, buffer.get());
  if (tooLong) {
    Log(ERROR, "%s, response header longer than %zu bytes.", kSelf, kHttpBufferSize - 1);
    return {};
  }
  return interpretHttpHeader(header, path);
}
