#include "stream/flv_remux.h"

#include "stream/pace.h"
#include "stream/ts_writer.h"

#include "base/heap.h"
#include "stream/stream_fixture.h"
#include "stream/ts_reader.h"
#include "support/flv.h"
#include "support/timeline_doc.h"

namespace streamtest {
namespace {

using namespace testsupport;

const std::string kHeader(kStreamHeader);

using RemuxTest = StreamTest;

// The units keep a channel stream's shape: the header, then whole tags, each
// tag's PreviousTagSize the size of the tag sent before it (0 first), and
// neither video nor audio timestamps going back.
void expectShape(const std::vector<std::string>& units) {
  FlvShape shape;
  for (const std::string& unit : units) ASSERT_EQ(shape.check(unit), "");
}

// The tags of `units` (header skipped) carry these tags' types and bodies;
// audio and video tags carry `times` in order, script tags their own timestamps.
void expectTags(const std::vector<std::string>& units, const std::vector<TagPlan>& tags,
                const std::vector<uint32_t>& times) {
  ASSERT_EQ(units.size(), tags.size() + 1);
  EXPECT_EQ(units[0], kHeader);
  size_t nextTime = 0;
  for (size_t i = 0; i < tags.size(); ++i) {
    const FlvTag block = readBlock(units[i + 1]);
    EXPECT_EQ(block.type, tags[i].type) << "tag " << i;
    EXPECT_EQ(units[i + 1].substr(15), tagBody(tags[i])) << "tag " << i;
    const bool timed = tags[i].type == kFlvVideo || tags[i].type == kFlvAudio;
    const uint32_t want = timed ? times.at(nextTime++) : tags[i].timestamp;
    EXPECT_EQ(block.timestamp, want) << "tag " << i;
  }
  EXPECT_EQ(nextTime, times.size());
}

TEST_F(RemuxTest, OneHeaderThenTheFirstTagAsInTheFile) {
  const TagPlan first = video(0, 30, true);
  // Any six bytes may follow "FLV"; the file's own PreviousTagSize0 goes out unchanged.
  const std::string file = std::string("FLV\x02\xFF\x00\x00\x00\x20", 9) + tagBytes(first, 0xDEADBEEF) +
                           tagBytes(audio(5, 7), 41) + std::string(4, '\0');
  serveChannel({timeline(0, {{1, file}})}, true);
  const std::vector<std::string> out = units();
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0], kHeader);
  EXPECT_EQ(out[1], tagBytes(first, 0xDEADBEEF));
  EXPECT_EQ(out[2], tagBytes(audio(5, 7), 41));
  EXPECT_EQ(countInLog("DEBUG: getFLVPacket, Send FLV header.\n"), 1);
  EXPECT_EQ(countInLog("Open video: " + server_.url("/v/1.flv") + "\n"), 1);
}

// A video as an encoder writes one: a picture every 500 ms with its sound,
// a keyframe every 2 s, behind an onMetaData that indexes the keyframes
// (byte positions, whole seconds) and the decoders' set-up.
struct IndexedVideo {
  std::vector<TagPlan> tags;  // the script tag first
  std::string file;
  std::vector<size_t> keyTags;  // tags[keyTags[k]] is keyframe k
  std::vector<size_t> ends;     // where each tag ends in the file

  uint32_t position(size_t k) const { return static_cast<uint32_t>(ends[keyTags[k] - 1] + 4); }
  // What a host answers for "?start=" at keyframe k.
  std::string from(size_t k) const { return kHeader + std::string(4, '\0') + file.substr(position(k)); }
  // What the player gets of it when its body breaks off after `bytes`, the
  // video then resumed at the keyframe at or before the last picture sent.
  std::vector<TagPlan> resumed(size_t bytes) const {
    size_t sent = 0;
    while (ends[sent] <= bytes) ++sent;
    size_t lastPicture = sent - 1;
    while (tags[lastPicture].type != kFlvVideo) --lastPicture;
    size_t k = 0;
    while (k + 1 < keyTags.size() && tags[keyTags[k + 1]].timestamp <= tags[lastPicture].timestamp) ++k;
    std::vector<TagPlan> out(tags.begin(), tags.begin() + static_cast<long>(sent));
    out.insert(out.end(), tags.begin() + static_cast<long>(keyTags[k]), tags.end());
    return out;
  }
};

