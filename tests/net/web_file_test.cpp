#include "net/web_file.h"

#include <gtest/gtest.h>

#include <future>
#include <string>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

#include "net/socket.h"
#include "support/fake_http.h"
#include "support/log_capture.h"

namespace {

using fakehttp::FakeHttpServer;
using fakehttp::Script;
using testsupport::LogCapture;

// The whole body as webFileRead delivers it, in small pieces.
std::string readAll(WebFileHandle* file) {
  std::string body;
  char chunk[7];
  for (int got; (got = webFileRead(file, chunk, sizeof chunk)) > 0;) body.append(chunk, static_cast<size_t>(got));
  return body;
}

TEST(WebFileParseUrl, SplitsHostPortAndPath) {
  struct Case {
    const char* url;
    const char* host;
    const char* port;
    const char* path;
  };
  const Case cases[] = {
      {"http://h", "h", "80", "/"},
      {"http://h/", "h", "80", "/"},
      {"http://h:8080/a?b=c", "h", "8080", "/a?b=c"},
      {"http://h:/x", "h", "80", "/x"},
      {"http://h:http/p", "h", "http", "/p"},
      {"http://a:b:c/p/q", "a", "b:c", "/p/q"},
      {"http://h/a/b?id=7&x=/y", "h", "80", "/a/b?id=7&x=/y"},
      {"http://h?q=1", "h?q=1", "80", "/"},  // no query without a path: the host takes it all
      {"http://[2001:db8::1]:8080/v.flv", "[2001:db8::1]", "8080", "/v.flv"},
      {"http://[::1]/v.flv", "[::1]", "80", "/v.flv"},
      {"https://h", "h", "443", "/"},
      {"https://[::1]:8443/v.flv?token=t", "[::1]", "8443", "/v.flv?token=t"},
  };
  for (const Case& c : cases) {
    WebFilePtr file(webFileParseUrl(c.url));
    ASSERT_NE(file, nullptr) << c.url;
    EXPECT_EQ(file->host, c.host) << c.url;
    EXPECT_EQ(file->port, c.port) << c.url;
    EXPECT_EQ(file->path, c.path) << c.url;
    EXPECT_EQ(file->secure, c.url[4] == 's') << c.url;
    EXPECT_EQ(file->fd, -1);
    EXPECT_EQ(file->bytesRead, 0);
    EXPECT_EQ(file->contentLength, 0);
  }
  for (const char* refused : {"HTTP://h/", "Http://h", "https:/h", "ftp://h/", "http:/h", "http:", "", " http://h",
                              "http://h/a b", "http://h/c\rX: 1", "http://h\t/", "http://h/\x7f", "http://h:80\n/"}) {
    EXPECT_EQ(webFileParseUrl(refused), nullptr) << refused;
    EXPECT_EQ(webFileOpen(refused), nullptr) << refused;
  }
  EXPECT_EQ(webFileParseUrl(nullptr), nullptr);
}

TEST(WebFile, ClosedOrUnconnectedHandlesDoNothing) {
  EXPECT_EQ(webFileClose(nullptr), 0);
  WebFilePtr file(webFileParseUrl("http://127.0.0.1/"));
  char buffer[4];
  EXPECT_EQ(webFileRead(file.get(), buffer, sizeof buffer), 0);
  EXPECT_EQ(file->bytesRead, 0);
}

TEST(WebFile, SendsTheRequestAndCountsTheBody) {
  FakeHttpServer server;
  const std::string body(3000, 'v');
  server.route("/a", Script::response(206, {"Content-Length: 3000"}, body));
  WebFilePtr file(webFileOpen(server.url("/a?b=c").c_str()));
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->contentLength, 3000);
  EXPECT_EQ(readAll(file.get()), body);
  EXPECT_EQ(file->bytesRead, 3000);
  char more[4];
  EXPECT_EQ(webFileRead(file.get(), more, sizeof more), 0);  // the server has closed
  EXPECT_EQ(file->bytesRead, 3000);

  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.requests()[0].raw,
            "GET /a?b=c HTTP/1.0\r\n"
            "User-Agent: vemo/281\r\n"
            "Host: 127.0.0.1:" + std::to_string(server.port()) + "\r\n"  // a port not the scheme's default
            "Content-Type: application/x-www-form-urlencoded\r\n"
            "X-Client: vemo\r\n"
            "X-Client-Build: 281\r\n"
            "X-Client-Params: InstallerType=1\r\n"
            "\r\n");
}

