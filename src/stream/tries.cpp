#include "stream/tries.h"

#include "base/clock.h"
#include "base/wait.h"
#include "log/log.h"
#include "net/socket.h"
#include "stream/pace.h"

TryTimes tryTimes = {500, 2 * ZTV_PACE_LEAD_MS};

namespace {

constexpr int kMostDoublings = 3;  // the pauses: 1, 2, 4, then 8 times the first, again and again

int64_t silentFor(const StreamSession& s) { return monotonicMs() - s.unitWantedMs; }

// FNV-1a: a passed-over URL is kept as 32 bits, so that a stream holds no
// text of its own for it.
uint32_t hashOf(TextView text) {
  uint32_t hash = 2166136261u;
  for (size_t i = 0; i < text.size; ++i) hash = (hash ^ static_cast<uint8_t>(text[i])) * 16777619u;
  return hash;
}

}  // namespace

TryAgain pauseBeforeTry(const StreamSession& s, int failures, int64_t budgetMs, const char* what) {
  int64_t pauseMs = tryTimes.firstPauseMs;
  for (int doubled = 1; doubled < failures && doubled <= kMostDoublings; ++doubled) pauseMs += pauseMs;
  if (socket_interrupted()) return TryAgain::kStopped;
  if (silentFor(s) + pauseMs > budgetMs) return TryAgain::kNo;
  Log(ERROR, "getFLVPacket, %s failed (%d in a row); trying again in %lld ms", what, failures,
      static_cast<long long>(pauseMs));
  return socket_sleepUntil(monotonicMs() + pauseMs) == 0 ? TryAgain::kYes : TryAgain::kStopped;
}

int64_t tryEndsMs(const StreamSession& s, int64_t budgetMs) {
  const int64_t budgetEndsMs = s.unitWantedMs + budgetMs;
  if (!passed(budgetEndsMs)) return budgetEndsMs;
  const int64_t silenceEndsMs = s.unitWantedMs + tryTimes.longestSilenceMs;
  return passed(silenceEndsMs) ? monotonicMs() + budgetMs : silenceEndsMs;
}

bool stillOnAir(const StreamSession& s) {
  if (socket_interrupted()) return false;
  if (silentFor(s) < tryTimes.longestSilenceMs) return true;
  Log(ERROR, "getFLVPacket, nothing could be sent for %lld ms: the stream ends",
      static_cast<long long>(silentFor(s)));
  return false;
}

void rememberPassedOver(StreamSession& s, TextView url) {
  s.passedOver[s.passedOverNext] = hashOf(url);
  s.passedOverNext = static_cast<uint8_t>((s.passedOverNext + 1) % kPassedOverKept);
  if (s.passedOverCount < kPassedOverKept) ++s.passedOverCount;
}

bool wasPassedOver(const StreamSession& s, TextView url) {
  const uint32_t hash = hashOf(url);
  for (uint8_t i = 0; i < s.passedOverCount; ++i) {
    if (s.passedOver[i] == hash) return true;
  }
  return false;
}
