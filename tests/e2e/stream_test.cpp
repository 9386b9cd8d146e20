// The proxy program against a real nginx as the video service: channel
// streams checked tag by tag against their source files, the relay, the
// request answers, players that leave, and a stop in the middle of a stream.

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <sstream>
#include <thread>

#include "e2e/e2e_fixture.h"
#include "stream/ts_reader.h"
#include "stream/ts_writer.h"
#include "support/flv.h"
#include "support/name_server.h"
#include "support/process.h"
#include "support/stream_check.h"
#include "support/tcp_client.h"
#include "support/test_ca.h"

using namespace testsupport;

namespace {

class ProxyStreamTest : public E2eTest<ProxyStreamTest> {
 public:
  static std::map<std::string, SampleRecipe> recipes() {
    return {
        {"a", {SampleCodec::H264Aac, 6, 2, "testsrc", 440}},
        {"b", {SampleCodec::H264Aac, 4, 2, "testsrc2", 660}},
        {"c", {SampleCodec::SorensonMp3, 4, 2, "smptebars", 550}},
        {"d", {SampleCodec::H264Aac, 4, 2, "rgbtestsrc", 880}},
        // About 300 KB/s: its first ten seconds go out at once and fill the socket buffers.
        {"big", {SampleCodec::H264Aac, 6, 2, "testsrc2", 440, "1280x720"}},
    };
  }

 protected:
  // Channel `channel` of the samples `names`, pliids 1, 2, ...; the service
  // started, and `player` (with its receive buffer, 0 for the default)
  // asking for the channel.
  void playChannel(TcpClient& player, int channel, const std::vector<std::string>& names, int receiveBuffer = 0) {
    std::vector<TimelineItem> items;
    for (const std::string& name : names) items.push_back({videoUrl(name), static_cast<int>(items.size()) + 1});
    ASSERT_TRUE(putChannel(channel, items));
    ASSERT_NO_FATAL_FAILURE(startService());
    ASSERT_TRUE(player.connect(proxy_->port(), receiveBuffer));
    ASSERT_TRUE(player.send("GET /tv?id=" + std::to_string(channel) + " HTTP/1.0\r\n\r\n"));
  }
};

struct ChannelCase {
  const char* name;
  std::vector<TimelineItem> items;      // urls are paths on the service, filled in below
  std::vector<std::string> expected;    // the samples the player gets, in order
};

// Each case plays its timeline once and into the fresh download after it.
TEST_F(ProxyStreamTest, ChannelIsEveryVideoInTimelineOrderJoinedSeamlessly) {
  const ChannelCase cases[] = {
      {"in order, then downloaded again",
       {{"/v/a.flv", 1}, {"/v/b.flv", 2}, {"/v/c.flv", 3}},
       {"a", "b", "c", "a"}},
      // pliid 0 equals the initial current pliid; 4,4 repeats; after the
      // re-download the pliid-0 entry differs from the current 6.
      {"repeated pliids passed over",
       {{"/v/c.flv", 0}, {"/v/a.flv", 4}, {"/v/b.flv", 4}, {"/v/b.flv", 6}},
       {"a", "b", "c", "a"}},
      {"sources behind redirects",
       {{"/r302/a.flv", 1}, {"/r307/b.flv", 2}},
       {"a", "b", "a"}},
  };
  nginx_->addRedirect("/r302/a.flv", 302, videoUrl("a"));
  nginx_->addRedirect("/r307/b.flv", 307, nginx_->url("/r302/b.flv"));
  nginx_->addRedirect("/r302/b.flv", 302, videoUrl("b"));
  int channel = 10;
  for (const auto& c : cases) {
    std::vector<TimelineItem> items;
    for (const auto& item : c.items) items.push_back({nginx_->url(item.url), item.pliid});
    ASSERT_TRUE(putChannel(++channel, items));
  }
  ASSERT_NO_FATAL_FAILURE(startService());

  channel = 10;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string target = "/tv?id=" + std::to_string(++channel);
    // Of the fresh list only its first tags: the stream keeps pace with the clock.
    std::vector<Played> expected = plays(c.expected);
    expected.back().endTag = 10;
    std::string answer;
    std::string stream = readStream(proxy_->port(), target, streamBytes(expected), 60s, &answer);
    EXPECT_EQ(answer, kAnswer200);
    EXPECT_EQ(streamMismatch(stream, expected), "");
    // The last play lies in the second copy of the list; the proxy may have
    // run ahead of the reader into a third one before the player left.
    EXPECT_GE(nginx_->countRequests("/live/semichannel/timeline/?id=" + std::to_string(channel) +
                                    " HTTP"),
              2);
  }
}

// A failed re-download is the one way a channel stream ends by itself.
TEST_F(ProxyStreamTest, ChannelEndsWhenTheTimelineIsGone) {
  // Served slowly (about four seconds for the file), so that the timeline is
  // surely gone before the proxy comes to download it again.
  size_t bytesPerSecond = readFile(samples_.at("b").path).size() / 4 + 1;
  nginx_->addConfig("location /slow/ { alias " + nginx_->root() + "/v/; limit_rate " +
                    std::to_string(bytesPerSecond) + "; }");
  ASSERT_TRUE(putChannel(5, {{nginx_->url("/slow/b.flv"), 1}}));
  ASSERT_NO_FATAL_FAILURE(startService());
  TcpClient player;
  ASSERT_TRUE(player.connect(proxy_->port()));
  ASSERT_TRUE(player.send("GET /tv?id=5 HTTP/1.0\r\n\r\n"));
  std::string received;
  player.read(received, kAnswer200.size() + 9, 30s);  // the video is open
  ASSERT_TRUE(nginx_->removeTimeline(5));
  EXPECT_TRUE(player.readToEnd(received, 60s));
  ASSERT_EQ(received.substr(0, kAnswer200.size()), kAnswer200);
  std::string stream = received.substr(kAnswer200.size());
  EXPECT_EQ(streamMismatch(stream, plays({"b"})), "");
  FlvStream flv = parseFlv(stream);
  EXPECT_EQ(flv.tags.size(), samples_.at("b").flv.tags.size());
  EXPECT_TRUE(flv.trailing.empty());
}