TEST(WebFile, AnswersOtherThanSuccessOrRedirectFail) {
  LogCapture log;
  FakeHttpServer server;
  server.route("/moved", Script::redirect(303, server.url("/x")));
  server.route("/cut", Script().send("HTTP/1.").close());
  server.route("/reset", Script().send("HTTP/1.0 200 OK\r\n").reset());
  server.route("/busy", Script::status(503));
  server.route("/later", Script::status(429));
  server.route("/gone", Script::status(410));
  // Whether asking again may help: not where the service itself said no.
  const struct {
    const char* target;
    FetchFailure failure;
  } cases[] = {{"/moved", FetchFailure::kFinal}, {"/missing", FetchFailure::kFinal},
               {"/cut", FetchFailure::kMayPass}, {"/busy", FetchFailure::kMayPass},
               {"/later", FetchFailure::kMayPass}, {"/gone", FetchFailure::kFinal}};
  for (const auto& c : cases) {
    FetchFailure failure = FetchFailure::kNone;
    EXPECT_EQ(webFileOpen(server.url(c.target).c_str(), &failure), nullptr) << c.target;
    EXPECT_EQ(failure, c.failure) << c.target;
  }
  EXPECT_EQ(server.requests().size(), 6u);  // a 303 is not followed
  WebFilePtr reset(webFileOpen(server.url("/reset").c_str()));
  if (reset != nullptr) {  // whether the bytes beat the reset is the kernel's call
    EXPECT_EQ(reset->contentLength, 0);
  }
  std::string text = log.text();
  EXPECT_NE(text.find("ERROR: webFileConnect, fail to open file (HTTP code: 303).\n"), std::string::npos);
  EXPECT_NE(text.find("ERROR: webFileConnect, fail to open file (HTTP code: 404).\n"), std::string::npos);

  WebFilePtr refused(webFileParseUrl("http://127.0.0.1:no-such-service/"));
  testing::internal::CaptureStderr();
  EXPECT_EQ(webFileConnect(refused.get()), -1);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(refused->fd, -1);
  EXPECT_EQ(refused->failure, FetchFailure::kMayPass);
}

// A location's own query is followed as written (a signed URL's token); one
// without a query carries the first request's on, and the request's
// "start=" joins a query that lacks one. A relative location is resolved
// against the URL it answered.
TEST(WebFile, FollowsRedirectsWithTheirQueryOrTheFirst) {
  LogCapture log;
  FakeHttpServer server;
  const std::string authority = "127.0.0.1:" + std::to_string(server.port());
  server.route("/r1", Script::redirect(302, server.url("/r2?own=1")));
  server.route("/r2", Script::redirect(307, server.url("/r3")));
  server.route("/r3", Script::redirect(301, server.url("/r4")));
  server.route("/r4", Script::redirect(308, server.url("/final")));
  server.route("/final", Script::ok("done"));
  server.route("/live/v.flv", Script::redirect(302, "/signed/v.flv?token=T"));
  server.route("/signed/v.flv", Script::redirect(302, "next.flv?token=U"));
  server.route("/signed/next.flv", Script::redirect(302, "//" + authority + "/cdn/v.flv"));
  server.route("/cdn/v.flv", Script::redirect(302, "?token=V"));
  server.route("/cdn/v.flv?token=V&start=99", Script::ok("signed"));
  WebFilePtr file(webFileOpen(server.url("/r1?id=7").c_str()));
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(readAll(file.get()), "done");
  EXPECT_EQ(file->contentLength, 4);
  EXPECT_EQ(file->path, "/final?own=1");
  WebFilePtr plain(webFileOpen(server.url("/r2").c_str()));
  ASSERT_NE(plain, nullptr);
  WebFilePtr relative(webFileOpen(server.url("/live/v.flv?start=99").c_str()));
  ASSERT_NE(relative, nullptr);
  EXPECT_EQ(readAll(relative.get()), "signed");

  std::vector<std::string> targets;
  for (const auto& request : server.requests()) targets.push_back(request.target);
  EXPECT_EQ(targets, (std::vector<std::string>{"/r1?id=7", "/r2?own=1", "/r3?own=1", "/r4?own=1", "/final?own=1",
                                               "/r2", "/r3", "/r4", "/final", "/live/v.flv?start=99",
                                               "/signed/v.flv?token=T&start=99", "/signed/next.flv?token=U&start=99",
                                               "/cdn/v.flv?token=U&start=99", "/cdn/v.flv?token=V&start=99"}));
  EXPECT_NE(log.text().find("DEBUG: webFileConnect: HTTP Return code 302, Location: " + server.url("/r2?own=1") + "\n"),
            std::string::npos);
  EXPECT_NE(log.text().find("DEBUG: webFileConnect: HTTP Return code 302, Location: /signed/v.flv?token=T&start=99\n"),
            std::string::npos);
}

