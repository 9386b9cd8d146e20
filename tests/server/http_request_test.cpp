#include "server/http_request.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace {

using std::string_literals::operator""s;

struct Case {
  std::string received;
  RequestKind kind;
  std::string path;
  int channelId;
  std::string url;
};

TEST(HttpRequestTest, ClassifiesRequests) {
  const Case cases[] = {
      {"GET /tv?id=12 HTTP/1.0\r\n\r\n", RequestKind::Channel, "/tv?id=12", 12, ""},
      {"GET /?id=1 HTTP/1.0\r\n\r\n", RequestKind::Channel, "/?id=1", 1, ""},  // query of exactly 5
      {"GET /tv?id=-3 HTTP/1.0", RequestKind::Channel, "/tv?id=-3", -3, ""},
      {"GET /tv?id=12abc&x=1 HTTP/1.0", RequestKind::Channel, "/tv?id=12abc&x=1", 12, ""},
      {"GET /tv?id=1?li=x HTTP/1.0", RequestKind::Channel, "/tv?id=1?li=x", 1, ""},
      {"GETX/tv?id=5 HTTP/1.0", RequestKind::Channel, "/tv?id=5", 5, ""},  // the fourth byte is skipped
      {"GET /tv?id=7\r\nHost: h\r\n\r\n", RequestKind::Channel, "/tv?id=7", 7, ""},  // no version: the line ends it
      {"GET /?li=http://h/x\nHost: h\r\n\r\n", RequestKind::Relay, "/?li=http://h/x", 0, "http://h/x"},
      // A control byte in the target: nothing of it goes anywhere.
      {"GET /a?li=http://h/c\rX-CR: 1 HTTP/1.0\r\n\r\n", RequestKind::BadRequest, "/a?li=http://h/c\rX-CR:", 0, ""},
      {"GET /a?li=http://h/c\tX HTTP/1.0", RequestKind::BadRequest, "/a?li=http://h/c\tX", 0, ""},
      {"GET /tv?id=1\x7f HTTP/1.0", RequestKind::BadRequest, "/tv?id=1\x7f", 0, ""},
      {"GET /status\x1b HTTP/1.0", RequestKind::BadRequest, "/status\x1b", 0, ""},
      {"GET \x01/tv?id=1 HTTP/1.0", RequestKind::BadRequest, "\x01/tv?id=1", 0, ""},
      {"GET /a?li=x\r", RequestKind::BadRequest, "/a?li=x\r", 0, ""},  // cut short: no LF behind the CR
      {"GET /tv?id=12\0 HTTP/1.0"s, RequestKind::Channel, "/tv?id=12", 12, ""},
      {"GET /tv?id=1", RequestKind::Channel, "/tv?id=1", 1, ""},  // cut short by the network
      {"GET /a?li=http://H/v.flv?s=1&t=2 HTTP/1.0", RequestKind::Relay, "/a?li=http://H/v.flv?s=1&t=2", 0,
       "http://H/v.flv?s=1&t=2"},
      {"GET /?li=x HTTP/1.0", RequestKind::Relay, "/?li=x", 0, "x"},
      {"GET /status HTTP/1.0", RequestKind::Status, "/status", 0, ""},
      {"GET /status/x HTTP/1.0", RequestKind::NotFound, "/status/x", 0, ""},
      {"GET /tv?id= HTTP/1.0", RequestKind::NotFound, "/tv?id=", 0, ""},
      {"GET /tv HTTP/1.0", RequestKind::NotFound, "/tv", 0, ""},
      {"GET /tv?id=abc HTTP/1.0", RequestKind::NotFound, "/tv?id=abc", 0, ""},
      {"GET /tv?id=0 HTTP/1.0", RequestKind::NotFound, "/tv?id=0", 0, ""},
      {"GET /tv?id=-0 HTTP/1.0", RequestKind::NotFound, "/tv?id=-0", 0, ""},
      {"GET /tv?x=1&id=12 HTTP/1.0", RequestKind::NotFound, "/tv?x=1&id=12", 0, ""},
      {"GET /tv?ID=12 HTTP/1.0", RequestKind::NotFound, "/tv?ID=12", 0, ""},
      {"GET /a?li= HTTP/1.0", RequestKind::NotFound, "/a?li=", 0, ""},
      {"GET tv?id=12 HTTP/1.0", RequestKind::NotFound, "tv?id=12", 0, ""},
      {"GET  /tv?id=12 HTTP/1.0", RequestKind::NotFound, "", 0, ""},
      {"GET /", RequestKind::StartPage, "/", 0, ""},
      {"GET /a\0?id=5"s, RequestKind::NotFound, "/a", 0, ""},
      {"GET ", RequestKind::Unsupported, "", 0, ""},
      {"GET", RequestKind::Unsupported, "", 0, ""},
      {"", RequestKind::Unsupported, "", 0, ""},
      {"get /tv?id=12 HTTP/1.0", RequestKind::Unsupported, "", 0, ""},
      {"HEAD /tv?id=12 HTTP/1.0", RequestKind::Channel, "/tv?id=12", 12, ""},
      {"POST /tv?id=12 HTTP/1.0", RequestKind::NotAllowed, "/tv?id=12", 12, ""},
      {"G\0T /tv?id=12 HTTP/1.0"s, RequestKind::Unsupported, "", 0, ""},
  };
  for (const Case& c : cases) {
    HttpRequest request = parseHttpRequest(c.received);
    EXPECT_EQ(request.kind, c.kind) << c.received;
    EXPECT_EQ(request.path, c.path) << c.received;
    EXPECT_EQ(request.channelId, c.channelId) << c.received;
    EXPECT_EQ(request.url, c.url) << c.received;
  }
}

