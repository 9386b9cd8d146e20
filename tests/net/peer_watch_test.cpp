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

// Window 20 s: no ACK for 20 s, two probes or retransmissions in a row
// unanswered at every check for 10 s. {known, probes, retransmits, ms since
// the last ACK}.
TEST(PeerWatch, PausedPlayersAreKeptVanishedOnesLetGo) {
  const WatchCase cases[] = {
      {"paused: each probe answered, ACKs up to 120 s apart (the probe interval backs off)",
       {{0, {1, 0, 0, 60000}, 0},
        {1000, {1, 1, 0, 119000}, 0},  // a check lands between a probe and its answer
        {2000, {1, 0, 0, 1000}, 0},
        {30000, {1, 0, 0, 29000}, 0},
        {140000, {1, 0, 0, 120000}, 0}}},
      {"paused on a slow link: an answer five seconds late",
       {{0, {1, 1, 0, 60000}, 0}, {5000, {1, 1, 0, 65000}, 0}, {6000, {1, 0, 0, 100}, 0}}},
      {"paused, one probe lost: unanswered until the next probe, 90 s later, is answered",
       {{0, {1, 1, 0, 30000}, 0},
        {60000, {1, 1, 0, 90000}, 0},
        {89000, {1, 1, 0, 119000}, 0},
        {90000, {1, 0, 0, 100}, 0},
        {300000, {1, 0, 0, 100}, 0}}},
      {"vanished while paused: two probes in a row unanswered, 120 s apart",
       {{0, {1, 1, 0, 120000}, 0},
        {120000, {1, 2, 0, 240000}, 0},
        {129999, {1, 2, 0, 249999}, 0},
        {130000, {1, 2, 0, 250000}, 1}}},
      {"vanished mid-stream: retransmissions stay unacknowledged",
       {{0, {1, 0, 1, 300}, 0},
        {1000, {1, 0, 3, 1300}, 0},
        {10000, {1, 0, 4, 10300}, 0},
        {19699, {1, 0, 5, 19999}, 0},
        {19700, {1, 0, 5, 20000}, 1}}},
      {"an answer within the run starts it again",
       {{0, {1, 2, 0, 50000}, 0},
        {9000, {1, 0, 0, 100}, 0},
        {10000, {1, 2, 0, 1100}, 0},
        {28899, {1, 2, 0, 19999}, 0},  // too recent an ACK
        {28900, {1, 2, 0, 20000}, 1}}},
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
