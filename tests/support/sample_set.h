#ifndef ZTV_TESTS_SUPPORT_SAMPLE_SET_H
#define ZTV_TESTS_SUPPORT_SAMPLE_SET_H

// The named sample videos an end-to-end suite serves, made once in its
// SetUpTestSuite and read by every test: the file and its parsed tags, to
// hold the proxy's output against.

#include <map>
#include <string>

#include "support/flv.h"
#include "support/media.h"

namespace testsupport {

struct Sample {
  SampleRecipe recipe;
  std::string path;  // the FLV file in the media cache
  FlvStream flv;     // its content, tag by tag
};

// Every sample of `recipes`, made in `cacheDir` (or found there) and parsed.
// Stops at the first one ffmpeg cannot make, with its output in `error`, so
// a short result means the suite has no media to run on.
std::map<std::string, Sample> makeSamples(const std::map<std::string, SampleRecipe>& recipes,
                                          const std::string& cacheDir, std::string* error);

}  // namespace testsupport

#endif  // ZTV_TESTS_SUPPORT_SAMPLE_SET_H