// The box's pages by their path (any other query ignored), the form of a
// channel, and what each method gets.
TEST(HttpRequestTest, PagesFormatsAndMethods) {
  const struct {
    std::string received;
    RequestKind kind;
    bool head;
    StreamFormat format;
  } cases[] = {
      {"GET /channels.m3u HTTP/1.0", RequestKind::Playlist, false, StreamFormat::Flv},
      {"GET /channels.m3u?format=ts HTTP/1.0", RequestKind::Playlist, false, StreamFormat::Ts},
      {"GET /channels.m3u?x=1&format=flv HTTP/1.0", RequestKind::Playlist, false, StreamFormat::Flv},
      {"GET /channels.m3u?format=mp4 HTTP/1.0", RequestKind::BadFormat, false, StreamFormat::Flv},
      {"GET /channels.m3u/x HTTP/1.0", RequestKind::NotFound, false, StreamFormat::Flv},
      {"GET /?transcode=mobile HTTP/1.0", RequestKind::StartPage, false, StreamFormat::Flv},
      {"GET /status?x=1 HTTP/1.0", RequestKind::Status, false, StreamFormat::Flv},
      {"GET /status.json HTTP/1.0", RequestKind::StatusJson, false, StreamFormat::Flv},
      {"GET /discover.json?transcode=heavy HTTP/1.0", RequestKind::Discover, false, StreamFormat::Flv},
      {"GET /lineup.json?show=found HTTP/1.0", RequestKind::Lineup, false, StreamFormat::Flv},
      {"GET /lineup_status.json HTTP/1.0", RequestKind::LineupStatus, false, StreamFormat::Flv},
      {"GET /device.xml HTTP/1.0", RequestKind::DeviceXml, false, StreamFormat::Flv},
      {"POST /lineup.post?scan=start&source=Cable HTTP/1.1", RequestKind::LineupPost, false, StreamFormat::Flv},
      {"GET /lineup.post HTTP/1.0", RequestKind::LineupPost, false, StreamFormat::Flv},
      {"POST /discover.json HTTP/1.1", RequestKind::NotAllowed, false, StreamFormat::Flv},
      {"POST /nothing HTTP/1.1", RequestKind::NotAllowed, false, StreamFormat::Flv},
      {"PUT /lineup.post HTTP/1.1", RequestKind::NotImplemented, false, StreamFormat::Flv},
      {"OPTIONS * HTTP/1.1", RequestKind::NotImplemented, false, StreamFormat::Flv},
      {"DELETE /?id=1 HTTP/1.1", RequestKind::NotImplemented, false, StreamFormat::Flv},
      {"HEAD / HTTP/1.1", RequestKind::StartPage, true, StreamFormat::Flv},
      {"HEAD /x HTTP/1.1", RequestKind::NotFound, true, StreamFormat::Flv},
      {"HEAD /?li=http://h/v.flv&format=ts HTTP/1.1", RequestKind::Relay, true, StreamFormat::Flv},
      {"HEAD /?id=3&format=ts HTTP/1.1", RequestKind::Channel, true, StreamFormat::Ts},
      {"GET /?id=3&format=ts HTTP/1.0", RequestKind::Channel, false, StreamFormat::Ts},
      {"GET /?id=3&transcode=x&format=flv HTTP/1.0", RequestKind::Channel, false, StreamFormat::Flv},
      {"GET /?id=3&format=TS HTTP/1.0", RequestKind::BadFormat, false, StreamFormat::Flv},
      {"GET /?id=3&format= HTTP/1.0", RequestKind::BadFormat, false, StreamFormat::Flv},
      {"GET /?id=3&xformat=ts HTTP/1.0", RequestKind::Channel, false, StreamFormat::Flv},
      {"GET /?id=0&format=ts HTTP/1.0", RequestKind::NotFound, false, StreamFormat::Flv},
      {"GET /?id= HTTP/1.0", RequestKind::NotFound, false, StreamFormat::Flv},  // a stream's query, too short
      {"PUT", RequestKind::Unsupported, false, StreamFormat::Flv},
      {"HEAD\t/ HTTP/1.0", RequestKind::Unsupported, false, StreamFormat::Flv},
      {"ABCDEFGHIJKLMNOPQ / HTTP/1.0", RequestKind::Unsupported, false, StreamFormat::Flv},
  };
  for (const auto& c : cases) {
    const HttpRequest request = parseHttpRequest(c.received);
    EXPECT_EQ(request.kind, c.kind) << c.received;
    EXPECT_EQ(request.head, c.head) << c.received;
    EXPECT_EQ(request.format, c.format) << c.received;
  }
  const HttpRequest withHost = parseHttpRequest("GET /lineup.json HTTP/1.1\r\nhost: box.lan:8666\r\n\r\n");
  EXPECT_EQ(withHost.host, TextView("box.lan:8666"));
  EXPECT_EQ(parseHttpRequest("GET /?li=http://h/a.flv&format=xyz HTTP/1.0").url, TextView("http://h/a.flv&format=xyz"));
}

