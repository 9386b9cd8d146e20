#include "net/peer_watch.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace {

struct Check {
  int64_t atMs;
  PeerFigures figures;
  int vanished;  // what the check must answer
};

struct WatchCase {
  const char* name;
  std::vector<Check> checks;  // one a second, as a waiting send makes them
};

// Window 20 s. {known, probes, retransmits, ms since the last ACK}.
TEST(PeerWatch, PausedPlayersAreKeptVanishedOnesLetGo) {
  const WatchCase cases[] = {
      {"paused: each probe answered, ACKs up to 120 s apart (the probe interval backs off)",
       {{0, {1, 0, 0, 60000}, 0},
        {1000, {1, 1, 0, 119000}, 0},  // a check lands between a probe and its answer
        {2000, {1, 0, 0, 1000}, 0},
        {30000, {1, 0, 0, 29000}, 0},
        {140000, {1, 0, 0, 120000}, 0}}},
      {"vanished while paused: the probes stay unanswered",
       {{0, {1, 1, 0, 120000}, 0},
        {10000, {1, 2, 0, 130000}, 0},
        {19000, {1, 2, 0, 139000}, 0},
        {20000, {1, 3, 0, 140000}, 1}}},
      {"vanished mid-stream: retransmissions stay unacknowledged",
       {{0, {1, 0, 1, 300}, 0}, {19999, {1, 0, 5, 20299}, 0}, {20000, {1, 0, 5, 20300}, 1}}},
      {"an answer within the run starts it again",
       {{0, {1, 1, 0, 50000}, 0},
        {15000, {1, 0, 0, 100}, 0},
        {16000, {1, 1, 0, 1100}, 0},
        {35000, {1, 1, 0, 20100}, 0},
        {36000, {1, 1, 0, 21100}, 1}}},
      {"an ACK within the run (retransmissions go on) keeps it",
       {{0, {1, 0, 2, 25000}, 0}, {25000, {1, 0, 3, 4000}, 0}}},
      {"nothing known (a short TCP_INFO under an emulator): kept for ever",
       {{0, {0, 0, 0, 0}, 0}, {600000, {0, 0, 0, 0}, 0}}},
  };
  for (const WatchCase& c : cases) {
    SCOPED_TRACE(c.name);
    PeerWatch watch = {-1, 0};
    for (const Check& check : c.checks) {
      EXPECT_EQ(peerVanished(&watch, &check.figures, check.atMs, 20000), check.vanished) << check.atMs;
    }
  }
}

// The kernel's figures for a connection whose peer answers, and none for a
// socket that is not TCP.
TEST(PeerWatch, FiguresComeFromTheKernel) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  PeerFigures figures = {1, 9, 9, 9};
  peerFiguresOf(pair[0], &figures);
  EXPECT_EQ(figures.known, 0);
  PeerWatch watch = {-1, 0};
  EXPECT_EQ(peerVanishedWhileWaiting(&watch, pair[0], 1000), 0);
  EXPECT_EQ(watch.nextCheckMs, 2000);
  close(pair[0]);
  close(pair[1]);
}

}  // namespace