// Tags a transport stream can carry as well: the decoders' set-up (a small
// SPS and PPS, AAC LC 44.1 kHz stereo), H.264 pictures of one slice behind a
// 4-byte length, AAC frames; the rest of each body is tagBody's filler.
TagPlan avcSetUp() {
  const std::string sps("\x67\x42\xC0\x1E\xAB", 5), pps("\x68\xCE\x3C\x80", 4);
  TagPlan tag = video(0, 0, true);
  tag.body = std::string("\x17\x00\0\0\0\x01\x42\xC0\x1E\xFF\xE1\x00\x05", 13) + sps +
             std::string("\x01\x00\x04", 3) + pps;
  return tag;
}
TagPlan aacSetUp() {
  TagPlan tag = audio(0, 0);
  tag.body = std::string("\xAF\x00\x12\x10", 4);
  return tag;
}
TagPlan picture(uint32_t timestamp, uint32_t dataSize, bool keyframe) {
  TagPlan tag = video(timestamp, dataSize, keyframe);
  const std::string filler = tagBody(tag);
  tag.body = filler.substr(0, 2) + std::string(3, '\0');  // composition offset 0
  putBig(tag.body, dataSize - 9, 4);
  tag.body += keyframe ? '\x65' : '\x41';  // the slice's NAL header
  tag.body += filler.substr(10);
  return tag;
}
TagPlan aacFrame(uint32_t timestamp, uint32_t dataSize) {
  TagPlan tag = audio(timestamp, dataSize);
  tag.body = "\xAF\x01" + tagBody(tag).substr(2);
  return tag;
}

IndexedVideo indexedVideo(uint32_t seconds) {
  IndexedVideo v;
  std::vector<TagPlan> media = {avcSetUp(), aacSetUp()};
  std::vector<double> times;
  for (uint32_t ms = 0; ms < seconds * 1000; ms += 500) {
    if (ms % 2000 == 0) times.push_back(ms / 1000);
    media.push_back(picture(ms, 60 + ms / 100, ms % 2000 == 0));
    media.push_back(aacFrame(ms + 20, 12));
  }
  const auto build = [&](const std::vector<double>& positions) {
    v.tags = {script(0, metaBody(positions, times))};
    v.tags.insert(v.tags.end(), media.begin(), media.end());
    return buildFlv(v.tags);
  };
  const FlvStream parsed = parseFlv(build(std::vector<double>(times.size(), 0)));
  std::vector<double> positions;
  for (size_t i = 0; i < parsed.tags.size(); ++i) {
    v.ends.push_back(parsed.tags[i].offset + kBlockSize + parsed.tags[i].dataSize);
    if (parsed.tags[i].keyframe() && parsed.tags[i].body[1] == 1) {  // a picture, not the set-up
      v.keyTags.push_back(i);
      positions.push_back(static_cast<double>(parsed.tags[i].offset + 4));
    }
  }
  v.file = build(positions);  // the same size: the index's numbers are doubles
  return v;
}

// The units are the header, then tags of these types and bodies.
void expectBodies(const std::vector<std::string>& units, const std::vector<TagPlan>& tags) {
  ASSERT_EQ(units.size(), tags.size() + 1);
  EXPECT_EQ(units[0], kHeader);
  for (size_t i = 0; i < tags.size(); ++i) {
    EXPECT_EQ(readBlock(units[i + 1]).type, tags[i].type) << "tag " << i;
    EXPECT_EQ(units[i + 1].substr(15), tagBody(tags[i])) << "tag " << i;
  }
}

