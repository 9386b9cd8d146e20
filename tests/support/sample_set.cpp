#include "support/sample_set.h"

#include <utility>

#include "support/process.h"

namespace testsupport {

std::map<std::string, Sample> makeSamples(const std::map<std::string, SampleRecipe>& recipes,
                                          const std::string& cacheDir, std::string* error) {
  std::map<std::string, Sample> samples;
  for (const auto& [name, recipe] : recipes) {
    Sample sample{recipe, sampleFlv(recipe, cacheDir, error), {}};
    if (sample.path.empty()) break;
    sample.flv = parseFlv(readFile(sample.path));
    samples[name] = std::move(sample);
  }
  return samples;
}

}  // namespace testsupport
