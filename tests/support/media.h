#ifndef ZTV_TESTS_SUPPORT_MEDIA_H
#define ZTV_TESTS_SUPPORT_MEDIA_H

// Sample media for the end-to-end tests: short FLV files made with ffmpeg
// from its built-in test sources, cached by their parameters so a test run
// makes each one once.

#include <string>
#include <vector>

namespace testsupport {

enum class SampleCodec {
  H264Aac,      // libx264 + AAC, as the service's current files
  SorensonMp3,  // Sorenson Spark (flv1) + MP3 at 44.1 kHz, as its older files
};

struct SampleRecipe {
  SampleCodec codec = SampleCodec::H264Aac;
  int seconds = 4;              // duration
  int keyframeSeconds = 2;      // one keyframe every this many seconds, at 25 fps
  std::string pattern = "testsrc";  // ffmpeg lavfi video source: testsrc, testsrc2, smptebars...
  int toneHz = 440;             // the sine on the audio track
  std::string size = "160x120";
};

// The path of an FLV file for `recipe` under `cacheDir` (made on first use,
// reused afterwards), with an onMetaData keyframe index. Empty when ffmpeg
// failed; `error` then holds its output.
std::string sampleFlv(const SampleRecipe& recipe, const std::string& cacheDir,
                      std::string* error = nullptr);

// A directory for sampleFlv: $ZTV_MEDIA_CACHE when set, else `fallback`.
std::string mediaCacheDir(const std::string& fallback);

}  // namespace testsupport

#endif  // ZTV_TESTS_SUPPORT_MEDIA_H
