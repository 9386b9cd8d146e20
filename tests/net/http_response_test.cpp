#include "net/http_response.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <thread>

#include <sys/socket.h>
#include <unistd.h>

#include "support/log_capture.h"
#include "support/text_print.h"

namespace {

using testsupport::LogCapture;

struct Exchanged {
  HttpAnswer answer;
  std::string request;   // what the client wrote
  std::string leftOver;  // what stayed on the socket behind the header
};

// Runs the exchange over a socket pair whose far side has already written
// `response` and shut its write side, as a server that answers and closes.
Exchanged exchangeWith(const std::string& response, const std::string& path = "/p") {
  int fds[2];
  EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  std::thread server([&] {
    EXPECT_EQ(write(fds[1], response.data(), response.size()), static_cast<ssize_t>(response.size()));
    shutdown(fds[1], SHUT_WR);
  });
  Exchanged result;
  result.answer = httpExchange(fds[0], "example.test", path.c_str());
  server.join();
  char chunk[4096];
  for (ssize_t got; (got = read(fds[0], chunk, sizeof chunk)) > 0;) result.leftOver.append(chunk, static_cast<size_t>(got));
  shutdown(fds[0], SHUT_WR);
  for (ssize_t got; (got = read(fds[1], chunk, sizeof chunk)) > 0;) result.request.append(chunk, static_cast<size_t>(got));
  close(fds[0]);
  close(fds[1]);
  return result;
}

TEST(HttpExchange, SendsTheClientIdentification) {
  Exchanged result = exchangeWith("HTTP/1.0 200 OK\r\n\r\n", "/a?b=c");
  EXPECT_EQ(result.request,
            "GET /a?b=c HTTP/1.0\r\n"
            "User-Agent: vemo/281\r\n"
            "Host: example.test\r\n"
            "Content-Type: application/x-www-form-urlencoded\r\n"
            "X-Client: vemo\r\n"
            "X-Client-Build: 281\r\n"
            "X-Client-Params: InstallerType=1\r\n"
            "\r\n");
}

TEST(HttpExchange, InterpretsStatusLengthAndLocation) {
  struct Case {
    const char* response;
    const char* path;
    HttpAnswerKind kind;
    int status;
    int64_t contentLength;
    const char* location;
    const char* leftOver;
  };
  const auto Body = HttpAnswerKind::Body;
  const auto Redirect = HttpAnswerKind::Redirect;
  const auto Failed = HttpAnswerKind::Failed;
  LogCapture quiet;
  const Case cases[] = {
      {"HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello", "/", Body, 200, 5, "", "hello"},
      {"HTTP/1.1 206 Partial\r\nContent-Length: 3\r\n\r\nabc", "/", Body, 206, 3, "", "abc"},
      {"HTTP/1.0 200 OK\r\nServer: x\r\n\r\nbody", "/", Body, 200, 0, "", "body"},
      {"HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n", "/", Body, 200, 0, "", ""},
      {"HTTP/1.0 200 OK\r\nContent-Length: 0123\r\n\r\n", "/", Body, 200, 123, "", ""},
      {"HTTP/1.0 200 OK\r\nContent-Length: 4294967296\r\n\r\n", "/", Body, 200, INT32_MAX, "", ""},
      // The field by its whole name, in any case: not a longer name that ends in it.
      {"HTTP/1.0 200 OK\r\nX-Content-Length: 9\r\ncontent-length: 5\r\n\r\nhello", "/", Body, 200, 5, "", "hello"},
      {"HTTP/1.0 301 Moved\r\nLocation: http://h/x\r\n\r\n", "/?k=1", Redirect, 301, 0, "http://h/x?k=1", ""},
      {"HTTP/1.0 308 Permanent\r\nLocation: http://h/y\r\n\r\n", "/", Redirect, 308, 0, "http://h/y", ""},
      {"HTTP/1.0 303 See Other\r\nLocation: http://h/x\r\n\r\n", "/", Failed, 303, 0, "", ""},
      {"HTTP/1.0 404 Not Found\r\n\r\n", "/", Failed, 404, 0, "", ""},
      // A location's own query is followed as written (a signed URL), the
      // request's "start=" added where it has none; without a query of its
      // own the request's goes on.
      {"HTTP/1.0 302 Found\r\nLocation: http://h:81/c/d?x=1\r\n\r\n", "/a/b?id=7", Redirect, 302, 0,
       "http://h:81/c/d?x=1", ""},
      {"HTTP/1.0 307 Temp\r\nLocation: http://h/c\r\n\r\n", "/a", Redirect, 307, 0, "http://h/c", ""},
      {"HTTP/1.0 302 Found\r\nLocation: http://h/c?x=1\r\n\r\n", "/a", Redirect, 302, 0, "http://h/c?x=1", ""},
      {"HTTP/1.0 302 Found\r\nLocation: https://cdn/v.flv?token=T\r\n\r\n", "/v.flv?sig=S&start=99", Redirect,
       302, 0, "https://cdn/v.flv?token=T&start=99", ""},
      {"HTTP/1.0 302 Found\r\nLocation: http://h/v?start=5&t=T\r\n\r\n", "/v?start=99", Redirect, 302, 0,
       "http://h/v?start=5&t=T", ""},
      {"HTTP/1.0 302 Found\r\nLocation: http://h/v?\r\n\r\n", "/v?start=99", Redirect, 302, 0,
       "http://h/v?start=99", ""},
      {"HTTP/1.0 302 Found\r\nLocation: http://h/v?t=restart=1\r\n\r\n", "/v?start=99", Redirect, 302, 0,
       "http://h/v?t=restart=1&start=99", ""},
      {"HTTP/1.0 302 Found\r\nLocation: http://h/v#part\r\n\r\n", "/v?start=9", Redirect, 302, 0,
       "http://h/v?start=9", ""},
      // A relative one comes as written, for the client to resolve.
      {"HTTP/1.0 302 Found\r\nLocation: /signed/v.flv?token=T \r\n\r\n", "/v", Redirect, 302, 0,
       "/signed/v.flv?token=T", ""},
      // The field name whole, in any case; never a prefix inside another.
      {"HTTP/1.0 301 Moved\r\nlocation: http://h/l\r\n\r\n", "/", Redirect, 301, 0, "http://h/l", ""},
      {"HTTP/1.0 301 Moved\r\nContent-Location: http://bad/\r\nLOCATION:http://h/l\r\n\r\n", "/", Redirect, 301,
       0, "http://h/l", ""},
      {"HTTP/1.0 301 Found\r\nContent-Location: http://bad/\r\n\r\n", "/", Failed, 301, 0, "", ""},
      {"HTTP/1.0 301 Found\r\nLocatiof: htph/c?x=1\r\n\r\n", "/", Failed, 301, 0, "", ""},
      // A bare LF ends the location: nothing behind it reaches the next request.
      {"HTTP/1.0 302 Found\r\nLocation: http://h/c\nX-Evil: 1\r\n\r\n", "/", Redirect, 302, 0, "http://h/c", ""},
      {"HTTP/1.0 302 Found\r\nServer: x\r\n\r\n", "/", Failed, 302, 0, "", ""},
      // 13 bytes are no answer; 14 are (the final LF of a blank line is not counted).
      {"HTTP/1.0 200\n", "/", Failed, 0, 0, "", ""},
      {"HTTP/1.0 200\r\n", "/", Body, 200, 0, "", ""},
      {"HTTP/1.0 2\r\n\r\nxy", "/", Failed, 0, 0, "", "xy"},
      {"HTTP/1.0 20\r\n\r\nxy", "/", Failed, 20, 0, "", "xy"},
      {"", "/", Failed, 0, 0, "", ""},
      {"HTTP/1.", "/", Failed, 0, 0, "", ""},
  };
  for (const Case& c : cases) {
    Exchanged result = exchangeWith(c.response, c.path);
    SCOPED_TRACE(c.response);
    EXPECT_EQ(result.answer.kind, c.kind);
    EXPECT_EQ(result.answer.status, c.status);
    EXPECT_EQ(result.answer.contentLength, c.contentLength);
    EXPECT_EQ(result.answer.location, c.location);
    EXPECT_EQ(result.leftOver, c.leftOver);
  }
}

TEST(HttpExchange, LogsTheExchangeAndWhyAnAnswerFails) {
  LogCapture log;
  exchangeWith("HTTP/1.0 410 Gone\r\n\r\n", "/q");
  exchangeWith("HTTP/1.0 307 X\r\n\r\n");
  exchangeWith("HTTP/1.0 2");  // too short: no ERROR line
  std::string text = log.text();
  EXPECT_NE(text.find("DEBUG: webFileConnect: Send\nGET /q HTTP/1.0\r\n"), std::string::npos);
  EXPECT_NE(text.find("DEBUG: webFileConnect: Receive\nHTTP/1.0 410 Gone\r\n\r\n\n"), std::string::npos);
  EXPECT_NE(text.find("ERROR: webFileConnect, fail to open file (HTTP code: 410).\n"), std::string::npos);
  EXPECT_NE(text.find("ERROR: webFileConnect, redirect without a location (HTTP code: 307).\n"), std::string::npos);
  EXPECT_EQ(text.find("(HTTP code: 0)"), std::string::npos);
}

TEST(HttpExchange, HeaderIsBoundedByTheBuffer) {
  // A header of exactly 65,535 bytes (its final LF not counted) still fits.
  const std::string head = "HTTP/1.0 200 OK\r\nContent-Length: 2\r\nX-Pad: ";
  const std::string tail = "\r\n\r\n";
  std::string fits = head + std::string(kHttpBufferSize - 1 - head.size() - (tail.size() - 1), 'a') + tail;
  ASSERT_EQ(fits.size(), kHttpBufferSize);
  Exchanged largest = exchangeWith(fits + "ok");
  EXPECT_EQ(largest.answer.kind, HttpAnswerKind::Body);
  EXPECT_EQ(largest.answer.contentLength, 2);
  EXPECT_EQ(largest.leftOver, "ok");

  LogCapture log;
  std::string oneMore = head + std::string(kHttpBufferSize - head.size() - (tail.size() - 1), 'a') + tail;
  EXPECT_EQ(exchangeWith(oneMore + "ok").answer.kind, HttpAnswerKind::Failed);
  std::string noBlankLine = head + std::string(64 * 1024, 'b');
  EXPECT_EQ(exchangeWith(noBlankLine).answer.kind, HttpAnswerKind::Failed);
  EXPECT_NE(log.text().find("ERROR: webFileConnect, response header longer than 65535 bytes."), std::string::npos);
}

TEST(ParseContentLength, ReadsDecimalClampedToInt32) {
  struct Case {
    const char* text;
    int64_t value;
  };
  const Case cases[] = {
      {"", 0},           {"0", 0},           {"0123", 123},     {"  \t42", 42},
      {"010", 10},       {"0x10", 0},        {"12abc", 12},     {"+7", 7},
      {"-5", -5},        {"2147483647", INT32_MAX},            {"2147483648", INT32_MAX},
      {"99999999999999999999999", INT32_MAX},                  {"-2147483648", INT32_MIN},
      {"-99999999999", INT32_MIN},           {"abc", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(parseContentLength(c.text), c.value) << '"' << c.text << '"';
}

}  // namespace