TEST(WebFile, RedirectsAreBounded) {
  LogCapture log;
  FakeHttpServer server;
  for (int hop = 0; hop < 10; ++hop) {
    server.route("/hop" + std::to_string(hop), Script::redirect(302, server.url("/hop" + std::to_string(hop + 1))));
  }
  server.route("/hop10", Script::ok("end"));
  server.route("/loop", Script::redirect(307, server.url("/loop")));
  server.route("/ftp", Script::redirect(302, "ftp://127.0.0.1/x"));
  server.route("/tab", Script::redirect(302, "/x\tX-Injected: 1"));

  WebFilePtr tenHops(webFileOpen(server.url("/hop0").c_str()));
  ASSERT_NE(tenHops, nullptr);
  EXPECT_EQ(readAll(tenHops.get()), "end");
  EXPECT_EQ(server.requests().size(), 11u);

  EXPECT_EQ(webFileOpen(server.url("/loop").c_str()), nullptr);
  EXPECT_EQ(server.requests().size(), 22u);  // the first answer and ten followed redirects
  EXPECT_EQ(webFileOpen(server.url("/ftp").c_str()), nullptr);
  EXPECT_EQ(webFileOpen(server.url("/tab").c_str()), nullptr);
  EXPECT_EQ(server.requests().size(), 24u);  // neither location is asked for
  std::string text = log.text();
  EXPECT_NE(text.find("ERROR: webFileConnect, redirect to a location with a blank or a control byte (HTTP code: 302).\n"),
            std::string::npos);
  EXPECT_NE(text.find("ERROR: webFileConnect, more than 10 redirects (HTTP code: 307).\n"), std::string::npos);
  EXPECT_NE(text.find("ERROR: webFileConnect, redirect to a location that is neither an http:// nor an https:// URL (HTTP code: "
                      "302).\n"),
            std::string::npos);
}

// Every case here waits out the five-second silence limit; they run side by
// side so that the suite pays for it once.
TEST(WebFile, SilentServersEndAfterFiveSeconds) {
  FakeHttpServer server;
  server.route("/never", Script::silent());
  server.route("/midheader", Script().send("HTTP/1.0 200 OK\r\nContent-Length: 7\r\nX-A: b").hang());
  server.route("/midbody", Script().send("HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\n12345").hang());

  auto never = std::async(std::launch::async, [&] { return WebFilePtr(webFileOpen(server.url("/never").c_str())); });
  // What arrived before the silence is taken as the whole header.
  auto midHeader = std::async(std::launch::async, [&] {
    WebFilePtr file(webFileOpen(server.url("/midheader").c_str()));
    return file == nullptr ? int64_t{-2} : file->contentLength;
  });
  auto midBody = std::async(std::launch::async, [&] {
    WebFilePtr file(webFileOpen(server.url("/midbody").c_str()));
    if (file == nullptr) return std::string("no handle");
    char buffer[10];
    int got = webFileRead(file.get(), buffer, sizeof buffer);
    return std::string(buffer, static_cast<size_t>(got)) + "/" + std::to_string(file->bytesRead);
  });
  auto myRead = std::async(std::launch::async, [] {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return -1;
    char buffer[8];
    int got = write(fds[1], "ab", 2) == 2 ? my_read(fds[0], buffer, sizeof buffer) : -1;
    close(fds[0]);
    close(fds[1]);
    return got;
  });
  EXPECT_EQ(myRead.get(), 2);
  EXPECT_EQ(never.get(), nullptr);
  EXPECT_EQ(midHeader.get(), 7);
  EXPECT_EQ(midBody.get(), "12345/5");
}

}  // namespace