// Over http and https alike: from a server that speaks TLS 1.3 alone (an
// EC certificate), one that speaks TLS 1.2 alone (an RSA one, from a
// second CA in the same trust file), and through redirects from http to
// https (301) and back (308).
TEST_F(ProxyStreamTest, RelayPassesBodiesOnByteForByte) {
  std::string body(3 * 1024 * 1024 + 12345, '\0');
  std::mt19937 random(7);
  for (auto& byte : body) byte = static_cast<char>(random());
  TestCa ca, rsaCa(KeyKind::kRsa);
  ASSERT_TRUE(ca.ok() && rsaCa.ok()) << ca.error() << rsaCa.error();
  const auto cert = ca.issue("IP:127.0.0.1");
  const auto rsaCert = rsaCa.issue("IP:127.0.0.1");
  ASSERT_TRUE(cert && rsaCert) << ca.error() << rsaCa.error();
  const std::string trust = ca.certFile() + ".both";
  ASSERT_TRUE(writeFile(trust, readFile(ca.certFile()) + readFile(rsaCa.certFile())));
  Nginx tls13(freeLoopbackPort()), tls12(freeLoopbackPort());
  tls13.enableTls(cert->certFile, cert->keyFile, "TLSv1.3");
  tls12.enableTls(rsaCert->certFile, rsaCert->keyFile, "TLSv1.2");
  for (const Nginx* server : {nginx_.get(), &tls13, &tls12}) ASSERT_TRUE(server->putFile("/files/big.bin", body));
  nginx_->addRedirect("/moved/big.bin", 302, nginx_->url("/files/big.bin"));
  nginx_->addRedirect("/up/big.bin", 301, tls13.url("/across/big.bin"));
  tls13.addRedirect("/across/big.bin", 308, nginx_->url("/files/big.bin"));
  nginx_->addRedirect("/signed/big.bin", 302, "/files/big.bin?token=T");  // relative, with a query of its own
  ASSERT_TRUE(tls13.start()) << tls13.error();
  ASSERT_TRUE(tls12.start()) << tls12.error();
  ASSERT_NO_FATAL_FAILURE(startService({"--ca-file", trust}));
  for (const std::string& url : {nginx_->url("/files/big.bin"), nginx_->url("/moved/big.bin"),
                                 tls13.url("/files/big.bin"), nginx_->url("/up/big.bin"),
                                 nginx_->url("/signed/big.bin?sig=S")}) {
    SCOPED_TRACE(url);
    HttpReply reply = httpGet(proxy_->port(), "/x?li=" + url, 60s);
    EXPECT_TRUE(reply.closed);
    // With the source's length, so that a player knows where the file ends.
    EXPECT_EQ(reply.header(), "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                                  std::string(kAnswer200.substr(15)));
    EXPECT_TRUE(reply.body() == body) << "body of " << reply.body().size() << " bytes differs";
  }
  EXPECT_EQ(nginx_->countRequests("GET /up/big.bin HTTP/1.0 301"), 1);
  EXPECT_EQ(tls13.countRequests("GET /across/big.bin HTTP/1.0 308"), 1);
  // The signed location as written, the first query to nobody else; the
  // host named with its port.
  const std::string host = " 127.0.0.1:" + std::to_string(nginx_->port()) + "\n";
  EXPECT_NE(nginx_->accessLog().find("GET /files/big.bin?token=T HTTP/1.0 200 " + std::to_string(body.size()) + host),
            std::string::npos)
      << nginx_->accessLog();
  EXPECT_EQ(nginx_->countRequests("sig=S"), 1);

  // A player that seeks asks for a range: it goes on to the source, and the
  // source's part comes back with its place in the whole.
  for (const std::string& url : {nginx_->url("/files/big.bin"), tls12.url("/files/big.bin")}) {
    SCOPED_TRACE(url);
    HttpReply reply = testsupport::httpExchange(
        proxy_->port(), "GET /x?li=" + url + " HTTP/1.0\r\nRange: bytes=3000000-\r\n\r\n", 60s);
    const std::string last = std::to_string(body.size() - 1);
    EXPECT_EQ(reply.header(), "HTTP/1.0 206 Partial Content\r\nContent-Length: " +
                                  std::to_string(body.size() - 3000000) + "\r\nContent-Range: bytes 3000000-" +
                                  last + "/" + std::to_string(body.size()) + std::string(kAnswer200.substr(15)));
    EXPECT_TRUE(reply.body() == body.substr(3000000)) << "body of " << reply.body().size() << " bytes differs";
  }
  // So does ffmpeg, asked to start 4 s into a video: it asks for a range
  // from the start, as for every place it seeks to, and gets the source's 206.
  std::string output;
  auto status = runProgram({"ffmpeg", "-nostdin", "-hide_banner", "-ss", "4", "-i",
                            "http://127.0.0.1:" + std::to_string(proxy_->port()) + "/x?li=" + videoUrl("a"),
                            "-frames:v", "10", "-f", "null", "-"},
                           60s, &output);
  ASSERT_TRUE(status.has_value()) << output;
  EXPECT_TRUE(status->exited && status->code == 0) << describe(status) << output;
  EXPECT_GE(nginx_->countRequests("/v/a.flv HTTP/1.0 206"), 1) << nginx_->accessLog();
  // Each TLS server spoke the one version it was given (the log complete once the proxy has ended).
  const auto stopped = proxy_->stop();
  EXPECT_TRUE(stopped && stopped->exited && stopped->code == 0) << describe(stopped);
  for (const char* version : {"TLSv1.3", "TLSv1.2"}) {
    EXPECT_NE(proxy_->log().find(std::string("tlsConnect: ") + version + " with 127.0.0.1"), std::string::npos)
        << version;
  }
}

// The device root that the emulator command in ZTV_PROXY_EMULATOR gives the
// program ("-L DIR"), or "" when it runs on this machine's own files.
std::string deviceRoot() {
  const char* emulator = std::getenv("ZTV_PROXY_EMULATOR");
  std::istringstream words(emulator != nullptr ? emulator : "");
  for (std::string word; words >> word;) {
    if (word == "-L" && words >> word) return word;
  }
  return "";
}

// The first field after `key` on a line of `text` that starts with `key`.
std::string fieldAfter(const std::string& text, const std::string& key) {
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string first, second;
    if (words >> first >> second && first == key) return second;
  }
  return "";
}