// Every hiccup of the service once, in one channel: each video that can be
// had plays whole and in order, one that breaks off goes on from its last
// keyframe, one that is gone or no video is passed over, as is one whose
// answer trickles past the lead, a timeline that fails or comes cut short
// is fetched again; timestamps rise and the chain holds across all.
TEST_F(RemuxTest, HiccupsOfTheServiceAreRiddenOut) {
  const IndexedVideo v = indexedVideo(6);
  const std::string length = "Content-Length: " + std::to_string(v.file.size());
  const size_t half = v.file.size() / 2;
  const auto at = [&](const std::string& path, size_t k) { return path + "?start=" + std::to_string(v.position(k)); };
  server_.route("/v/1.flv", fakehttp::Script::ok(v.file));
  server_.route("/v/2.flv", fakehttp::Script::status(503));
  server_.route("/v/2.flv", fakehttp::Script::ok(v.file));
  server_.route("/v/3.flv", fakehttp::Script().reset());
  server_.route("/v/3.flv", fakehttp::Script::ok(v.file));
  server_.route("/v/4.flv", fakehttp::Script::response(200, {length}, v.file.substr(0, half)));
  server_.route("/v/5.flv", fakehttp::Script::response(200, {length}, v.file.substr(0, half)).hang());
  for (size_t k = 0; k < v.keyTags.size(); ++k) {
    server_.route(at("/v/4.flv", k), fakehttp::Script::ok(v.from(k)));
    server_.route(at("/v/5.flv", k), fakehttp::Script::ok(v.from(k)));
  }
  server_.route("/v/6.flv", fakehttp::Script::status(404));
  server_.route("/v/8.flv", fakehttp::Script::ok("<html>moved</html>"));
  server_.route("/v/9.flv", fakehttp::Script::ok(v.file));
  // Answers, a byte each 4 s, each within the 5 s a read waits: the try
  // ends with the lead all the same.
  server_.route("/v/10.flv", fakehttp::Script().trickle("HTTP/1.0 200 OK\r\n" + length + "\r\n\r\n", 4000));
  std::vector<testsupport::TimelineItem> items;
  for (int i = 1; i <= 8; ++i) items.push_back({server_.url("/v/" + std::to_string(i) + ".flv"), i});
  items[6].url = "http://127.0.0.1:1/7.flv";  // a host that refuses every connection
  items.push_back({server_.url("/v/10.flv"), 10});
  const std::string target = timelineTarget(1);
  const std::string nextTimeline = testsupport::timelineDocument({{server_.url("/v/9.flv"), 9}}, 0);
  server_.route(target, fakehttp::Script::ok(testsupport::timelineDocument(items, 0)));
  server_.route(target, fakehttp::Script::status(503));
  server_.route(target, fakehttp::Script::response(200, {"Content-Length: " + std::to_string(nextTimeline.size())},
                                                   nextTimeline.substr(0, nextTimeline.size() / 2)));
  server_.route(target, fakehttp::Script::ok(nextTimeline));
  server_.route(target, fakehttp::Script::status(404));
  session_->channelId = 1;

  const std::vector<std::string> out = units();
  std::vector<TagPlan> played;
  for (const std::vector<TagPlan>& video : {v.tags, v.tags, v.tags, v.resumed(half), v.resumed(half), v.tags}) {
    played.insert(played.end(), video.begin(), video.end());
  }
  expectBodies(out, played);
  expectShape(out);
  for (const char* video : {"/v/4.flv", "/v/5.flv"}) {
    EXPECT_EQ(countInLog(server_.url(video) + " broke off at byte " + std::to_string(half) + " of "), 1) << video;
  }
  EXPECT_EQ(countInLog("passed over " + server_.url("/v/6.flv") + ": the service's answer was final\n"), 1);
  EXPECT_EQ(countInLog("passed over http://127.0.0.1:1/7.flv: its tries are used up\n"), 1);
  EXPECT_EQ(countInLog("passed over " + server_.url("/v/8.flv") + ": it is not an FLV file\n"), 1);
  EXPECT_EQ(countInLog("passed over " + server_.url("/v/10.flv") + ": another try would take longer than the lead\n"),
            1);
  EXPECT_EQ(countInLog("passed over "), 4);
  EXPECT_EQ(countInLog("the timeline download failed (1 in a row)"), 1);
  EXPECT_EQ(countInLog("the timeline download failed (2 in a row)"), 1);  // a document cut short

  // The same units as the channel's transport stream: whole packets, PAT and
  // PMT first, each PID's counters continuous and no discontinuity flagged
  // (the reader's faults), every picture and sound at its unit's time, so
  // rising across every join and both resumes.
  Owned<TsWriter, tsWriterClose> writer{tsWriterOpen()};
  ASSERT_NE(writer.get(), nullptr);
  std::string stream;
  const TsSink sink{+[](void* context, const uint8_t* bytes, size_t length) {
                      static_cast<std::string*>(context)->append(reinterpret_cast<const char*>(bytes), length);
                      return true;
                    },
                    &stream};
  std::vector<uint64_t> pictureTimes, soundTimes;  // 90 kHz, as the writer's DTS and PTS
  for (const std::string& unit : out) {
    ASSERT_EQ(tsWriteUnit(writer.get(), reinterpret_cast<const uint8_t*>(unit.data()), unit.size(), sink),
              TsResult::kOk);
    if (unit.size() < 17 || unit[16] != 1) continue;  // the header, the index, a set-up
    const FlvTag block = readBlock(unit);
    (block.type == kFlvVideo ? pictureTimes : soundTimes).push_back(uint64_t{block.timestamp + kTsDecodeDelayMs} * 90);
  }
  const tsread::TsDump ts = tsread::readTs(stream);
  ASSERT_EQ(ts.fault, "");
  EXPECT_TRUE(ts.opensWithTables());
  const auto pictures = ts.of(tsread::kVideoPid), sounds = ts.of(tsread::kAudioPid);
  ASSERT_EQ(pictures.size(), pictureTimes.size());
  ASSERT_EQ(sounds.size(), soundTimes.size());
  for (size_t i = 0; i < pictures.size(); ++i) {
    EXPECT_EQ(pictures[i]->dts.value_or(pictures[i]->pts), pictureTimes[i]) << "picture " << i;
    EXPECT_GT(pictureTimes[i], i > 0 ? pictureTimes[i - 1] : 0) << "picture " << i;
  }
  for (size_t i = 0; i < sounds.size(); ++i) {
    EXPECT_EQ(sounds[i]->pts, soundTimes[i]) << "sound " << i;
    EXPECT_GT(soundTimes[i], i > 0 ? soundTimes[i - 1] : 0) << "sound " << i;
  }
}

