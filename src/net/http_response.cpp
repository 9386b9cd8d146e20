#include "net/http_response.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "base/heap.h"
#include "base/text.h"
#include "log/log.h"
#include "net/socket.h"

namespace {

constexpr const char* kSelf = "webFileConnect";  // the operation named in every message
constexpr const char* kClient = "vemo";
constexpr const char* kBuild = "281";
constexpr size_t kStatusOffset = 8;     // "HTTP/1.x " is not checked, only skipped
constexpr size_t kLocationSkip = 10;    // from the "L" of "Locat" to behind "Location: "
constexpr size_t kLengthSkip = 9;       // from the "-" of "-Leng" to behind "-Length: "
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
size_t readHeader(int fd, char* buffer) {
  size_t length = 0;
  while (length < kHttpBufferSize) {
    if (my_read(fd, buffer + length, 1) != 1) return length;
    if (endsHeader(buffer, length)) {
      buffer[length] = '\0';
      return length;
    }
    ++length;
  }
  return kTooLong;
}

// The status code as strtol with base 0 reads it, clamped to int.
int parseStatus(std::string_view header) {
  if (header.size() <= kStatusOffset) return 0;
  char text[32] = {};
  std::string_view digits = header.substr(kStatusOffset, sizeof text - 1);
  std::copy(digits.begin(), digits.end(), text);
  long status = std::strtol(text, nullptr, 0);
  return static_cast<int>(std::clamp<long>(status, INT_MIN, INT_MAX));
}

// The text behind the needle's position plus `skip`, or empty.
std::string_view fieldAfter(std::string_view header, std::string_view needle, size_t skip) {
  size_t at = header.find(needle);
  if (at == std::string_view::npos || at + skip > header.size()) return {};
  return header.substr(at + skip);
}

// The request path's query ("?..." up to a CR), or empty.
std::string_view queryOf(std::string_view path) {
  size_t mark = path.find('?');
  if (mark == std::string_view::npos) return {};
  std::string_view query = path.substr(mark);
  return query.substr(0, query.find('\r'));
}

HttpAnswer redirectAnswer(std::string_view header, std::string_view requestPath, int status) {
  HttpAnswer answer;
  answer.status = status;
  if (header.find("Locat") == std::string_view::npos) {
    Log(ERROR, "%s, redirect without a location (HTTP code: %d).", kSelf, status);
    return answer;
  }
  // The location's own query is dropped; an LF ends it too, so that no
  // header text can reach the next request line.
  std::string_view location = fieldAfter(header, "Locat", kLocationSkip);
  location = location.substr(0, location.find_first_of("\r\n?"));
  answer.kind = HttpAnswerKind::Redirect;
  answer.location.assign(location);
  answer.location.append(queryOf(requestPath));
  return answer;
}

}  // namespace

std::string buildHttpRequest(const std::string& host, const std::string& path) {
  std::string request = "GET " + path + " HTTP/1.0\r\n";
  request += std::string("User-Agent: ") + kClient + "/" + kBuild + "\r\n";
  request += "Host: " + host + "\r\n";
  request += "Content-Type: application/x-www-form-urlencoded\r\n";
  request += std::string("X-Client: ") + kClient + "\r\n";
  request += std::string("X-Client-Build: ") + kBuild + "\r\n";
  request += "X-Client-Params: InstallerType=1\r\n";
  request += "\r\n";
  return request;
}

int64_t parseContentLength(std::string_view text) { return readClampedDecimal(text); }

HttpAnswer interpretHttpHeader(std::string_view header, std::string_view requestPath) {
  HttpAnswer answer;
  if (header.size() < kHttpMinHeader) return answer;
  header = header.substr(0, header.find('\0'));  // the header is read as text
  answer.status = parseStatus(header);
  switch (answer.status) {
    case 200:
    case 206:
      answer.kind = HttpAnswerKind::Body;
      answer.contentLength = parseContentLength(fieldAfter(header, "-Leng", kLengthSkip));
      return answer;
    case 302:
    case 307:
      return redirectAnswer(header, requestPath, answer.status);
    default:
      Log(ERROR, "%s, fail to open file (HTTP code: %d).", kSelf, answer.status);
      return answer;
  }
}

HttpAnswer httpExchange(int fd, const std::string& host, const std::string& path) {
  HeapArray<char> buffer = allocZeroed<char>(kHttpBufferSize);
  if (buffer == nullptr) {
    Log(ERROR, "%s, out of memory for the response header.", kSelf);
    return {};
  }
  std::string request = buildHttpRequest(host, path);
  Log(DEBUG, "%s: Send\n%s\n", kSelf, request.c_str());
  // A request that does not go out shows up as a short or missing answer.
  (void)socket_sendAll(fd, request.data(), request.size(), kSendLimitMs);

  size_t length = readHeader(fd, buffer.get());
  bool tooLong = length == kTooLong;
  std::string header(buffer.get(), tooLong ? kHttpBufferSize : length);
  buffer.reset();  // nothing of the buffer outlives the exchange
  Log(DEBUG, "%s: Receive\n%s\n", kSelf, header.c_str());
  if (tooLong) {
    Log(ERROR, "%s, response header longer than %zu bytes.", kSelf, kHttpBufferSize - 1);
    return {};
  }
  return interpretHttpHeader(header, path);
}
