#ifndef ZTV_STREAM_TRIES_H
#define ZTV_STREAM_TRIES_H

// How a channel rides out the service's hiccups. The stream runs a lead
// ahead of the clock (stream/pace.h), so a failure mended within the lead
// never reaches the screen. A video or timeline that failed in a way that may
// pass is tried again after a pause, the pauses growing. A video is passed
// over for the next entry when it is gone (404, 410), is no FLV file, failed
// kMostFailures times in a row, or when its tries would outlast the lead. The
// stream ends only once nothing could be sent for twice the lead: by then the
// player's buffer has been empty for as long as it was full.

#include <stdint.h>

#include "base/text_view.h"
#include "stream/session.h"

struct TryTimes {
  int64_t firstPauseMs;      // before the second try; doubled for each try after it, 8 times at most
  int64_t longestSilenceMs;  // nothing sent for so long ends the stream; a video's tries stop at half
};

// Set before any stream starts; tests shorten the pauses.
extern TryTimes tryTimes;

// A video that failed so often in a row, without going on past where it
// failed before, is passed over.
constexpr uint8_t kMostFailures = 4;

// What the pause before another try came to.
enum class TryAgain : uint8_t {
  kYes,      // the pause is over: try again
  kNo,       // another try would outlast `budgetMs`: give up on it
  kStopped,  // a stop came: end the stream
};

// After the `failures`-th failure in a row of `what`, logged with it: waits
// the pause before the next try, unless that would take the stream past
// `budgetMs` without a unit (measured from unitWantedMs).
TryAgain pauseBeforeTry(const StreamSession& s, int failures, int64_t budgetMs, const char* what);

// When a try of the service that starts now must have its answer (the
// connect, handshake, request and answer head, whatever the service does):
// the end of `budgetMs` after unitWantedMs while it is ahead, else the end
// of the stream's silence; past both (a stream that has not yet asked for
// a unit), `budgetMs` from now.
int64_t tryEndsMs(const StreamSession& s, int64_t budgetMs);

// False (logged) once the stream has been without a unit for
// longestSilenceMs, or a stop has come: nothing more is tried.
bool stillOnAir(const StreamSession& s);

// Marks `url` as passed over in this stream: it is not tried again.
void rememberPassedOver(StreamSession& s, TextView url);
bool wasPassedOver(const StreamSession& s, TextView url);

#endif  // ZTV_STREAM_TRIES_H