// On a device that holds nothing but etc/hosts and etc/resolv.conf, the
// program resolves a name from the one and one answered by the name server
// the other names (the test's own, on loopback): both relays reach nginx.
TEST_F(ProxyStreamTest, RelayResolvesNamesWithOnlyHostsAndResolvConfOnTheDevice) {
  const std::string root = deviceRoot();
  const std::string server = fieldAfter(readFile(root + "/etc/resolv.conf"), "nameserver");
  if (root.empty() || server.rfind("127.", 0) != 0) {
    // Here the program would read this machine's resolv.conf, which points off the machine.
    GTEST_SKIP() << "no device root with a loopback name server (run with the emulated release binaries)";
  }
  const std::string hostsName = fieldAfter(readFile(root + "/etc/hosts"), "127.0.0.1");
  const std::string dnsName = "videos.dns.test";
  ASSERT_NE(hostsName, "") << "no name for 127.0.0.1 in " << root << "/etc/hosts";
  NameServer names(server, dnsName, "127.0.0.1");
  ASSERT_TRUE(names.start()) << names.error();
  ASSERT_TRUE(nginx_->putFile("/files/named.txt", "reached by name"));
  ASSERT_NO_FATAL_FAILURE(startService());
  for (const std::string& host : {hostsName, dnsName}) {
    const std::string url = "http://" + host + ":" + std::to_string(nginx_->port()) + "/files/named.txt";
    HttpReply reply = httpGet(proxy_->port(), "/x?li=" + url, 30s);
    EXPECT_EQ(reply.body(), "reached by name") << url;
  }
  EXPECT_GE(names.queriesFor(dnsName), 1);
  EXPECT_EQ(names.queriesFor(hostsName), 0) << hostsName << " was not taken from the hosts file";
}

TEST_F(ProxyStreamTest, BadRequestsGet404OrNoAnswerAndTheNextIsServed) {
  ASSERT_TRUE(nginx_->putFile("/files/small.txt", "small body"));
  ASSERT_NO_FATAL_FAILURE(startService());
  const struct {
    std::string request;
    std::string_view answer;
  } cases[] = {
      {"GET /tv?id=0 HTTP/1.0\r\n\r\n", kAnswer404},
      {"GET /tv?id= HTTP/1.0\r\n\r\n", kAnswer404},
      {"GET /tv HTTP/1.0\r\n\r\n", kAnswer404},
      {"GET /tv?ID=12 HTTP/1.0\r\n\r\n", kAnswer404},
      {"GET tv?id=12 HTTP/1.0\r\n\r\n", kAnswer404},
      {"POST /tv?id=12 HTTP/1.0\r\nContent-Length: 3\r\n\r\nabc",
       "HTTP/1.0 405 Method Not Allowed\r\nServer: Zomak TV Proxy Server for Pendrake \r\nAllow: GET, HEAD \r\n"
       "Content-Length: 0 \r\nConnection: close \r\n\r\n"},
      {"PUSH /tv?id=12 HTTP/1.0\r\n\r\n",
       "HTTP/1.0 501 Not Implemented\r\nServer: Zomak TV Proxy Server for Pendrake \r\nContent-Length: 0 \r\n"
       "Connection: close \r\n\r\n"},
      {"HEAD /x?li=http://127.0.0.1:1/ HTTP/1.0\r\n\r\n", kAnswer404},  // nothing listens there
      {"get /tv?id=12 HTTP/1.0\r\n\r\n", ""},
      {"GET /x?li=" + nginx_->url("/files/missing.txt") + " HTTP/1.0\r\n\r\n", kAnswer404},  // at once
      // A control byte in the target: nothing is asked of anyone.
      {"GET /x?li=" + nginx_->url("/files/small.txt\rX-CR: 1") + " HTTP/1.0\r\n\r\n", kAnswer400},
      {"GET /x?li=" + nginx_->url("/files/small.txt\tX") + " HTTP/1.0\r\n\r\n", kAnswer400},
      {"GET /x?li=" + nginx_->url("/files/small.txt\x7f") + " HTTP/1.0\r\n\r\n", kAnswer400},
      {"", ""},  // nothing sent: closed after the five-second wait
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request);
    HttpReply reply = httpExchange(proxy_->port(), c.request, 30s);
    EXPECT_TRUE(reply.closed);
    EXPECT_EQ(reply.raw, c.answer);
  }
  // A channel whose timeline does not exist: 200, then nothing.
  HttpReply missing = httpGet(proxy_->port(), "/tv?id=999", 30s);
  EXPECT_TRUE(missing.closed);
  EXPECT_EQ(missing.raw, kAnswer200);
  HttpReply next = httpGet(proxy_->port(), "/x?li=" + nginx_->url("/files/small.txt"), 30s);
  EXPECT_EQ(next.body(), "small body");
  EXPECT_EQ(nginx_->countRequests("small.txt"), 1);
  EXPECT_NE(proxy_->log().find("receiveHttpData, File not found, /tv\n"), std::string::npos);
  EXPECT_NE(proxy_->log().find("receiveHttpData: No request header received/unsupported method\n"),
            std::string::npos);
  EXPECT_NE(proxy_->log().find("receiveHttpData, Bad request: a control byte in the request target\n"),
            std::string::npos);
}

// Reads a page back as its clients read it (python3's own parsers) and
// prints what the test compares: "ok" lines and the names found.
constexpr char kPageReader[] = R"PY(
import json, sys, html.parser, xml.etree.ElementTree as ET
kind, path = sys.argv[1], sys.argv[2]
text = open(path, encoding="utf-8").read()
def checks(device_id):
    table = [0xA, 0x5, 0xF, 0x6, 0x7, 0xC, 0x1, 0xB, 0x9, 0x2, 0x8, 0xD, 0x4, 0x3, 0xE, 0x0]
    n = [int(c, 16) for c in device_id]
    s = 0
    for i in range(0, 8, 2): s ^= table[n[i]] ^ n[i + 1]
    return len(device_id) == 8 and s == 0
if kind == "discover":
    d = json.loads(text)
    print("checksum ok" if checks(d["DeviceID"]) else "checksum wrong", d["DeviceID"])
    print(d["TunerCount"], d["BaseURL"], d["LineupURL"], d["FirmwareName"], d["ModelNumber"], bool(d["DeviceAuth"]))
elif kind == "lineup":
    for entry in json.loads(text): print(entry["GuideNumber"], entry["GuideName"], entry["URL"])
