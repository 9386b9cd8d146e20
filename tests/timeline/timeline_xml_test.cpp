#include "timeline/timeline_xml.h"

#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "log/log.h"
#include "support/fake_http.h"
#include "support/log_capture.h"
#include "support/text_print.h"

namespace {


XmlPtr fromText(const std::string& text, time_t fetchTime = 0) {
  return XmlPtr(openXMLText(text.data(), text.size(), fetchTime));
}

std::vector<std::string> allTags(TimelineXml* xml) {
  std::vector<std::string> tags;
  for (HeapText tag = getXMLTag(xml); !tag.empty(); tag = getXMLTag(xml)) tags.push_back(str(tag));
  return tags;
}

TEST(TimelineScanner, YieldsEachTagOnceInOrder) {
  using namespace std::string_literals;
  struct Case {
    std::string doc;
    std::vector<std::string> tags;
  };
  const Case cases[] = {
      {"", {}},
      {"no tags at all\n", {}},
      {"lead <a>text\n <b x=\"1\">\t\r\n</b> tail", {"<a>", "<b x=\"1\">", "</b>"}},
      {"<a>b>c", {"<a>"}},                                // a stray '>' in text is text
      {"<a<b>", {"<a<b>"}},                               // a tag runs to the first '>'
      {"<!-- x > y --><c>", {"<!-- x >", "<c>"}},         // a '>' in a comment ends it early
      {"<a><vod pliid=\"1", {"<a>", "<vod pliid=\"1"}},  // cut inside a tag
      {"<a>\0<b>"s, {"<a>"}},                             // a NUL between tags ends the scan
      {"<a\0b><c>"s, {"<a", "<c>"}},                      // a NUL inside a tag cuts it there
  };
  for (const Case& c : cases) {
    XmlPtr xml = fromText(c.doc);
    ASSERT_NE(xml, nullptr);
    EXPECT_EQ(allTags(xml.get()), c.tags) << c.doc;
    EXPECT_TRUE(getXMLTag(xml.get()).empty()) << "after the end: " << c.doc;
  }
  EXPECT_TRUE(getXMLTag(nullptr).empty());
}

TEST(TimelineScanner, LongTextBetweenTags) {
  std::string filler(300000, 'x');
  XmlPtr xml = fromText("<a>" + filler + "<b>\n" + filler);
  EXPECT_EQ(allTags(xml.get()), (std::vector<std::string>{"<a>", "<b>"}));
}

TEST(TimelineScanner, MemoryDocumentKeepsBytesAndEndsInNul) {
  XmlPtr xml = fromText("<a>", 1234);
  ASSERT_NE(xml, nullptr);
  EXPECT_EQ(xml->textLength, 3u);
  EXPECT_EQ(xml->cursor, 0u);
  EXPECT_EQ(xml->fetchTime, 1234);
  EXPECT_EQ(std::string(xml->text.get()), "<a>");
  closeXML(nullptr);
}

TEST(TimelineScanner, TagTypes) {
  const std::pair<const char*, TagType> cases[] = {
      {"</resp>", RespEnd},
      {"<SemiLive offset=\"1\">", SemiLiveStart},
      {"<SemiLive>", Other},  // without attributes
      {"<SemiLive\toffset=\"1\">", Other},
      {"</SemiLive>", SemiLiveEnd},
      {"<vod pliid=\"3\">", VodStart},
      {"<VOD pliid=\"3\">", Other},
      {"</vod>", VodEnd},
      {"<srcreq url=\"u\">", SrcReq},
      {"<srcreq/>", Other},
      {"</resp", Other},
      {"<resp>", Other},
      {"", Other},
  };
  for (const auto& [tag, type] : cases) EXPECT_EQ(getXMLTagType(tag), type) << tag;
}

TEST(TimelineScanner, AttributeValues) {
  struct Case {
    const char* tag;
    const char* key;
    std::optional<std::string> text;
    int32_t number;
  };
  const Case cases[] = {
      {R"(<srcreq url="http://h/v.flv" quality="5">)", "url=", "http://h/v.flv", 0},
      {R"(<srcreq url="http://h/v.flv" quality="5">)", "quality=", "5", 5},
      {R"(<srcreq thumburl="first" url="second">)", "url=", "second", 0},  // whole names only
      {R"(<srcreq title='say url="x"' url = "y">)", "url=", "y", 0},        // not inside a value
      {R"(<srcreq url='abc' q="1">)", "url=", "abc", 0},                    // single quotes
      {R"(<SemiLive offset='42'>)", "offset=", "42", 42},
      {R"(<srcreq url="v?a=1&amp;b=2&#38;c=&#x33;">)", "url=", "v?a=1&b=2&c=3", 0},
      {R"(<srcreq url="&lt;&gt;&quot;&apos;&#xE9;&#x1F600;">)", "url=", "<>\"'\xC3\xA9\xF0\x9F\x98\x80", 0},
      {R"(<srcreq url="a&b&foo;&#0;&#xD800;&#x110000;&#12">)", "url=", "a&b&foo;&#0;&#xD800;&#x110000;&#12", 0},
      {R"(<srcreq broken url="x">)", "url=", std::nullopt, -1},  // no attribute after what is none
      {R"(<vod id="1">)", "pliid=", std::nullopt, -1},   // missing
      {R"(<vod pliid="">)", "pliid=", std::nullopt, -1},  // empty
      {R"(<vod pliid="abc">)", "pliid=", "abc", 0},
      {R"(<vod pliid="-5">)", "pliid=", "-5", -5},
      {R"(<vod pliid=" +7x">)", "pliid=", " +7x", 7},
      {R"(<vod pliid="99999999999">)", "pliid=", "99999999999", INT32_MAX},
      {R"(<vod pliid="-99999999999">)", "pliid=", "-99999999999", INT32_MIN},
      {R"(<vod pliid="12)", "pliid=", "12", 12},  // no closing quote
      {R"(<vod pliid=")", "pliid=", std::nullopt, -1},
      {R"(<vod pliid=)", "pliid=", std::nullopt, -1},
  };
  for (const Case& c : cases) {
    const HeapText value = getXMLParam_c(c.tag, c.key);
    EXPECT_EQ(value.empty() ? std::nullopt : std::optional<std::string>(str(value)), c.text) << c.tag << " " << c.key;
    EXPECT_EQ(getXMLParam_i(c.tag, c.key), c.number) << c.tag << " " << c.key;
  }
}

// Serves one body and collects the log while a download runs.
class TimelineDownloadTest : public ::testing::Test {
 protected:
  XmlPtr download(fakehttp::Script script) {
    server_.route("/t.xml", std::move(script));
    return XmlPtr(openChannelXML(server_.url("/t.xml").c_str()));
  }
  void expectDocument(const XmlPtr& xml, const std::string& body) {
    ASSERT_NE(xml, nullptr);
    ASSERT_EQ(xml->textLength, body.size());
    EXPECT_EQ(std::string(xml->text.get(), xml->textLength), body);
    EXPECT_EQ(xml->text[xml->textLength], '\0');
    EXPECT_EQ(xml->cursor, 0u);
  }

  fakehttp::FakeHttpServer server_;
  testsupport::LogCapture log_{ERROR};
};

std::string patterned(size_t size) {
  std::string body(size, ' ');
  for (size_t i = 0; i < size; ++i) body[i] = static_cast<char>('a' + (i * 7 + i / 4096) % 26);
  return body;
}

TEST_F(TimelineDownloadTest, ExactlyOneReadGrowsOnceForTheNul) {
  std::string body = patterned(kTimelineReadSize);
  XmlPtr xml = download(fakehttp::Script::ok(body));
  expectDocument(xml, body);
  EXPECT_EQ(xml->capacity, 2 * kTimelineReadSize + 1);
}

TEST_F(TimelineDownloadTest, SeveralMegabytesArriveWhole) {
  std::string body = "<resp>" + patterned(3 * kTimelineReadSize + 12345) + "</resp>";
  XmlPtr xml = download(fakehttp::Script::ok(body));
  expectDocument(xml, body);
  EXPECT_EQ(xml->capacity, 4 * kTimelineReadSize + 1);
}

// An empty body is a document (of no entries); a body cut short of its
// Content-Length, whether closed, reset or stalled, is none: it may come
// whole at the next try. Without a Content-Length the close ends it.
TEST_F(TimelineDownloadTest, EmptyBodiesAreKeptCutOnesMayPass) {
  XmlPtr empty = download(fakehttp::Script::ok(""));
  expectDocument(empty, "");
  EXPECT_TRUE(getXMLTag(empty.get()).empty());

  for (fakehttp::Script cut : {fakehttp::Script::response(200, {"Content-Length: 5000"}, "<resp><vod pl").close(),
                               fakehttp::Script::response(200, {"Content-Length: 14"}, "<resp><vod pl").reset()}) {
    log_.clear();
    server_.enqueue(cut);
    FetchFailure failure = FetchFailure::kNone;
    EXPECT_EQ(openChannelXML(server_.url("/cut.xml").c_str(), &failure), nullptr);
    EXPECT_EQ(failure, FetchFailure::kMayPass);
    EXPECT_NE(log_.text().find("openChannelXML, the document broke off at byte "), std::string::npos);
  }

  server_.enqueue(fakehttp::Script::response(200, {}, "<resp><vod pl").close());
  XmlPtr unsized(openChannelXML(server_.url("/cut.xml").c_str()));
  expectDocument(unsized, "<resp><vod pl");
}

TEST_F(TimelineDownloadTest, FetchTimeIsTakenBeforeTheBody) {
  fakehttp::Script script;
  script.send("HTTP/1.0 200 OK\r\nContent-Length: 7\r\n\r\n").pause(3000).send("<resp/>");
  XmlPtr xml = download(std::move(script));
  time_t after = time(nullptr);
  expectDocument(xml, "<resp/>");
  EXPECT_LE(xml->fetchTime + 2, after);
}

TEST_F(TimelineDownloadTest, FailuresGiveNull) {
  server_.route("/missing.xml", fakehttp::Script::status(404));
  EXPECT_EQ(openChannelXML(server_.url("/missing.xml").c_str()), nullptr);

}

// A player has little memory: a document of the upper bound still arrives
// whole, one byte more is refused with one line, whatever the service says
// about its length.
TEST_F(TimelineDownloadTest, DocumentsBeyondFourMegabytesAreRefused) {
  const std::string largest = patterned(kTimelineMaxSize);
  XmlPtr xml = download(fakehttp::Script::ok(largest));
  expectDocument(xml, largest);
  EXPECT_LE(xml->capacity, kTimelineMaxSize + 2);

  log_.clear();
  XmlPtr huge = download(fakehttp::Script::ok(largest + "x"));
  EXPECT_EQ(huge, nullptr);
  EXPECT_EQ(log_.text(), "ERROR: openChannelXML, document larger than 4194304 bytes.\n");
}

}  // namespace