TEST_F(RemuxTest, NoTimelineOrNoConnectionMeansNoStream) {
  session_->channelId = 99;  // 404
  EXPECT_TRUE(units().empty());

  serveChannel({"<resp><SemiLive offset=\"0\"><vod pliid=\"1\"><srcreq url=\"http://127.0.0.1:1/a.flv\" "
                "quality=\"1\" format=\"3\" drmtype=\"0\"></srcreq></vod></SemiLive></resp>"});
  EXPECT_TRUE(units().empty());
  EXPECT_EQ(countInLog("ERROR: getFLVPacket, passed over http://127.0.0.1:1/a.flv: its tries are used up\n"), 1);
  EXPECT_EQ(countInLog("ERROR: getNewVideoToStream: no new video to stream.\n"), 1);

  // A service that dies after the first video: the stream goes on trying
  // until nothing could be sent for the bound, then ends.
  tryTimes.longestSilenceMs = 1000;
  closeFLVStream(session_);
  session_ = openFLVStream();
  session_->channelId = 2;
  const std::string first = buildFlv({video(0, 30, true), audio(10, 5)});
  server_.route("/dies/1.flv", fakehttp::Script::ok(first));
  server_.route(timelineTarget(2), fakehttp::Script::ok(testsupport::timelineDocument(
                                       {{server_.url("/dies/1.flv"), 1}, {server_.url("/dies/2.flv"), 2}}, 0)));
  server_.route(timelineTarget(2), fakehttp::Script::status(503));
  server_.route("/dies/2.flv", fakehttp::Script::status(503));
  expectTags(units(), {video(0, 30, true), audio(10, 5)}, {0, 10});
  EXPECT_EQ(countInLog("passed over " + server_.url("/dies/2.flv") + ": its tries are used up\n"), 1);
  EXPECT_EQ(countInLog("ERROR: getNewVideoToStream: no timeline could be had while the player had data.\n"), 1);
}

// A file of at most 24 bytes, and the last 15 bytes of any file, hold no tag;
// the chain still continues from the last tag the player got.
TEST_F(RemuxTest, ShortRemaindersAreNotRead) {
  const std::string headerAndBlock = flvHeader() + tagBytes(video(0, 0), 0);
  const std::string withTail = buildFlv({video(0, 20, true)}, false) + std::string(15, '\x09');
  const TagPlan last = audio(3, 50);
  serveChannel({timeline(0, {{1, headerAndBlock}, {2, withTail}, {3, buildFlv({last})}})}, true);
  const std::vector<std::string> out = units();
  expectTags(out, {video(0, 20, true), last}, {0, 3});
  expectShape(out);
}