elif kind == "status":
    d = json.loads(text)
    print(d["players"], d["streamsRunning"], len(d["streams"]), type(d["lastErrors"]).__name__)
elif kind == "xml":
    ns = {"u": "urn:schemas-upnp-org:device-1-0"}
    root = ET.fromstring(text)
    print(root.find("u:URLBase", ns).text, root.find("u:device/u:UDN", ns).text)
elif kind == "html":
    void = {"meta", "br", "link", "img", "hr", "input"}
    class Reader(html.parser.HTMLParser):
        def __init__(self):
            super().__init__(); self.open = []; self.cells = []; self.links = []; self.bad = []
        def handle_starttag(self, tag, attrs):
            if tag == "a": self.links.append(dict(attrs)["href"])
            if tag not in void: self.open.append(tag)
            if tag == "td": self.cells.append("")
        def handle_endtag(self, tag):
            if not self.open or self.open.pop() != tag: self.bad.append(tag)
        def handle_data(self, data):
            if self.open and self.open[-1] == "td": self.cells[-1] += data
    r = Reader(); r.feed(text); r.close()
    print("well-formed" if not r.bad and not r.open and text.startswith("<!DOCTYPE html>") else "broken %s %s" % (r.bad, r.open))
    for cell in r.cells: print("cell", cell)
    for link in r.links: print("link", link)
)PY";