// A relay passes on one range of bytes as the player wrote it, nothing else.
TEST(HttpRequestTest, RelayTakesOneRangeOfBytes) {
  const struct {
    const char* header;
    const char* range;
  } cases[] = {
      {"Range: bytes=100-\r\n", "bytes=100-"},  {"range:bytes=0-99\r\n", "bytes=0-99"},
      {"RANGE: bytes=-500\r\n", "bytes=-500"},  {"Range: bytes=1-2,5-6\r\n", ""},
      {"Range: items=1-\r\n", ""},             {"Range: bytes=-\r\n", ""},
      {"Range: bytes=1-\rX: y\r\n", "bytes=1-"}, {"X-Range: bytes=1-\r\n", ""},
  };
  for (const auto& c : cases) {
    const std::string text = std::string("GET /?li=x HTTP/1.0\r\n") + c.header + "\r\n";
    EXPECT_EQ(parseHttpRequest(text).range, TextView(c.range)) << c.header;
  }
  EXPECT_TRUE(parseHttpRequest("GET /?id=1 HTTP/1.0\r\nRange: bytes=1-\r\n\r\n").range.empty());
}

TEST(HttpRequestTest, ChannelNumbersOutsideIntSaturate) {
  const struct {
    const char* value;
    int number;
  } cases[] = {
      {"2147483647", INT_MAX},        {"2147483648", INT_MAX},
      {"99999999999999999999999", INT_MAX}, {"-2147483648", INT_MIN},
      {"-2147483649", INT_MIN},       {"-99999999999999999999999", INT_MIN},
      {" \t+42x", 42},                {"- 5", 0},
      {"", 0},                        {"0000000000000000000000017", 17},
  };
  for (const auto& c : cases) EXPECT_EQ(parseChannelNumber(c.value), c.number) << c.value;

  HttpRequest request = parseHttpRequest("GET /tv?id=4294967308 HTTP/1.0");
  EXPECT_EQ(request.kind, RequestKind::Channel);  // not wrapped round to 12
  EXPECT_EQ(request.channelId, INT_MAX);
}

}  // namespace