TEST_F(RemuxTest, AudioAndVideoRiseTogetherAcrossJoins) {
  // The first file's audio outlasts its video; the third begins with audio;
  // the fourth has no video at all.
  const std::vector<std::vector<TagPlan>> files = {
      {script(0, "onMetaData"), video(0, 300, true), audio(10, 40), video(40, 120), video(80, 90), audio(100, 7),
       audio(123, 7)},
      {script(7, "second"), video(0, 500, true), audio(20, 33), video(40, 60), video(40, 61), audio(60, 5),
       video(80, 0)},
      {audio(5, 9), video(0, 70, true), audio(10, 9)},
      {audio(0, 9), audio(30, 9)},
  };
  std::vector<Video> entries;
  std::vector<TagPlan> all;
  for (const auto& file : files) {
    entries.push_back({static_cast<int>(entries.size()) + 1, buildFlv(file)});
    all.insert(all.end(), file.begin(), file.end());
  }
  serveChannel({timeline(0, entries)}, true);
  const std::vector<std::string> out = units();
  expectTags(out, all,
             {0, 10, 40, 80, 100, 123,         // the first file as it is
              120, 147, 160, 200, 227, 240,    // video 0, 40 after 80 gives 120, 160; the file's sound waits
                                               // 7 ms for the last sound to end (123, a sound's 23 and a
                                               // ms); the repeat comes lastDelta later
              280, 280, 290,                   // audio before video takes the offset the video gets
              320, 350});                      // no video: continues after the last timestamp
  expectShape(out);
  EXPECT_EQ(countInLog("Receive META data."), 2);
  EXPECT_EQ(countInLog("DEBUG: getFLVPacket, Skip FLV header.\n"), 3);
}

// A source whose clock jumps forward (a recorder's clock set by an hour) is
// joined to itself: the picture goes on one frame after the last, the sound
// with it, the pacing has nothing to wait for. One that starts again at 0
// (two recordings in one file) keeps rising, as at a join.
TEST_F(RemuxTest, ClockJumpsWithinAVideoAreJoins) {
  const uint32_t hour = 3600000;
  const std::vector<TagPlan> file = {video(0, 30, true), audio(10, 7), video(40, 20),
                                     audio(hour + 50, 7), video(hour + 40, 30, true), audio(hour + 60, 7),
                                     video(hour + 80, 20), video(0, 30, true), audio(5, 7), video(40, 20)};
  serveChannel({timeline(0, {{1, buildFlv(file)}})}, true);
  const std::vector<std::string> out = units();
  expectTags(out, file,
             {0, 10, 40,
              80, 80, 100, 120,  // the sound before the jumped picture takes the offset the picture gets
              160, 165, 200});   // back to 0
  expectShape(out);

  // The pacing, whatever a timestamp says, waits no longer than the lead.
  session_->liveJumpSec = 0;
  session_->paceStarted = false;
  ASSERT_EQ(paceDueMs(session_, reinterpret_cast<const uint8_t*>(out[1].data()), 15, 5000), 0);
  std::string late = out[2];
  late[8] = '\x7F';  // two hours and more on: beyond the lead by far
  EXPECT_EQ(paceDueMs(session_, reinterpret_cast<const uint8_t*>(late.data()), 15, 6000), 6000 + ZTV_PACE_LEAD_MS);
  EXPECT_EQ(paceDueMs(session_, reinterpret_cast<const uint8_t*>(late.data()), 15, 6000), 6000 + ZTV_PACE_LEAD_MS);
}

TEST_F(RemuxTest, TimestampUsesTheExtendedByteAsBits24To31) {
  serveChannel({timeline(0, {{1, buildFlv({video(16777221, 4, true), video(16777261, 4)})}})}, true);
  const std::vector<std::string> out = units();
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[1].substr(8, 4), std::string("\x00\x00\x05\x01", 4));
  EXPECT_EQ(out[2].substr(8, 4), std::string("\x00\x00\x2D\x01", 4));
}