// `body` through the reader as `kind`; its output.
std::string readBack(const TempDir& dir, const std::string& kind, const std::string& body) {
  const std::string script = dir.file("reader.py"), page = dir.file("page");
  if (!writeFile(script, kPageReader) || !writeFile(page, body)) return "(not written)";
  std::string output;
  FILE* pipe = popen(("python3 " + script + " " + kind + " " + page + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return "(no python3)";
  char chunk[4096];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0) output.append(chunk, got);
  pclose(pipe);
  return output;
}

HttpReply pageOf(uint16_t port, const std::string& method, const std::string& target, const std::string& host = "") {
  return httpExchange(port, method + " " + target + " HTTP/1.1\r\n" + (host.empty() ? "" : "Host: " + host + "\r\n") + "\r\n", 30s);
}

// The operator's channel list, with names that would break each language,
// reaches every screen: the playlist (for the URL the asking device used),
// the tuner's JSON and XML as media servers read them, the start page as a
// browser parses it, the status for tools. HEAD answers as the GET would,
// takes nothing from the service for a channel and asks a relay's source
// with HEAD; an edit of the list shows without a restart.
TEST_F(ProxyStreamTest, ChannelListReachesEveryScreenAndHeadFetchesNothing) {
  TempDir dir;
  const std::string list = dir.file("channels.txt");
  const std::string hostile = "News, \"24\" <b>&amp;</b> 'x'";
  ASSERT_TRUE(writeFile(list, "# the house's channels\n1 " + hostile + "\n\n7 Télé 日本 🎬\n"));
  ASSERT_TRUE(nginx_->putFile("/files/head.txt", "ten bytes!"));
  ASSERT_NO_FATAL_FAILURE(startService({"--channels", list, "--players", "3"}));
  const uint16_t port = proxy_->port();
  const std::string self = "http://127.0.0.1:" + std::to_string(port);

  HttpReply m3u = pageOf(port, "GET", "/channels.m3u?transcode=native", "box.lan:8666");
  EXPECT_NE(m3u.header().find("Content-Type: audio/x-mpegurl \r\n"), std::string::npos) << m3u.header();
  const std::string m3uName = "News, '24' <b>&amp;</b> 'x'";
  EXPECT_EQ(m3u.body(), "#EXTM3U\n#EXTINF:-1 tvg-id=\"1\" tvg-chno=\"1\" tvg-name=\"" + m3uName + "\"," + m3uName +
                            "\nhttp://box.lan:8666/?id=1\n#EXTINF:-1 tvg-id=\"7\" tvg-chno=\"7\" tvg-name=\"Télé 日本 🎬\","
                            "Télé 日本 🎬\nhttp://box.lan:8666/?id=7\n");
  HttpReply tsList = pageOf(port, "GET", "/channels.m3u?format=ts", "evil.com/\"><script>");
  EXPECT_NE(tsList.body().find("\n" + self + "/?id=7&format=ts\n"), std::string::npos) << tsList.body();
  EXPECT_EQ(pageOf(port, "GET", "/channels.m3u?format=mkv").raw.substr(0, 24), "HTTP/1.0 400 Bad Request");

  const std::string discover = readBack(dir, "discover", pageOf(port, "GET", "/discover.json", "box.lan:8666").body());
  ASSERT_EQ(discover.substr(0, 12), "checksum ok ") << discover;
  const std::string deviceId = discover.substr(12, 8);
  EXPECT_EQ(discover.substr(20), "\n3 http://box.lan:8666 http://box.lan:8666/lineup.json zomaktvproxy zomaktvproxy True\n");
  EXPECT_EQ(readBack(dir, "lineup", pageOf(port, "GET", "/lineup.json").body()),
            "1 " + hostile + " " + self + "/?id=1&format=ts\n7 Télé 日本 🎬 " + self + "/?id=7&format=ts\n");
  EXPECT_NE(pageOf(port, "GET", "/lineup_status.json").body().find("\"ScanInProgress\":0"), std::string::npos);
  EXPECT_EQ(readBack(dir, "xml", pageOf(port, "GET", "/device.xml").body()), self + " uuid:" + deviceId + "\n");
  EXPECT_EQ(readBack(dir, "status", pageOf(port, "GET", "/status.json").body()), "3 0 0 list\n");

  const std::string start = readBack(dir, "html", pageOf(port, "GET", "/?x=1").body());
  EXPECT_EQ(start.substr(0, 11), "well-formed") << start;
  for (const std::string& line : {"cell " + hostile, std::string("cell Télé 日本 🎬"), "link " + self + "/?id=7&format=ts",
                                  "link " + self + "/channels.m3u"}) {
    EXPECT_NE(start.find("\n" + line + "\n"), std::string::npos) << line << "\n" << start;
  }

  // HEAD: the GET's status line and headers, no body; nothing for a channel reaches the service.
  const std::string flvBlock(kAnswer200);
  EXPECT_EQ(pageOf(port, "HEAD", "/tv?id=1").raw, flvBlock);
  std::string tsBlock = flvBlock;
  tsBlock.replace(tsBlock.find("Video/MPEG"), 10, "video/mp2t");
  EXPECT_EQ(pageOf(port, "HEAD", "/?id=7&format=ts").raw, tsBlock);
  const HttpReply headPage = pageOf(port, "HEAD", "/lineup.json");
  EXPECT_EQ(headPage.body(), "");
  EXPECT_NE(headPage.header().find("Content-Length: " + std::to_string(pageOf(port, "GET", "/lineup.json").body().size())),
            std::string::npos);
  EXPECT_EQ(nginx_->countRequests("/live/semichannel/timeline"), 0) << nginx_->accessLog();
  // The GET of a channel without a timeline: the same answer, then nothing.
  EXPECT_EQ(pageOf(port, "GET", "/?id=7&format=ts").raw, tsBlock);
  const std::string relayed = "/x?li=" + nginx_->url("/files/head.txt");
  EXPECT_EQ(pageOf(port, "HEAD", relayed).raw, "HTTP/1.0 200 OK\r\nContent-Length: 10" + flvBlock.substr(15));
  // nginx writes its access log line after its answer, so it may come a moment after ours.
  for (int i = 0; i < 50 && nginx_->countRequests("HEAD /files/head.txt HTTP/1.0 200") == 0; ++i) {
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_EQ(nginx_->countRequests("HEAD /files/head.txt HTTP/1.0 200"), 1) << nginx_->accessLog();
  EXPECT_EQ(nginx_->countRequests("GET /files/head.txt"), 0) << nginx_->accessLog();
  EXPECT_EQ(pageOf(port, "HEAD", "/x?li=" + nginx_->url("/files/none.txt")).raw, kAnswer404);

  // A scan request is taken (its body read); an edit shows at once, a broken one keeps the list.
  const HttpReply scan = httpExchange(port, "POST /lineup.post?scan=start HTTP/1.1\r\nContent-Length: 4\r\n\r\nscan", 30s);
  EXPECT_EQ(scan.raw.substr(0, 15), "HTTP/1.0 200 OK");
  ASSERT_TRUE(writeFile(list, "1 One\n2 Two\n"));
  EXPECT_NE(pageOf(port, "GET", "/channels.m3u").body().find("tvg-name=\"Two\",Two\n"), std::string::npos);
  ASSERT_TRUE(writeFile(list, "1 One\nTwo\n"));
  EXPECT_NE(pageOf(port, "GET", "/lineup.json").body().find("\"GuideName\":\"Two\""), std::string::npos);
  EXPECT_NE(pageOf(port, "GET", "/status.json").body().find("channels.txt:2: no channel id"), std::string::npos);
}

// Players of one channel share its one upstream, whatever their form: one
// that joins on air gets its own stream from the newest keyframe, from 0;
// the first may leave without disturbing the others; once all have left the
// upstream closes, and the next player starts the channel afresh.
TEST_F(ProxyStreamTest, PlayersOfAChannelShareItsUpstreamAndLeaveFreely) {
  // 20 s of programme: the list is downloaded again only after ten seconds.
  TcpClient first, joiner, tsJoiner;
  ASSERT_NO_FATAL_FAILURE(playChannel(first, 3, {"a", "b", "d", "big"}));
  std::string received, joined, tsJoined;
  ASSERT_EQ(first.read(received, 50000, 30s), 50000u);
  ASSERT_TRUE(joiner.connect(proxy_->port()));
  ASSERT_TRUE(joiner.send("GET /tv?id=3 HTTP/1.0\r\n\r\n"));
  ASSERT_TRUE(tsJoiner.connect(proxy_->port()));
  ASSERT_TRUE(tsJoiner.send("GET /?id=3&format=ts HTTP/1.0\r\n\r\n"));
  ASSERT_EQ(joiner.read(joined, kAnswer200.size() + 9, 30s), kAnswer200.size() + 9);
  // The status page shows the channel with its players (the last may still be joining).
  std::string status;
  for (int i = 0; i < 50 && status.find("channel 3, 3 players") == std::string::npos; ++i) {
    status = httpGet(proxy_->port(), "/status", 10s).body();
  }
  EXPECT_NE(status.find("\nchannels on air:\nchannel 3, 3 players: 127.0.0.1 127.0.0.1 127.0.0.1\n  video: " +
                        nginx_->url("/v/")),
            std::string::npos) << status;
  first.close();
  // The joiner's stream, through the end of the second video.
  const std::vector<Played> channel = plays({"a", "b", "d", "big"});
  const size_t afterB = samples_.at("d").flv.tags.size() + samples_.at("big").flv.tags.size();
  size_t left = SIZE_MAX;
  for (auto end = std::chrono::steady_clock::now() + 30s; left > afterB && std::chrono::steady_clock::now() < end;) {
    joiner.read(joined, 65536, 100ms);
    ASSERT_EQ(joinerMismatch(joined.substr(kAnswer200.size()), channel, &left), "");
  }
  EXPECT_LE(left, afterB);
  tsJoiner.read(tsJoined, 188 * 400, 10s);
  std::string tsStream = tsJoined.substr(tsJoined.find("\r\n\r\n") + 4);
  const tsread::TsDump ts = tsread::readTs(tsStream.substr(0, tsStream.size() / 188 * 188));
  EXPECT_EQ(ts.fault, "");
  const auto video = std::find_if(ts.pes.begin(), ts.pes.end(), [](const tsread::Pes& pes) { return pes.pid == tsread::kVideoPid; });
  ASSERT_NE(video, ts.pes.end());
  EXPECT_TRUE(video->randomAccess);
  EXPECT_EQ(video->dts.value_or(video->pts), uint64_t{kTsDecodeDelayMs} * 90);  // its timestamp 0
  // One upstream for the three: the list and each video asked for once.
  for (int i = 0; i < 50 && nginx_->countRequests("GET /v/b.flv ") == 0; ++i) std::this_thread::sleep_for(100ms);
  EXPECT_EQ(nginx_->countRequests("/live/semichannel/timeline/?id=3 "), 1) << nginx_->accessLog();
  EXPECT_EQ(nginx_->countRequests("GET /v/a.flv "), 1) << nginx_->accessLog();
  EXPECT_EQ(nginx_->countRequests("GET /v/b.flv "), 1) << nginx_->accessLog();
  EXPECT_TRUE(proxy_->logShows("receiveHttpData, sending failed, error: "));
  joiner.close();
  tsJoiner.close();
  EXPECT_TRUE(proxy_->logShows("channelFeed, channel 3 closed: its last player has left"));
  // Asked again, the channel starts afresh.
  const std::string stream = readStream(proxy_->port(), "/tv?id=3", streamBytes(plays({"a"})), 60s);
  EXPECT_EQ(streamMismatch(stream, plays({"a"})), "");
  for (int i = 0; i < 50 && nginx_->countRequests("GET /v/a.flv ") < 2; ++i) std::this_thread::sleep_for(100ms);
  EXPECT_EQ(nginx_->countRequests("/live/semichannel/timeline/?id=3 "), 2) << nginx_->accessLog();
}

// A player that pauses while another watches the same channel holds
// neither the other nor the channel back: once it lags beyond what the
// channel holds, it goes on at the newest keyframe, its stream still whole
// and its clock still rising.
TEST_F(ProxyStreamTest, PausedPlayerIsMovedOnAndHoldsNoOneBack) {
  TcpClient paused, watching;
  ASSERT_NO_FATAL_FAILURE(playChannel(paused, 12, {"big", "b", "big", "d", "big", "b", "big", "d"}, 4096));
  std::string held, watched;
  ASSERT_EQ(paused.read(held, 100000, 30s), 100000u);
  ASSERT_TRUE(watching.connect(proxy_->port()));
  ASSERT_TRUE(watching.send("GET /tv?id=12 HTTP/1.0\r\n\r\n"));
  // The other player watches on at the clock's pace until the channel holds
  // no more of what the paused one has yet to take: what came more than
  // 20 s ago (the pause's first seconds filled the socket's buffers).
  for (auto end = std::chrono::steady_clock::now() + 25s; std::chrono::steady_clock::now() < end;) {
    watching.read(watched, 1 << 20, 100ms);
  }
  ASSERT_GE(watched.size(), size_t{4} << 20);
  EXPECT_EQ(FlvShape().checkStream(watched.substr(kAnswer200.size())), "");
  const size_t before = held.size();
  paused.read(held, 1 << 20, 3s);
  EXPECT_TRUE(proxy_->logShows("a player of channel 12 fell behind what the channel holds: it goes on at the "
                               "newest keyframe, "));
  FlvShape shape;
  EXPECT_EQ(shape.checkStream(held.substr(kAnswer200.size())), "");
  EXPECT_GT(held.size(), before + 100000);
}

TEST_F(ProxyStreamTest, SigtermEndsAStreamAfterTheCurrentChunk) {
  TcpClient player;
  ASSERT_NO_FATAL_FAILURE(playChannel(player, 4, {"a", "b"}));
  std::string received;
  ASSERT_EQ(player.read(received, 100000, 30s), 100000u);
  ASSERT_TRUE(proxy_->process().signal(SIGTERM));
  // Keep reading: the chunk in hand must be able to go out for the stop to end.
  EXPECT_TRUE(player.readToEnd(received, 60s));
  auto status = proxy_->process().wait(30s);
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(status->exited);
  EXPECT_EQ(status->code, 0);
  std::string stream = received.substr(kAnswer200.size());
  EXPECT_EQ(streamMismatch(stream, {}), "");
  FlvStream flv = parseFlv(stream);
  EXPECT_FALSE(flv.tags.empty());
  EXPECT_TRUE(flv.trailing.empty()) << "the stream ends inside a tag";
  EXPECT_NE(proxy_->log().find("Caught signal: 15, cleaning up"), std::string::npos);
}

// A paused player keeps its stream, however long its pause outlasts the
// time a vanished player is given (3 s in a test build): it answers the
// kernel's window probes. A stop while it takes nothing still ends the
// program at once, instead of when the player reads again.
TEST_F(ProxyStreamTest, PlayerThatStopsReadingKeepsItsStreamAndCannotHoldAStop) {
  TcpClient player;
  ASSERT_NO_FATAL_FAILURE(playChannel(player, 5, {"big", "b"}, 4096));
  std::vector<Played> expected = plays({"big", "b", "big"});
  const size_t wanted = kAnswer200.size() + streamBytes(expected);
  std::string received;
  ASSERT_EQ(player.read(received, 100000, 30s), 100000u);
  // Paused: the socket buffers fill with the lead and what the clock adds,
  // then the proxy's send waits on a closed window.
  std::this_thread::sleep_for(12s);
  ASSERT_EQ(player.read(received, wanted - received.size(), 60s), wanted - 100000);
  EXPECT_EQ(streamMismatch(received.substr(kAnswer200.size()), expected), "");
  std::this_thread::sleep_for(1s);  // paused again

  const auto before = std::chrono::steady_clock::now();
  ASSERT_TRUE(proxy_->process().signal(SIGTERM));
  auto status = proxy_->process().wait(30s);
  EXPECT_LT(std::chrono::steady_clock::now() - before, 5s);
  ASSERT_TRUE(status.has_value()) << "the stop waits for the player";
  EXPECT_TRUE(status->exited && status->code == 0) << describe(status);
  const std::string log = proxy_->log();
  EXPECT_EQ(log.substr(log.size() - 24), "DEBUG: Done, exiting...\n");
}

// The presentation times, in seconds, of the buffers that the fakesink
// `sink` of a verbose gst-launch run reports.
std::vector<double> sinkTimes(const std::string& output, const std::string& sink) {
  std::vector<double> times;
  const std::string line = "GstFakeSink:" + sink + ": last-message = chain";
  for (size_t at = output.find(line); at != std::string::npos; at = output.find(line, at + 1)) {
    size_t pts = output.find("pts: ", at);
    unsigned hours = 0, minutes = 0;
    double seconds = 0;
    if (pts != std::string::npos &&
        std::sscanf(output.c_str() + pts, "pts: %u:%u:%lf", &hours, &minutes, &seconds) == 3) {
      times.push_back(hours * 3600.0 + minutes * 60.0 + seconds);
    }
  }
  return times;
}

// Two players stream side by side, each its own channel tag for tag; one
// more, beyond --players, is told at once that the proxy is full, while the
// status page shows both; a stop with both streams busy ends the program
// cleanly (checked on tear-down).
TEST_F(ProxyStreamTest, PlayersStreamSideBySideAndOneMoreIsToldItIsFull) {
  const std::vector<std::vector<std::string>> channels = {{"a", "b", "c", "d"}, {"d", "c", "b", "a"}};
  for (size_t k = 0; k < channels.size(); ++k) {
    std::vector<TimelineItem> items;
    // The second channel's videos are signed: the status page shows no token.
    for (const std::string& name : channels[k]) {
      items.push_back({videoUrl(name) + (k == 1 ? "?token=secret22" : ""), static_cast<int>(items.size()) + 1});
    }
    ASSERT_TRUE(putChannel(static_cast<int>(21 + k), items));
  }
  ASSERT_NO_FATAL_FAILURE(startService({"--players", "2"}));
  TcpClient players[2];
  std::string received[2];
  for (size_t k = 0; k < 2; ++k) {
    ASSERT_TRUE(players[k].connect(proxy_->port()));
    ASSERT_TRUE(players[k].send("GET /tv?id=" + std::to_string(21 + k) + " HTTP/1.0\r\n\r\n"));
    // The answer, the file header and a byte of the first tag: by then the
    // stream has published its video for the status page.
    ASSERT_EQ(players[k].read(received[k], kAnswer200.size() + 10, 30s), kAnswer200.size() + 10);
  }
  HttpReply third = httpGet(proxy_->port(), "/tv?id=21", 10s);
  EXPECT_TRUE(third.closed);
  EXPECT_EQ(third.raw, "HTTP/1.0 503 Service Unavailable" + std::string(kAnswer200.substr(15)));
  // The status page holds no stream: it is there while the proxy is full.
  HttpReply status = httpGet(proxy_->port(), "/status", 10s);
  EXPECT_EQ(status.raw.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << status.raw;
  const std::string page = status.body();
  for (const char* line : {"zomaktvproxy " ZTV_VERSION "\nup 0 h ", "streams: 2 of 2 players\n",
                           "\n127.0.0.1  channel 21\n", "\n127.0.0.1  channel 22\n", "\nchannel 21, 1 player: 127.0.0.1\n",
                           "\nchannel 22, 1 player: 127.0.0.1\n", "\nlast errors:\n"}) {
    EXPECT_NE(page.find(line), std::string::npos) << line << " not in\n" << page;
  }
  const std::string video = "  video: " + nginx_->url("/v/");  // each stream's, whichever item it is on
  EXPECT_NE(page.find(video, page.find(video) + 1), std::string::npos) << page;
  EXPECT_EQ(page.find("secret22"), std::string::npos) << page;
  // 18 s of programme each, the first 10 of it at once: both read side by side.
  auto readRest = [&](size_t k) {
    players[k].read(received[k], kAnswer200.size() + streamBytes(plays(channels[k])) - received[k].size(), 60s);
  };
  std::thread second(readRest, 1);
  readRest(0);
  second.join();
  for (size_t k = 0; k < 2; ++k) {
    EXPECT_EQ(received[k].substr(0, kAnswer200.size()), kAnswer200);
    EXPECT_EQ(streamMismatch(received[k].substr(kAnswer200.size()), plays(channels[k])), "") << k;
  }
  EXPECT_NE(proxy_->log().find("receiveHttpData, Service unavailable: all 2 players are served, /tv?id=21\n"),
            std::string::npos);
}

// A source whose clock is set an hour on 3 s in, as a recorder's is when its
// clock steps: the items behind it come in their time, not an hour later,
// and the player sees no step in the picture's clock.
TEST_F(ProxyStreamTest, SourceWhoseClockJumpsGoesOnAsAtAJoin) {
  std::string file = readFile(samples_.at("a").path);
  FlvStream jumped = parseFlv(file);
  for (FlvTag& tag : jumped.tags) {
    if (tag.type == kFlvScript || tag.timestamp < 3000) continue;
    tag.timestamp += 3600000;
    file.replace(tag.offset, kBlockSize, blockBytes(tag));
  }
  ASSERT_TRUE(nginx_->putFile("/v/jumped.flv", file));
  ASSERT_TRUE(putChannel(8, {{videoUrl("jumped"), 1}, {videoUrl("b"), 2}, {videoUrl("c"), 3}, {videoUrl("d"), 4}}));
  ASSERT_NO_FATAL_FAILURE(startService());
  std::vector<Played> expected = plays({"b", "c", "d"});
  expected.insert(expected.begin(), Played{&jumped, 0, 0});
  // 18 s of programme, the first 10 of it at once.
  std::string answer;
  const std::string stream = readStream(proxy_->port(), "/tv?id=8", streamBytes(expected), 60s, &answer);
  EXPECT_EQ(answer, kAnswer200);
  EXPECT_EQ(streamMismatch(stream, expected), "");
  uint32_t largestStep = 0, last = 0;
  for (const FlvTag& tag : parseFlv(stream).tags) {
    if (tag.type != kFlvVideo) continue;
    largestStep = std::max(largestStep, tag.timestamp - last);
    last = tag.timestamp;
  }
  EXPECT_LE(largestStep, 40u);  // one frame at 25 fps
}

// Real players over several joins, in both forms: the PreviousTagSize
// chain and the timestamps of both streams must not make them resync.
TEST_F(ProxyStreamTest, PlayersPlayAChannelAcrossJoins) {
  ASSERT_TRUE(putChannel(7, {{videoUrl("a"), 1}, {videoUrl("b"), 2}, {videoUrl("d"), 3}}));
  ASSERT_NO_FATAL_FAILURE(startService());
  std::string output;
  std::string url = "http://127.0.0.1:" + std::to_string(proxy_->port()) + "/tv?id=7";
  // 400 frames (16 s) of a channel whose list lasts 14 s: three joins and a
  // re-download.
  std::thread ffmpeg([&] {
    auto status = runProgram({"ffmpeg", "-nostdin", "-hide_banner", "-i", url, "-map", "0:v",
                              "-map", "0:a", "-frames:v", "400", "-shortest", "-f", "null", "-"},
                             120s, &output);
    ASSERT_TRUE(status.has_value()) << "ffmpeg did not finish: " << output;
    EXPECT_TRUE(status->exited && status->code == 0) << describe(status) << output;
    EXPECT_EQ(output.find("Packet mismatch"), std::string::npos) << output;
    EXPECT_EQ(output.find("Non-monotonous DTS"), std::string::npos) << output;
    EXPECT_EQ(output.find("non monotonically increasing dts"), std::string::npos) << output;
    EXPECT_NE(output.find("frame=  400 "), std::string::npos) << output;
  });
  std::this_thread::sleep_for(2s);

  // The same 16 s decoded by GStreamer, as fast as it comes: it joins the
  // channel on air, a keyframe and the set-ups first, its clock from 0.
  std::string joined;
  auto status = runProgram({"env", "GST_DEBUG=flvdemux:2", "GST_DEBUG_NO_COLOR=1", "gst-launch-1.0", "-v",
                            "souphttpsrc", "location=" + url, "!", "flvdemux", "name=demux",
                            "demux.video", "!", "queue", "!", "h264parse", "!", "avdec_h264", "!",
                            "fakesink", "name=video", "sync=false", "silent=false", "num-buffers=400",
                            "demux.audio", "!", "queue", "!", "aacparse", "!", "avdec_aac", "!",
                            "fakesink", "name=audio", "sync=false", "silent=false", "num-buffers=688"},
                           120s, &joined);
  ffmpeg.join();
  EXPECT_GE(nginx_->countRequests("/live/semichannel/timeline/?id=7 HTTP"), 2) << output;
  EXPECT_NE(proxy_->log().find("a player joins channel 7 on air: 2 players"), std::string::npos);
  ASSERT_TRUE(status.has_value()) << "gst-launch-1.0 did not finish: " << joined;
  EXPECT_TRUE(status->exited && status->code == 0) << describe(status) << joined;
  EXPECT_EQ(joined.find("assuming resync"), std::string::npos) << joined;
  const std::vector<double> video = sinkTimes(joined, "video");
  const std::vector<double> audio = sinkTimes(joined, "audio");
  ASSERT_FALSE(video.empty() || audio.empty()) << joined;
  EXPECT_TRUE(std::is_sorted(audio.begin(), audio.end())) << joined;
  // Both cross the three joins together, on one clock.
  EXPECT_GT(video.back(), 15.0);
  EXPECT_NEAR(audio.back(), video.back(), 1.0);

  // The MPEG-TS form of a channel whose items differ in format: the
  // Sorenson/MP3 one is passed over (and the log says why), the others play
  // across their joins in ffmpeg and GStreamer without a complaint about
  // continuity, PCR or timestamps, and the packets' PTS and DTS rise.
  ASSERT_TRUE(putChannel(9, {{videoUrl("a"), 1}, {videoUrl("c"), 2}, {videoUrl("b"), 3}, {videoUrl("d"), 4}}));
  const std::string ts = "http://127.0.0.1:" + std::to_string(proxy_->port()) + "/?id=9&format=ts";
  output.clear();  // each run's output is added to it
  status = runProgram({"ffmpeg", "-nostdin", "-v", "error", "-i", ts, "-map", "0:v", "-map", "0:a", "-frames:v",
                       "400", "-shortest", "-f", "null", "-"},
                      120s, &output);
  ASSERT_TRUE(status.has_value()) << "ffmpeg did not finish: " << output;
  EXPECT_TRUE(status->exited && status->code == 0) << describe(status) << output;
  EXPECT_EQ(output, "");
  EXPECT_NE(proxy_->log().find("passed over " + videoUrl("c") + ": the player's form carries no video of FLV codec 2\n"),
            std::string::npos) << proxy_->log();

  output.clear();
  status = runProgram({"env", "GST_DEBUG=tsdemux:2,mpegtsbase:2,mpegtspacketizer:2,h264parse:2,aacparse:2",
                       "GST_DEBUG_NO_COLOR=1", "gst-launch-1.0", "-v", "souphttpsrc", "location=" + ts, "!",
                       "tsdemux", "name=demux", "demux.", "!", "video/x-h264", "!", "queue", "!", "h264parse", "!",
                       "avdec_h264", "!", "fakesink", "name=video", "sync=false", "silent=false", "num-buffers=400",
                       "demux.", "!", "audio/mpeg", "!", "queue", "!", "aacparse", "!", "avdec_aac", "!",
                       "fakesink", "name=audio", "sync=false", "silent=false", "num-buffers=688"},
                      120s, &output);
  ASSERT_TRUE(status.has_value()) << "gst-launch-1.0 did not finish: " << output;
  EXPECT_TRUE(status->exited && status->code == 0) << describe(status) << output;
  EXPECT_EQ(output.find(" WARN "), std::string::npos) << output;
  EXPECT_EQ(output.find(" ERROR "), std::string::npos) << output;
  const std::vector<double> tsVideo = sinkTimes(output, "video");
  const std::vector<double> tsAudio = sinkTimes(output, "audio");
  ASSERT_FALSE(tsVideo.empty() || tsAudio.empty()) << output;
  EXPECT_TRUE(std::is_sorted(tsVideo.begin(), tsVideo.end()) && std::is_sorted(tsAudio.begin(), tsAudio.end()));
  EXPECT_GT(tsVideo.back() - tsVideo.front(), 15.0);
  EXPECT_NEAR(tsAudio.back(), tsVideo.back(), 1.0);

  // 14 s of stream time, three joins: each stream's DTS rise, and no PTS before its DTS.
  output.clear();
  status = runProgram({"ffprobe", "-v", "error", "-read_intervals", "%+14", "-show_entries",
                       "packet=codec_type,pts,dts", "-of", "csv=p=0", ts},
                      120s, &output);
  ASSERT_TRUE(status.has_value() && status->exited && status->code == 0) << describe(status) << output;
  std::istringstream packets(output);
  std::map<std::string, long long> lastDts;
  for (std::string line; std::getline(packets, line);) {
    long long pts = 0, dts = 0;
    const size_t comma = line.find(',');
    if (comma == std::string::npos) continue;
    ASSERT_EQ(std::sscanf(line.c_str() + comma, ",%lld,%lld", &pts, &dts), 2) << line;
    const std::string type = line.substr(0, comma);
    if (lastDts.count(type) != 0) {
      EXPECT_GT(dts, lastDts[type]) << line;
    }
    EXPECT_GE(pts, dts) << line;
    lastDts[type] = dts;
  }
  EXPECT_EQ(lastDts.size(), 2u) << output;
}

}  // namespace
