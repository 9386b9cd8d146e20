// The MPEG-TS writer on real media, judged by ffmpeg: two H.264/AAC items
// of other sizes and profiles joined as the channel joins them, unit by
// unit, decode without a complaint and with rising timestamps; a
// Sorenson/MP3 item is reported as not carriable.

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "base/heap.h"
#include "stream/ts_writer.h"
#include "support/flv.h"
#include "support/media.h"
#include "support/process.h"

using namespace testsupport;

namespace {

bool appendTo(void* context, const uint8_t* bytes, size_t length) {
  static_cast<std::string*>(context)->append(reinterpret_cast<const char*>(bytes), length);
  return true;
}

struct Converted {
  std::string ts;
  std::vector<TsResult> results;  // one per unit
  size_t pictures = 0;            // H.264 pictures handed in from the first keyframe on
};

// The files' units as the re-muxer hands them out: the file header once,
// then every tag with its timestamp moved on past the item before.
Converted convert(const std::vector<FlvStream>& items) {
  Converted out;
  Owned<TsWriter, tsWriterClose> writer(tsWriterOpen());
  std::vector<std::string> units = {std::string(kStreamHeader)};
  uint32_t offset = 0, end = 0;
  bool started = false;
  for (const FlvStream& item : items) {
    for (FlvTag tag : item.tags) {
      tag.timestamp += offset;
      end = std::max(end, tag.timestamp);
      units.push_back(blockBytes(tag) + tag.body);
      const bool picture = tag.type == kFlvVideo && tag.body.size() > 1 && tag.body[1] == 1;
      started = started || (picture && tag.keyframe());
      if (picture && started) ++out.pictures;
    }
    offset = end + 40;
  }
  for (const std::string& unit : units) {
    out.results.push_back(tsWriteUnit(writer.get(), reinterpret_cast<const uint8_t*>(unit.data()), unit.size(),
                                      {appendTo, &out.ts}));
  }
  return out;
}

std::string run(const std::vector<std::string>& argv) {
  std::string output;
  auto status = runProgram(argv, std::chrono::seconds(60), &output);
  EXPECT_TRUE(status && status->exited && status->code == 0) << describe(status) << ": " << output;
  return output;
}

TEST(TsMediaTest, JoinedH264ItemsDecodeCleanlyAndSorensonIsReported) {
  TempDir dir;
  const std::string cache = mediaCacheDir(dir.path());
  std::string error;
  const std::string small = sampleFlv({SampleCodec::H264Aac, 4, 2}, cache, &error);
  const std::string large =
      sampleFlv({SampleCodec::H264Aac, 4, 1, "smptebars", 660, "320x240"}, cache, &error);
  const std::string old = sampleFlv({SampleCodec::SorensonMp3, 4, 2}, cache, &error);
  ASSERT_TRUE(!small.empty() && !large.empty() && !old.empty()) << error;

  const Converted joined = convert({parseFlv(readFile(small)), parseFlv(readFile(large))});
  for (size_t i = 0; i < joined.results.size(); ++i) ASSERT_EQ(joined.results[i], TsResult::kOk) << "unit " << i;
  const std::string path = dir.file("channel.ts");
  ASSERT_TRUE(writeFile(path, joined.ts));

  // Decoded whole without a word at the error level: no continuity,
  // timestamp or bitstream complaint, across the change of picture size.
  EXPECT_EQ(run({"ffmpeg", "-nostdin", "-v", "error", "-i", path, "-f", "null", "-"}), "");
  const std::string streams =
      run({"ffprobe", "-v", "error", "-show_entries", "stream=codec_name,width", "-of", "csv=p=0", path});
  EXPECT_EQ(streams.substr(0, 13), "h264,160\naac\n") << streams;  // the program's streams follow

  // Every picture is there, and each stream's DTS rise.
  std::istringstream packets(run({"ffprobe", "-v", "error", "-show_entries", "packet=codec_type,dts", "-of",
                                  "csv=p=0", path}));
  std::map<std::string, long long> last;
  size_t pictures = 0;
  for (std::string line; std::getline(packets, line);) {
    if (line.empty()) continue;
    const size_t comma = line.find(',');
    ASSERT_NE(comma, std::string::npos) << line;
    const std::string type = line.substr(0, comma);
    const long long dts = std::stoll(line.substr(comma + 1));
    if (last.count(type) != 0) {
      EXPECT_GT(dts, last[type]) << line;
    }
    last[type] = dts;
    pictures += type == "video";
  }
  EXPECT_EQ(pictures, joined.pictures);
  EXPECT_EQ(last.size(), 2u);

  // Sorenson video: reported at its first picture, and nothing written.
  const Converted refused = convert({parseFlv(readFile(old))});
  bool reported = false;
  for (TsResult r : refused.results) {
    EXPECT_NE(r, TsResult::kAudioNotCarried);  // MP3 is carried
    reported = reported || r == TsResult::kVideoNotCarried;
  }
  EXPECT_TRUE(reported);
  EXPECT_EQ(refused.ts, "");
}

}  // namespace
