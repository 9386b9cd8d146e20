#include "timeline/playlist.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "support/fake_http.h"
#include "support/text_print.h"

namespace {

using Entries = std::vector<std::pair<std::string, int32_t>>;

TimelinePtr parse(const std::string& doc, time_t fetchTime = 0) {
  XmlPtr xml(openXMLText(doc.data(), doc.size(), fetchTime));
  if (!xml) return nullptr;
  return TimelinePtr(parseEPGData(xml.get()));
}

Entries entriesOf(const Timeline* timeline) {
  Entries entries;
  if (timeline == nullptr) return entries;
  for (int32_t i = 0; i < timeline->entryCount(); ++i) {
    const TimelineEntry& entry = timeline->entries[static_cast<size_t>(i)];
    entries.emplace_back(str(entry.url), entry.pliid);
  }
  return entries;
}

std::string src(const std::string& attributes) { return "<srcreq " + attributes + "></srcreq>\n"; }

std::string semiLive(const std::string& body, const std::string& open = R"(<SemiLive offset="30">)") {
  return "<?xml version=\"1.0\"?>\n<resp status=\"ok\">\n" + open + "\n" + body + "</SemiLive>\n</resp>\n";
}

TEST(TimelinePlaylist, SourceChoiceWithinOneVod) {
  struct Case {
    const char* name;
    std::vector<std::string> sources;
    std::string url;  // "" when the vod gives no entry
  };
  const Case cases[] = {
      {"quality ties keep the first",
       {src(R"(url="q2" quality="2" format="3" drmtype="0")"), src(R"(url="q5a" quality="5" format="3" drmtype="0")"),
        src(R"(url="q5b" quality="5" format="3" drmtype="0")"), src(R"(url="q3" quality="3" format="3" drmtype="0")")},
       "q5a"},
      {"quality 0 is taken", {src(R"(url="z" quality="0" format="3" drmtype="0")")}, "z"},
      {"other format", {src(R"(url="a" quality="5" format="2" drmtype="0")")}, ""},
      {"drm", {src(R"(url="a" quality="5" format="3" drmtype="1")")}, ""},
      {"no drmtype", {src(R"(url="a" quality="5" format="3")")}, ""},
      {"no quality", {src(R"(url="a" format="3" drmtype="0")")}, ""},
      {"taken source without url drops the earlier choice",
       {src(R"(url="a" quality="1" format="3" drmtype="0")"), src(R"(quality="4" format="3" drmtype="0")"),
        src(R"(url="c" quality="3" format="3" drmtype="0")")},
       ""},
      {"url by its whole name, in single quotes, references decoded",
       {src(R"(thumburl="t.jpg" url='http://h/v.flv?a=1&amp;b=2' quality="1" format="3" drmtype="0")")},
       "http://h/v.flv?a=1&b=2"},
      {"a url with a space or control character is passed over",
       {src(R"(url="http://h/a b.flv" quality="2" format="3" drmtype="0")"),
        src(R"(url="http://h/c&#10;.flv" quality="3" format="3" drmtype="0")"),
        src(R"(url="http://h/ok.flv" quality="1" format="3" drmtype="0")")},
       "http://h/ok.flv"},
  };
  for (const Case& c : cases) {
    std::string vod = "<vod pliid=\"9\">\n";
    for (const std::string& source : c.sources) vod += source;
    TimelinePtr timeline = parse(semiLive(vod + "</vod>\n"));
    Entries expected;
    if (!c.url.empty()) expected.emplace_back(c.url, 9);
    EXPECT_EQ(entriesOf(timeline.get()), expected) << c.name;
  }
}

TEST(TimelinePlaylist, OffsetAndPliidAttributes) {
  struct Case {
    const char* semiLiveTag;
    const char* vodTag;
    int32_t offset, pliid;
  };
  const Case cases[] = {
      {R"(<SemiLive offset="125">)", R"(<vod pliid="77">)", 125, 77},
      {R"(<SemiLive id="1">)", R"(<vod id="1">)", -1, -1},
      {R"(<SemiLive offset="">)", R"(<vod pliid="">)", -1, -1},
      {R"(<SemiLive offset="-1">)", R"(<vod pliid="-1">)", -1, -1},
      {R"(<SemiLive offset="soon">)", R"(<vod pliid="x1">)", 0, 0},
  };
  for (const Case& c : cases) {
    std::string vod = std::string(c.vodTag) + src(R"(url="u" quality="1" format="3" drmtype="0")") + "</vod>";
    TimelinePtr timeline = parse(semiLive(vod, c.semiLiveTag), 555);
    ASSERT_NE(timeline, nullptr) << c.semiLiveTag;
    EXPECT_EQ(timeline->offset, c.offset) << c.semiLiveTag;
    EXPECT_EQ(entriesOf(timeline.get()), (Entries{{"u", c.pliid}})) << c.vodTag;
    EXPECT_EQ(timeline->fetchTime, 555);
  }
}

std::string vod(int pliid, const std::string& url) {
  return "<vod pliid=\"" + std::to_string(pliid) + "\">" + src("url=\"" + url + R"(" quality="2" format="3" drmtype="0")") +
         "</vod>\n";
}

TEST(TimelinePlaylist, DocumentStructure) {
  struct Case {
    const char* name;
    std::string doc;
    Entries entries;
  };
  const Case cases[] = {
      {"vods in order", semiLive(vod(1, "a") + "text" + vod(2, "b") + vod(3, "c")), {{"a", 1}, {"b", 2}, {"c", 3}}},
      {"vod outside SemiLive is ignored", "<resp>" + vod(1, "a") + R"(<SemiLive offset="1">)" + vod(2, "b"),
       {{"b", 2}}},
      {"SemiLive without attributes is not recognised", "<resp><SemiLive>" + vod(1, "a") + "</SemiLive></resp>", {}},
      {"parse ends at the first </SemiLive>",
       semiLive(vod(1, "a")) + R"(<SemiLive offset="2">)" + vod(2, "b") + "</SemiLive>", {{"a", 1}}},
      {"parse ends at </resp>", R"(<SemiLive offset="1">)" + vod(1, "a") + "</resp>" + vod(2, "b"), {{"a", 1}}},
      {"an unclosed vod gives no entry", semiLive(vod(1, "a") + R"(<vod pliid="2">)" +
                                                  src(R"(url="b" quality="2" format="3" drmtype="0")")),
       {{"a", 1}}},
      {"no playable video", semiLive(R"(<vod pliid="1"></vod>)"), {}},
      {"empty document", "", {}},
  };
  for (const Case& c : cases) {
    TimelinePtr timeline = parse(c.doc);
    EXPECT_EQ(timeline == nullptr, c.entries.empty()) << c.name;
    EXPECT_EQ(entriesOf(timeline.get()), c.entries) << c.name;
  }
}

// However the document is cut, the parse must not fail and must give the
// entries of the vods complete before the cut.
TEST(TimelinePlaylist, EveryPrefixGivesAPrefixOfTheEntries) {
  const std::string doc = semiLive(vod(1, "http://h/1.flv") + vod(2, "http://h/2.flv?x=1&amp;y") +
                                   "<vod pliid=\"3\">" + src(R"(url="low" quality="1" format="3" drmtype="0")") +
                                   src(R"(url="high" quality="9" format="3" drmtype="0")") + "</vod>");
  const Entries full = entriesOf(parse(doc).get());
  ASSERT_EQ(full.size(), 3u);
  size_t lastCount = 0;
  for (size_t length = 0; length <= doc.size(); ++length) {
    Entries got = entriesOf(parse(doc.substr(0, length)).get());
    ASSERT_LE(got.size(), full.size()) << length;
    ASSERT_GE(got.size(), lastCount) << "entries vanished at length " << length;
    EXPECT_TRUE(std::equal(got.begin(), got.end(), full.begin())) << length;
    lastCount = got.size();
  }
  EXPECT_EQ(lastCount, full.size());
}

TEST(TimelinePlaylist, NullArgumentsAreAccepted) {
  closeEPGData(nullptr);
  EXPECT_EQ(parseEPGData(nullptr), nullptr);
}

TEST(TimelinePlaylist, DownloadsAndParses) {
  fakehttp::FakeHttpServer server;
  server.route("/tl.xml", fakehttp::Script::ok(semiLive(vod(4, "http://h/4.flv"))));
  server.route("/gone.xml", fakehttp::Script::status(404));
  time_t before = time(nullptr);
  TimelinePtr timeline(openEPGData(server.url("/tl.xml").c_str()));
  ASSERT_NE(timeline, nullptr);
  EXPECT_EQ(entriesOf(timeline.get()), (Entries{{"http://h/4.flv", 4}}));
  EXPECT_EQ(timeline->offset, 30);
  EXPECT_GE(timeline->fetchTime, before);
  EXPECT_EQ(openEPGData(server.url("/gone.xml").c_str()), nullptr);
}

}  // namespace
