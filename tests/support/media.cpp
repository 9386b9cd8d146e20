#include "support/media.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "support/process.h"

namespace testsupport {

namespace {

constexpr int kFramesPerSecond = 25;

std::string cacheName(const SampleRecipe& recipe) {
  std::string codec = recipe.codec == SampleCodec::H264Aac ? "h264" : "flv1";
  return codec + "-" + std::to_string(recipe.seconds) + "s-k" + std::to_string(recipe.keyframeSeconds) +
         "-" + recipe.pattern + "-" + std::to_string(recipe.toneHz) + "-" + recipe.size + ".flv";
}

std::vector<std::string> ffmpegArgs(const SampleRecipe& recipe, const std::string& out) {
  std::string gop = std::to_string(recipe.keyframeSeconds * kFramesPerSecond);
  std::vector<std::string> args = {
      "ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y",
      "-f", "lavfi", "-i",
      recipe.pattern + "=size=" + recipe.size + ":rate=" + std::to_string(kFramesPerSecond),
      "-f", "lavfi", "-i", "sine=frequency=" + std::to_string(recipe.toneHz) + ":sample_rate=44100",
      "-t", std::to_string(recipe.seconds),
      "-g", gop, "-keyint_min", gop};
  if (recipe.codec == SampleCodec::H264Aac) {
    for (const char* a : {"-c:v", "libx264", "-preset", "veryfast", "-sc_threshold", "0",
                          "-pix_fmt", "yuv420p", "-c:a", "aac", "-b:a", "64k"}) {
      args.emplace_back(a);
    }
  } else {
    for (const char* a : {"-c:v", "flv1", "-c:a", "libmp3lame", "-ar", "44100", "-b:a", "64k"}) {
      args.emplace_back(a);
    }
  }
  for (const char* a : {"-flvflags", "add_keyframe_index", "-f", "flv"}) args.emplace_back(a);
  args.push_back(out);
  return args;
}

}  // namespace

std::string sampleFlv(const SampleRecipe& recipe, const std::string& cacheDir, std::string* error) {
  std::string path = cacheDir + "/" + cacheName(recipe);
  if (std::filesystem::exists(path)) return path;
  std::error_code ignored;
  std::filesystem::create_directories(cacheDir, ignored);
  // Made under a private name and linked, so a half-written file is never
  // taken for a cached one.
  std::string partial = path + ".part" + std::to_string(getpid());
  std::string output;
  auto status = runProgram(ffmpegArgs(recipe, partial), std::chrono::seconds(120), &output);
  if (!status || !status->exited || status->code != 0 ||
      !std::filesystem::exists(partial)) {
    if (error != nullptr) *error = "ffmpeg " + describe(status) + ": " + output;
    std::filesystem::remove(partial, ignored);
    return "";
  }
  // Published only if no other test made it meanwhile: an encoder's output
  // may differ from run to run, and a test that has read one copy must
  // never find another under the same name.
  if (link(partial.c_str(), path.c_str()) != 0 && errno != EEXIST) {
    if (error != nullptr) *error = "cannot publish " + path + ": " + std::strerror(errno);
    std::filesystem::remove(partial, ignored);
    return "";
  }
  std::filesystem::remove(partial, ignored);
  return path;
}

std::string mediaCacheDir(const std::string& fallback) {
  const char* dir = std::getenv("ZTV_MEDIA_CACHE");
  return (dir != nullptr && dir[0] != '\0') ? dir : fallback;
}

}  // namespace testsupport
