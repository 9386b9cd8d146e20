#include "stream/video_select.h"

#include "stream/stream_fixture.h"
#include "support/flv.h"

namespace streamtest {
namespace {

using SelectTest = StreamTest;

const std::string kFile = testsupport::buildFlv({testsupport::video(0, 10, true)});

TEST_F(SelectTest, TimelineUrlCarriesTheSignedChannelNumber) {
  for (int channel : {12, -5}) {
    server_.route(timelineTarget(channel), fakehttp::Script::ok(timeline(30, {{4, kFile}})));
    StreamSession* s = openFLVStream();
    s->channelId = channel;
    EXPECT_EQ(getNewVideoToStream(&s), 0);
    EXPECT_EQ(requestsFor(timelineTarget(channel)), 1) << channel;
    EXPECT_EQ(countInLog("link to XML: http://" + server_.hostPort() + timelineTarget(channel) + "\n"), 1);
    closeFLVStream(s);
  }
}

TEST_F(SelectTest, FirstSelectionTakesOffsetAndPassesOverPliidZero) {
  serveChannel({timeline(30, {{0, kFile}, {5, kFile}})});
  ASSERT_EQ(getNewVideoToStream(&session_), 0);
  EXPECT_EQ(session_->entryIndex, 2);
  EXPECT_EQ(session_->currentPliid, 5);
  EXPECT_EQ(session_->liveJumpSec, 30u);
  EXPECT_EQ(session_->videoUrl, server_.url("/v/2.flv"));
  EXPECT_EQ(countInLog("Video number: "), 2);
}

TEST_F(SelectTest, RepeatsOfTheCurrentVideoArePassedOver) {
  serveChannel({timeline(0, {{7, kFile}, {7, kFile}, {9, kFile}})});
  session_->currentPliid = 7;
  ASSERT_EQ(getNewVideoToStream(&session_), 0);
  EXPECT_EQ(session_->entryIndex, 3);
  EXPECT_EQ(session_->currentPliid, 9);
  EXPECT_EQ(countInLog("Video number: "), 3);
  EXPECT_EQ(countInLog("Video number: 3 of 3, new pliid: 9, current pliid: 7"), 1);
}

TEST_F(SelectTest, UsedUpListIsDownloadedAgainFromBehindTheVideoJustStreamed) {
  serveChannel({timeline(30, {{1, kFile}, {2, kFile}}), timeline(45, {{2, kFile}, {3, kFile}}),
                timeline(50, {{2, kFile}, {3, kFile}, {4, kFile}, {5, kFile}}),
                timeline(55, {{1, kFile}, {5, kFile}, {6, kFile}, {5, kFile}})});
  ASSERT_EQ(getNewVideoToStream(&session_), 0);
  session_->headerSent = true;
  session_->liveJumpSec = 0;
  ASSERT_EQ(getNewVideoToStream(&session_), 0);
  EXPECT_EQ(session_->entryIndex, 2);
  EXPECT_EQ(requestsFor(timelineTarget(1)), 1);

  // The fresh list starts with the video just streamed: it is passed over.
  session_->timelineLoadsSinceTag = 0;  // as after a tag went out
  ASSERT_EQ(getNewVideoToStream(&session_), 0);
  EXPECT_EQ(requestsFor(timelineTarget(1)), 2);
  EXPECT_EQ(session_->entryIndex, 2);
  EXPECT_EQ(session_->currentPliid, 3);
  EXPECT_EQ(session_->videoUrl, server_.url("/v/4.flv"));
  EXPECT_EQ(session_->liveJumpSec, 0u);

  // A timeline that moves with the clock may still name, anywhere in it, the
  // video just streamed and the one before: play goes on behind it.
  session_->timelineLoadsSinceTag = 0;
  ASSERT_EQ(getNewVideoToStream(&session_), 0);
  EXPECT_EQ(requestsFor(timelineTarget(1)), 3);
  EXPECT_EQ(session_->entryIndex, 3);
  EXPECT_EQ(session_->currentPliid, 4);

  // A list that names it last loops: from entry 1, as it always has.
  session_->timelineLoadsSinceTag = 0;
  ASSERT_EQ(getNewVideoToStream(&session_), 0);
  EXPECT_EQ(session_->currentPliid, 5);
  session_->timelineLoadsSinceTag = 0;
  ASSERT_EQ(getNewVideoToStream(&session_), 0);
  EXPECT_EQ(requestsFor(timelineTarget(1)), 4);
  EXPECT_EQ(session_->entryIndex, 1);
  EXPECT_EQ(session_->currentPliid, 1);
}

TEST_F(SelectTest, FailedDownloads) {
  session_->channelId = 2;  // nothing routed: the service answers 404
  EXPECT_EQ(getNewVideoToStream(&session_), -1);
  EXPECT_EQ(session_->timeline, nullptr);
  EXPECT_EQ(session_->entryIndex, 0);

  server_.route(timelineTarget(3), fakehttp::Script::ok(timeline(0, {{1, kFile}})));
  server_.route(timelineTarget(3), fakehttp::Script::status(404));
  session_->channelId = 3;
  ASSERT_EQ(getNewVideoToStream(&session_), 0);
  session_->timelineLoadsSinceTag = 0;  // as after a tag went out
  EXPECT_EQ(getNewVideoToStream(&session_), -1);
  EXPECT_EQ(requestsFor(timelineTarget(3)), 2);
  EXPECT_EQ(session_->timeline, nullptr);
  EXPECT_EQ(session_->entryIndex, 1);
}

TEST_F(SelectTest, ListOfOnlyTheCurrentVideoEndsAfterOneFreshDownload) {
  serveChannel({timeline(0, {{7, kFile}, {7, kFile}})});
  session_->currentPliid = 7;
  EXPECT_EQ(getNewVideoToStream(&session_), -1);
  EXPECT_EQ(requestsFor(timelineTarget(1)), 2);
  EXPECT_EQ(countInLog("Video number: "), 4);
  EXPECT_EQ(session_->timeline, nullptr);
}

TEST_F(SelectTest, UnsetOffsetMeansNoSeek) {
  serveChannel({"<resp><SemiLive id=\"1\"><vod pliid=\"3\"><srcreq url=\"http://127.0.0.1:1/a.flv\" "
                "quality=\"1\" format=\"3\" drmtype=\"0\"></srcreq></vod></SemiLive></resp>"});
  ASSERT_EQ(getNewVideoToStream(&session_), 0);
  EXPECT_EQ(session_->timeline->offset, -1);
  EXPECT_EQ(session_->liveJumpSec, 0u);
}

}  // namespace
}  // namespace streamtest
