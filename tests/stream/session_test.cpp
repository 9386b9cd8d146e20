#include "stream/session.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include "timeline/timeline_xml.h"

namespace {

TEST(SessionTest, NewSessionIsEmptyAndClosingNullIsHarmless) {
  StreamSession* s = openFLVStream();
  ASSERT_NE(s, nullptr);
  EXPECT_FALSE(s->headerSent || s->sourceHeaderRead || s->patchPrevTagSize || s->metaDecoded || s->seekPending);
  EXPECT_EQ(s->liveJumpSec | s->reopenSec | s->seekFilePos | s->keyframeCount | s->outTimestamp |
                s->lastInTimestamp | s->lastDelta | s->keyframesSeen,
            0u);
  EXPECT_EQ(s->entryIndex | s->currentPliid | s->channelId, 0);
  EXPECT_TRUE(s->videoUrl.empty());
  EXPECT_TRUE(!s->source && !s->timeline && !s->keyframeFilePositions && !s->keyframeTimes);
  closeFLVStream(s);
  closeFLVStream(nullptr);
}

// Everything a session owns goes with it (the sanitizer build checks for
// leaks), and the source connection is closed even mid-tag.
TEST(SessionTest, ClosingReleasesEverythingOwned) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  StreamSession* s = openFLVStream();
  s->source.reset(webFileParseUrl("http://127.0.0.1:1/video.flv"));
  ASSERT_NE(s->source, nullptr);
  s->source->fd = pair[0];
  ASSERT_TRUE(copyText(&s->videoUrl, "http://127.0.0.1:1/video.flv"));
  s->keyframeFilePositions = allocZeroed<uint32_t>(4);
  s->keyframeTimes = allocZeroed<uint32_t>(4);
  const char doc[] = "<resp><SemiLive offset=\"1\"><vod pliid=\"2\"><srcreq url=\"http://127.0.0.1:1/v\" quality=\"1\" "
                     "format=\"3\" drmtype=\"0\"></srcreq></vod></SemiLive></resp>";
  TimelineXml* xml = openXMLText(doc, sizeof doc - 1, 0);
  s->timeline.reset(parseEPGData(xml));
  closeXML(xml);
  ASSERT_NE(s->timeline, nullptr);

  closeFLVStream(s);
  char byte = 0;
  EXPECT_EQ(read(pair[1], &byte, 1), 0) << "the source connection is still open";
  close(pair[1]);
}

}  // namespace