TEST_F(RemuxTest, TagBeyondCapacityGrowsTheBuffer) {
  const TagPlan big = video(0, 2000000, true);
  serveChannel({timeline(0, {{1, buildFlv({big, audio(1, 3)})}})}, true);
  ASSERT_EQ(getFLVPacket(&session_, &buffer_, capacity_), 9);
  ASSERT_EQ(getFLVPacket(&session_, &buffer_, capacity_), 2000015);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer_.get()), 2000015), tagBytes(big, 0));
  EXPECT_EQ(buffer_[2000015], 0);  // the body was read in place, with the decoder's end byte behind it
  EXPECT_EQ(getFLVPacket(&session_, &buffer_, capacity_), 18);
}

TEST_F(RemuxTest, EveryVideoEmptyEndsAfterOneFreshTimeline) {
  const std::string empty = flvHeader() + tagBytes(video(0, 0), 0);
  serveChannel({timeline(0, {{1, empty}, {2, empty}})});
  EXPECT_EQ(units(), std::vector<std::string>{kHeader});
  EXPECT_EQ(requestsFor(timelineTarget(1)), 2);
}

// The jump to the live position re-opens the same video at the keyframe's
// byte position; the output goes on as if the dropped keyframe never was.
// The video's URL is a signed one, its '&' written as XML writes it: the
// position comes as a parameter of its own.
TEST_F(RemuxTest, SeekReopensTheVideoAtTheKeyframePosition) {
  const std::vector<TagPlan> start = {script(0, metaBody({13, 5000, 9000}, {0, 40, 80})),
                                      video(0, 50, true), audio(0, 9), video(40, 60), video(80, 70, true)};
  const std::vector<TagPlan> fromKeyframe = {video(40000, 80, true), audio(40010, 9), video(40040, 30)};
  server_.route("/v/s.flv?token=T&k=2", fakehttp::Script::ok(buildFlv(start)));
  server_.route("/v/s.flv?token=T&k=2&start=5000", fakehttp::Script::ok(buildFlv(fromKeyframe)));
  serveChannel({testsupport::timelineDocument({{server_.url("/v/s.flv?token=T&amp;k=2"), 1}}, 40)}, true);

  const std::vector<std::string> out = units();
  // Audio after the jump keeps its distance to the video of the re-opened
  // file; the first picture steps over the 40 s jumped, longer as it is than
  // any step of a video.
  expectTags(out, {start[0], start[1], start[2], start[3], fromKeyframe[0], fromKeyframe[1], fromKeyframe[2]},
             {0, 0, 40, 40 + 40000 - 80, 40 + 40000 - 80 + 10, 40 + 40000 - 80 + 40});
  expectShape(out);
  EXPECT_EQ(requestsFor("/v/s.flv?token=T&k=2&start=5000"), 1);
  EXPECT_EQ(countInLog("Open video: "), 1);
  EXPECT_EQ(countInLog("Seek time: 40 sec.\n"), 1);
  EXPECT_EQ(countInLog("DEBUG: getFLVPacket, Skip FLV header.\n"), 1);
}

// Where the source's clock jumped before the keyframe the index puts at
// 40 s, the re-opened file goes on one frame after the last picture.
TEST_F(RemuxTest, SeekPastAJumpedClockGoesOnOneFrameLater) {
  const std::vector<TagPlan> start = {script(0, metaBody({13, 5000}, {0, 40})), video(0, 50, true),
                                      video(40, 60), video(80, 70, true)};
  const std::vector<TagPlan> fromKeyframe = {video(3640000, 80, true), audio(3640010, 9), video(3640040, 30)};
  server_.route("/v/j.flv", fakehttp::Script::ok(buildFlv(start)));
  server_.route("/v/j.flv?start=5000", fakehttp::Script::ok(buildFlv(fromKeyframe)));
  serveChannel({testsupport::timelineDocument({{server_.url("/v/j.flv"), 1}}, 40)}, true);
  const std::vector<std::string> out = units();
  expectTags(out, {start[0], start[1], start[2], fromKeyframe[0], fromKeyframe[1], fromKeyframe[2]},
             {0, 40, 80, 90, 120});
  expectShape(out);
}

}  // namespace
}  // namespace streamtest
