#include "stream/relay.h"

#include <cstring>

#include "stream/stream_fixture.h"

namespace streamtest {
namespace {

using RelayTest = StreamTest;

std::string pattern(size_t size) {
  std::string body(size, '\0');
  for (size_t i = 0; i < size; ++i) body[i] = static_cast<char>((i * 13 + i / 251) & 0xFF);
  return body;
}

// Relays `url` with chunks of `capacity` into a buffer with a guard zone
// behind it; the chunk sizes in order, the final 0 included.
std::vector<int> relay(StreamSession* session, const std::string& url, uint32_t capacity, std::string* received) {
  constexpr size_t kGuard = 64;
  EXPECT_TRUE(copyText(&session->videoUrl, url));
  ByteBuffer buffer = allocZeroed<uint8_t>(capacity + kGuard);
  std::memset(buffer.get() + capacity, 0xA5, kGuard);
  std::vector<int> sizes;
  for (int calls = 0; calls < 100; ++calls) {
    const int count = getTransparentPacket(&session, &buffer, capacity);
    sizes.push_back(count);
    if (count <= 0) break;
    received->append(reinterpret_cast<const char*>(buffer.get()), static_cast<size_t>(count));
  }
  for (size_t i = 0; i < kGuard; ++i) EXPECT_EQ(buffer[capacity + i], 0xA5) << "written past capacity";
  return sizes;
}

// What the source has is passed on at once, up to the capacity: a chunk
// never waits to be filled (the body that comes in two pieces half a second
// apart gives the first piece's rest on its own), and only the end gives 0.
TEST_F(RelayTest, BodyIsPassedOnAsItComesUntilItEnds) {
  struct Case {
    size_t bodySize;
    size_t firstPiece;  // sent at once; the rest after a pause
    std::vector<int> chunks;
  };
  const Case cases[] = {
      {100, 100, {100, 0}},
      {2000, 2000, {1000, 1000, 0}},
      {2500, 2500, {1000, 1000, 500, 0}},
      {2000, 1500, {1000, 500, 500, 0}},
      {0, 0, {0}},
  };
  for (const Case& c : cases) {
    const std::string body = pattern(c.bodySize);
    const std::string length = "Content-Length: " + std::to_string(body.size());
    fakehttp::Script script = fakehttp::Script::response(200, {length}, body.substr(0, c.firstPiece));
    if (c.firstPiece < c.bodySize) script.pause(500).send(body.substr(c.firstPiece));
    server_.enqueue(script);
    StreamSession* s = openFLVStream();
    std::string received;
    EXPECT_EQ(relay(s, server_.url("/file"), 1000, &received), c.chunks) << c.bodySize << " " << c.firstPiece;
    EXPECT_EQ(received, body);
    EXPECT_FALSE(s->headerSent);
    closeFLVStream(s);
  }
}

// A source that goes on sending, but at a useless rate, counts as stalled
// once fewer than kFlowLeastBytes came in kFlowWindowMs of waiting: the
// relay ends with what came, as for one that went silent.
TEST_F(RelayTest, ASourceThatTricklesEndsTheRelay) {
  const std::string body = pattern(100000);
  server_.enqueue(fakehttp::Script::response(200, {"Content-Length: 100000"}, body.substr(0, 2000))
                      .trickle(body.substr(2000, 100), 400)
                      .hang());
  std::string received;
  const std::vector<int> sizes = relay(session_, server_.url("/slow"), 9472, &received);
  EXPECT_EQ(sizes.back(), 0);
  EXPECT_GE(received.size(), 2000u);
  EXPECT_LT(received.size(), 2100u);
  EXPECT_EQ(received, body.substr(0, received.size()));
  EXPECT_EQ(countInLog("sent fewer than 16384 bytes in 10 s: the body counts as stalled\n"), 1);
}

TEST_F(RelayTest, RedirectIsFollowed) {
  const std::string body = pattern(3000);
  server_.route("/old", fakehttp::Script::redirect(302, server_.url("/new")));
  server_.route("/new", fakehttp::Script::ok(body));
  std::string received;
  EXPECT_EQ(relay(session_, server_.url("/old"), 9472, &received), (std::vector<int>{3000, 0}));
  EXPECT_EQ(received, body);
}

TEST_F(RelayTest, UnusableUrlEndsAtOnceWithTheError) {
  for (const std::string& url : {std::string("ftp://127.0.0.1/x"), server_.url("/missing")}) {
    std::string received;
    StreamSession* s = openFLVStream();
    EXPECT_EQ(relay(s, url, 9472, &received), std::vector<int>{0});
    EXPECT_EQ(s->source, nullptr);
    EXPECT_EQ(countInLog("ERROR: getTransparentPacket, connecting to " + url + "\n"), 1);
    closeFLVStream(s);
  }
  EXPECT_EQ(countInLog("Open video: ftp://127.0.0.1/x\n"), 1);
}

// A player elsewhere on the network gets nothing of this box itself, by
// its address or by the unspecified one, and the box is not even asked; the
// box's own player relays it as ever.
TEST_F(RelayTest, APlayerElsewhereGetsNothingOfThisBox) {
  server_.route("/admin", fakehttp::Script::ok("secret"));
  const std::string port = std::to_string(server_.port());
  for (const std::string& url : {server_.url("/admin"), "http://0.0.0.0:" + port + "/admin"}) {
    StreamSession* s = openFLVStream();
    ASSERT_TRUE(copyText(&s->videoUrl, url));
    s->playerElsewhere = true;
    EXPECT_EQ(openTransparentSource(s), RelaySource::kRefused) << url;
    EXPECT_EQ(s->source, nullptr);
    closeFLVStream(s);
  }
  EXPECT_EQ(requestsFor("/admin"), 0);
  EXPECT_EQ(countInLog(":" + port + " is this box itself, refused for a player elsewhere."), 2);

  std::string received;
  EXPECT_EQ(relay(session_, server_.url("/admin"), 9472, &received), (std::vector<int>{6, 0}));
  EXPECT_EQ(received, "secret");
}

}  // namespace
}  // namespace streamtest
